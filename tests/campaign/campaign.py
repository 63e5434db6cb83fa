#!/usr/bin/env python3
"""A seeded fault campaign: boards, receivers and senders in one real pd -nogui
while the boards' devices stream numbered frames and faults come at random.

    campaign.py MODULE_DIR [--seconds N] [--seed S] [--boards 4..7] [--pd PD]
                [--sanitizer-log DIR] [--poll MS]

--poll sends every board `poll MS` as it is made (0: read from Pd's own check
for input) and again as the faults heal, where it is otherwise `poll 20`.

The devices are pseudo-terminals played by this script, each at a path that
stays the same across cable pulls. Objects are made and deleted at run time
through a [netreceive] that evaluates what it gets as Pd messages. Every
receiver prints what it gets, so each frame is followed from the device's
write to every receiver's output. At the end the script checks:

- pd never crashed and quit when asked;
- no scheduler gap (a [metro 1] timed with [realtime]) longer than the
  larger of 50 ms and three times the longest gap of a quiet baseline taken
  first, unless a plain pd run beside it for reference stalled as long in
  the same second (the machine stopped both, not the module);
- every frame written in a clean window (its board connected, no fault on it
  within the guard time before and after, the receiver alive) reached each
  receiver of its tag exactly once; no receiver ever got a frame twice or
  out of order, or a value no device wrote; the same for the floats of the
  senders, as the devices decode them;
- every board reconnected after its last fault and delivered again;
- pd's open descriptors, once every object is deleted, are those it had
  before the first; its resident memory grew less than 4 MB after warm-up
  (plus the sanitizer's quarantine under a sanitized module);
- no sanitizer report (--sanitizer-log, with tests/sanitize/pd-sanitized).

A run is replayed by its seed, up to the machine's timing.
"""
import argparse
import array
import bisect
import collections
import fcntl
import os
import random
import re
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "bench", "live"))
import bench_live  # noqa: E402  (the Pd process, the pseudo-terminal, the frame)

SOAK_DIR = os.path.join(ROOT, "bench", "soak")  # schedgap.pd
LONG_TAG = "long" + "x" * 36  # 40 characters; a receiver keeps 31 of them
SENDERS = 3
SEND_PERIOD_MS = 50
BASE_GUARD = 1.5  # seconds around a fault, on top of twice the poll interval
QUARANTINE_MB = 16


def has_aa(n):
    return b"\xaa" in struct.pack("<f", n)


class Decoder:
    """The device's side of the frame, as the module's frame_step decodes it."""

    def __init__(self):
        self.state, self.tag, self.value = 0, bytearray(), bytearray()

    def feed(self, data):
        out = []
        for c in data:
            if self.state == 0:
                if c == 0xAA:
                    self.state, self.tag, self.value = 1, bytearray(), bytearray()
            elif self.state == 1:
                if c:
                    if len(self.tag) < 31:
                        self.tag.append(c)
                else:
                    self.state = 2
            else:
                self.value.append(c)
                if len(self.value) == 4:
                    out.append((bytes(self.tag), struct.unpack("<f", self.value)[0]))
                    self.state = 0
        return out


class Device:
    """A board's device on a pseudo-terminal at a fixed path."""

    def __init__(self, index, path):
        self.index, self.path = index, path
        self.pty = None
        self.queue = bytearray()
        self.queue_frames = collections.deque()  # (end offset in queue, seq or None)
        self.sent = 0  # bytes of the queue written so far, for the frame ends
        self.reading = True
        self.decoder = Decoder()
        self.decoded = []  # (time, tag, value) of the frames pd wrote to it
        self.plug()

    def plug(self):
        self.pty = bench_live.Pty()
        tmp = self.path + ".tmp"
        if os.path.lexists(tmp):
            os.unlink(tmp)
        os.symlink(self.pty.slave, tmp)
        os.replace(tmp, self.path)
        self.decoder = Decoder()

    def pull(self, then="missing"):
        if self.pty:
            self.pty.close()
            self.pty = None
        self.queue.clear()
        self.queue_frames.clear()
        self.sent = 0
        if os.path.lexists(self.path):
            os.unlink(self.path)
        if then == "file":
            with open(self.path, "w") as f:
                f.write("not a serial port\n")

    def unplugged_file_gone(self):
        if os.path.lexists(self.path):
            os.unlink(self.path)

    def put(self, data, seq=None):
        if not self.pty:
            return
        self.queue += data
        self.queue_frames.append((self.sent + len(self.queue), seq))

    def flush(self, now, seqs, times):
        """Writes what the kernel takes; each whole frame's number and time go
        to `seqs` and `times`."""
        while self.pty and self.queue:
            try:
                n = os.write(self.pty.master, self.queue[:65536])
            except (BlockingIOError, OSError):
                return
            if n <= 0:
                return
            del self.queue[:n]
            self.sent += n
            while self.queue_frames and self.queue_frames[0][0] <= self.sent:
                _, seq = self.queue_frames.popleft()
                if seq is not None:
                    seqs.append(seq)
                    times.append(now)

    def read(self, now):
        if not self.pty or not self.reading:
            return
        try:
            data = os.read(self.pty.master, 65536)
        except (BlockingIOError, OSError):
            return
        for tag, value in self.decoder.feed(data):
            self.decoded.append((now, tag, value))


class Console(bench_live.Pd):
    """pd -nogui whose console is parsed as it comes instead of kept whole."""

    PRINT = re.compile(r"^(r\d+\.\d+|z\d+|long|soak-gap): (\S+)$")

    def __init__(self, module_dir, patch, flags, on_line):
        self.on_line = on_line
        self.kept = collections.deque(maxlen=400)
        super().__init__(module_dir, patch, flags)
        # pd blocks when its console pipe is full: give it room for the
        # moments this script waits for a CPU.
        try:
            fcntl.fcntl(self.proc.stderr.fileno(), 1031, 1 << 20)  # F_SETPIPE_SZ
        except OSError:
            pass

    def _read(self):
        buf = b""
        fd = self.proc.stderr.fileno()
        while True:
            chunk = os.read(fd, 65536)
            now = time.monotonic()
            if not chunk:
                return
            buf += chunk
            *done, buf = buf.split(b"\n")
            kept = []
            for raw in done:
                line = raw.decode(errors="replace")
                if not self.on_line(now, line):
                    kept.append((now, line))
            if kept:
                with self.cond:
                    self.lines += kept
                    self.kept.extend(kept)
                    if len(self.lines) > 20000:  # wait() looks at recent lines only
                        del self.lines[:10000]
                    self.cond.notify_all()

    def pd_pid(self):
        """pd's own pid, also when a wrapper script runs it."""
        pid = self.proc.pid
        for _ in range(3):
            try:
                with open("/proc/%d/comm" % pid) as f:
                    comm = f.read().strip()
            except OSError:
                return None
            if comm in ("pd", "puredata"):
                return pid
            try:
                with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                    kids = f.read().split()
            except OSError:
                return None
            if not kids:
                return None
            pid = int(kids[0])
        return None


def sched_ms(pid):
    """Time the process has run, and waited on a run queue, in ms."""
    try:
        with open("/proc/%d/schedstat" % pid) as f:
            run, wait = f.read().split()[:2]
            return int(run) / 1e6, int(wait) / 1e6
    except (OSError, IndexError, ValueError):
        return 0.0, 0.0


def stall_detector(cpu, path):
    """Sleeps 10 ms at a time on one CPU and writes down each wake-up that
    came more than 20 ms late: when the machine (or, on a virtual machine,
    its host) took that CPU away. Runs until killed."""
    os.sched_setaffinity(0, {cpu})
    with open(path, "w", buffering=1) as out:
        while True:
            t0 = time.monotonic()
            time.sleep(0.01)
            late = time.monotonic() - t0 - 0.01
            if late > 0.02:
                out.write("%.6f %.6f\n" % (t0, late))


def fds(pid):
    """pd's open descriptors, each with what it is open on."""
    out = {}
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            out[fd] = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            out[fd] = "?"
    return out


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Campaign:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.nb = args.boards
        self.dir = "/tmp/veltrix-campaign-%s-%d" % (os.path.basename(ROOT), os.getpid())
        os.makedirs(self.dir, exist_ok=True)
        self.lock = threading.Lock()
        self.faults = collections.Counter()
        self.problems = []
        # per board
        self.dev = []
        self.seq = [0] * self.nb
        self.wseq = [array.array("l") for _ in range(self.nb)]  # frames written, in order
        self.wtime = [array.array("d") for _ in range(self.nb)]
        self.dirty = [[] for _ in range(self.nb)]  # (start, end) with guard applied
        self.open_fault = [None] * self.nb  # (kind, start, extra) of a lasting fault
        self.board_alive = [False] * (self.nb + 1)
        self.connected = [None] * self.nb  # time of the last "connected" line, None if down
        self.poll = [100.0] * (self.nb + 1)
        self.poll_prev = [100.0] * (self.nb + 1)
        self.mode = [("steady", 50.0)] * self.nb
        self.next_frame = [0.0] * self.nb
        self.last_replug = [0.0] * self.nb
        self.long_written = {}  # value -> (board, time)
        self.long_next = 1
        # receivers: 3 per board tag, each incarnation prints as r<K>.<I>
        self.nr = 3 * self.nb
        self.rinc = [0] * self.nr
        self.ralive = [None] * self.nr  # time made, None while deleted
        self.rlife = collections.defaultdict(list)  # (K, I) -> [made, deleted]
        self.rgot = {}  # (K, I) -> array of values
        self.rlast = {}
        self.zalive = [False] * self.nb
        self.long_got = collections.Counter()
        self.gaps = []  # (time, ms)
        self.ref_gaps = []
        self.salive = [True] * SENDERS
        self.send_lines = []  # (time, value)
        self.send_fail = []  # (time, path)
        self.connect_lines = collections.defaultdict(list)  # path -> [time]
        self.down_lines = collections.defaultdict(list)
        self.free_lines = collections.defaultdict(list)
        self.other_errors = []
        self.events = []  # (time, what), to tell what a failure came with
        self.pid = None
        self.last_wait = self.last_run = 0.0

    # ---- the console, line by line (reader thread)
    def on_line(self, now, line):
        m = Console.PRINT.match(line)
        if m:
            who, val = m.groups()
            if who == "soak-gap":
                # How long pd waited for a CPU meanwhile: a gap the machine made.
                run, wait = sched_ms(self.pid) if self.pid else (0.0, 0.0)
                self.gaps.append((now, float(val), wait - self.last_wait, run - self.last_run))
                self.last_wait, self.last_run = wait, run
                return True
            v = int(float(val))
            if who == "long":
                self.long_got[v] += 1
            elif who[0] == "z":
                pass  # the victim: deleted at any time, its output is not followed
            else:
                k, i = (int(x) for x in who[1:].split("."))
                arr = self.rgot.setdefault((k, i), array.array("l"))
                last = self.rlast.get((k, i))
                if last is not None and v <= last:
                    self.problems.append("receiver r%d (incarnation %d, tag c%d) got %d after %d:"
                                         " a frame %s" % (k, i, k // 3, v, last,
                                                          "twice" if v == last else "out of order"))
                self.rlast[(k, i)] = v
                arr.append(v)
            return True
        if line.startswith("Veltrix_send "):
            parts = line.split()
            self.send_lines.append((now, int(float(parts[1]))))
            return True
        if line.startswith("Veltrix_send_float WriteFile("):
            self.send_fail.append((now, line[len("Veltrix_send_float WriteFile("):].split(",")[0]))
            return True
        if line.startswith("Veltrix_tick ") and " connected " in line:
            self.connect_lines[line.split()[3]].append(now)
            return True
        if line.startswith("Veltrix_free CloseHandle("):
            self.free_lines[line[len("Veltrix_free CloseHandle("):-1]].append(now)
            return True
        if line.startswith("Veltrix_tick ") and "ReadFile(" in line:
            self.down_lines[line.split("ReadFile(")[1].split(")")[0]].append(now)
        # Why an attempt failed is a Pd error too, and a ghost or a pulled
        # cable makes those on purpose.
        if (line.startswith("error:") and "no method for 'poll'" not in line
                and not line.endswith("('info' tells it again)")):
            self.other_errors.append(line)
        return False

    # ---- Pd messages
    def send(self, *messages):
        self.sock.sendall("".join(m + ";\n" for m in messages).encode())

    def make_board(self, b, now):
        path = self.dev[b].path if b < len(self.dev) else self.ghost
        self.send("pd-b%d clear" % b, "pd-b%d obj 10 10 Veltrix open %s" % (b, path), "pd-b%d obj 10 40 r ctl%d" % (b, b),
                  "pd-b%d connect 1 0 0 0" % b)
        self.board_alive[b] = True
        self.poll[b] = 100.0
        if self.args.poll is not None:
            self.send("ctl%d poll %g" % (b, self.args.poll))
            self.poll[b] = min(max(self.args.poll, 1.0), 1000.0)

    def kill_board(self, b):
        self.send("pd-b%d clear" % b)
        self.board_alive[b] = False

    def make_receiver(self, k, now):
        self.rinc[k] += 1
        i = self.rinc[k]
        self.send("pd-r%d clear" % k, "pd-r%d obj 10 10 Veltrix receive c%d" % (k, k // 3),
                  "pd-r%d obj 10 40 print r%d.%d" % (k, k, i), "pd-r%d connect 0 0 1 0" % k)
        self.ralive[k] = now
        self.rlife[(k, i)] = [now, None]

    def kill_receiver(self, k, now):
        self.send("pd-r%d clear" % k)
        self.rlife[(k, self.rinc[k])][1] = now
        self.ralive[k] = None

    # A receiver of z<b> deletes another receiver of its tag, the victim, from
    # its output: the module's walk over the receivers loses one under its
    # feet. (A receiver deleting itself would have pd's own outlet_float read
    # the connection just freed, whatever the module does.)
    def make_z(self, b):
        self.send("pd-v%d clear" % b, "pd-v%d obj 10 10 Veltrix receive z%d" % (b, b),
                  "pd-v%d obj 10 40 print z%d" % (b, b), "pd-v%d connect 0 0 1 0" % b)
        self.zalive[b] = True

    def make_sender(self, k):
        self.send("pd-s%d clear" % k, "pd-s%d obj 10 10 r sv%d" % (k, k), "pd-s%d obj 10 40 Veltrix send out" % k,
                  "pd-s%d connect 0 0 1 0" % k)
        self.salive[k] = True

    def patch(self, port):
        lines = ["obj 10 10 netreceive %d 0 old" % port, "obj 10 40 loadbang",
                 "obj 10 70 metro 500", "obj 10 100 s soak-report", "obj 10 130 schedgap",
                 "obj 200 10 r sendon", "obj 200 40 metro %d" % SEND_PERIOD_MS]
        conn = ["connect 1 0 2 0", "connect 2 0 3 0", "connect 5 0 6 0"]
        n = len(lines)
        for k in range(SENDERS):  # counter * 4 + k, sent to [s sv<k>]
            lines += ["obj 200 %d f" % (70 + 30 * k), "obj 260 %d + 1" % (70 + 30 * k),
                      "obj 320 %d * 4" % (70 + 30 * k), "obj 380 %d + %d" % (70 + 30 * k, k),
                      "obj 440 %d s sv%d" % (70 + 30 * k, k)]
            conn += ["connect 6 0 %d 0" % n, "connect %d 0 %d 0" % (n, n + 1),
                     "connect %d 0 %d 1" % (n + 1, n), "connect %d 0 %d 0" % (n, n + 2),
                     "connect %d 0 %d 0" % (n + 2, n + 3), "connect %d 0 %d 0" % (n + 3, n + 4)]
            n += 5
        for b in range(self.nb + 1):  # a receiver's output deletes its board, or itself
            for what, target in (("bkill", "b"), ("zkill", "v")):
                lines += ["obj 600 %d r %s%d" % (10 + 30 * n, what, b), "msg 700 %d clear" % (10 + 30 * n),
                          "obj 800 %d s pd-%s%d" % (10 + 30 * n, target, b)]
                conn += ["connect %d 0 %d 0" % (n, n + 1), "connect %d 0 %d 0" % (n + 1, n + 2)]
                n += 3
        return lines + conn

    # ---- faults
    def guard(self, b):
        return BASE_GUARD + 2 * max(self.poll[b], self.poll_prev[b]) / 1000.0

    def mark(self, b, start, end):
        g = self.guard(b)
        self.dirty[b].append((start - g, end + g))

    def begin(self, b, kind, now, extra=None):
        self.open_fault[b] = (kind, now, extra)
        self.faults[kind] += 1

    def end_fault(self, b, now, healing=False):
        kind, start, extra = self.open_fault[b]
        d = self.dev[b]
        if kind == "board deleted by its receiver":
            # Made again only once the old one is gone: a kill frame read
            # late would delete the new board instead.
            gone = lambda: any(t >= start for t in self.free_lines.get(d.path, []))
            while healing and not gone() and time.monotonic() < start + 15:
                d.flush(time.monotonic(), self.wseq[b], self.wtime[b])
                time.sleep(0.05)
            if not gone() and now < start + 15 and not healing:
                self.fault_end[b] = now + 0.2
                return
        self.open_fault[b] = None
        if kind in ("pull", "missing", "file"):
            if kind == "file":
                d.unplugged_file_gone()
            d.plug()
            self.last_replug[b] = now
            self.pending_connect[b] = (start, now)
        elif kind in ("board deleted", "board deleted by its receiver"):
            self.make_board(b, now)
            self.last_replug[b] = now
            self.pending_connect[b] = (start, now)
        elif kind == "stuck device":
            d.reading = True
            self.dev_dirty[b].append((start - self.guard(b), now + self.guard(b)))
            # its own frames kept flowing meanwhile: those are checked as any

    def inject(self, now):
        r = self.rng
        b = r.randrange(self.nb)
        d = self.dev[b]
        kinds = ["pull", "missing", "file", "stuck device", "board deleted",
                 "board deleted by its receiver", "garbage", "truncated frame", "0xAA in value",
                 "long tag", "receiver deleted", "receiver deletes another", "sender deleted",
                 "poll", "ports", "burst"]
        kind = r.choice(kinds)
        self.events.append((now, "%s on board %d" % (kind, b)))
        lasting = kind in ("pull", "missing", "file", "stuck device", "board deleted",
                           "board deleted by its receiver")
        if lasting:
            if self.open_fault[b] or b in self.pending_connect:
                return
            if kind in ("pull", "missing", "file"):
                d.pull("file" if kind == "file" else "missing")
                # a pull lasts from a blink to several retries of the board
                span = r.choice([r.uniform(0.01, 0.3), r.uniform(0.3, 4.0)])
            elif kind == "stuck device":
                d.reading = False
                if r.random() < 0.5 and d.pty:
                    d.pty.fill()  # the port's output queue full at once
                span = r.uniform(0.5, 5.0)
            elif kind == "board deleted":
                self.kill_board(b)
                span = r.uniform(0.0, 3.0)
            else:
                self.frame(b, "k%d" % b, 1.0, now)
                self.board_alive[b] = False
                span = r.uniform(0.2, 3.0)
            self.begin(b, kind, now)
            self.fault_end[b] = now + span
            return
        self.faults[kind] += 1
        if kind == "garbage":  # ignored between frames: no frame may be lost for it
            junk = bytes(r.choice([c for c in range(256) if c != 0xAA]) for _ in range(r.randint(1, 64)))
            d.put(junk)
        elif kind == "truncated frame":  # eats what follows up to a tag's end: a fault
            cut = bench_live.frame("junk", r.uniform(-1e6, 1e6))[: r.randint(1, 8)]
            d.put(cut)
            self.mark(b, now, now + 0.2)
        elif kind == "0xAA in value":
            n = self.seq[b] + 1
            while not has_aa(n):
                n += 1
            self.seq[b] = n - 1
            self.frame(b, "c%d" % b, None, now)
        elif kind == "long tag":
            v = self.long_next
            self.long_next += 1
            d.put(bench_live.frame(LONG_TAG, v))
            self.long_written[v] = (b, now)
        elif kind == "receiver deleted":
            k = r.randrange(self.nr)
            if self.ralive[k] is not None:
                self.kill_receiver(k, now)
                self.receiver_back[k] = now + r.uniform(0.0, 3.0)
        elif kind == "receiver deletes another":
            if self.zalive[b]:
                self.frame(b, "z%d" % b, 7.0, now)
                self.zalive[b] = False
                self.z_back[b] = now + r.uniform(0.1, 2.0)
        elif kind == "sender deleted":
            k = r.randrange(SENDERS)
            if self.salive[k]:
                self.send("pd-s%d clear" % k)
                self.salive[k] = False
                self.sender_back[k] = now + r.uniform(0.0, 2.0)
        elif kind == "poll":
            old = self.poll[b]
            v = r.choice([r.uniform(-20, 5), r.uniform(1, 50), r.uniform(50, 400), r.uniform(400, 1500)])
            v = round(v, r.choice([0, 2]))
            if self.board_alive[b]:
                self.send("ctl%d poll %g" % (b, v))
                self.poll_prev[b] = old  # frames written before still wait the old interval
                self.poll[b] = min(max(v, 1.0), 1000.0)
        elif kind == "ports":
            b = r.randrange(self.nb + 1)
            if b == self.nb or self.board_alive[b]:
                self.send("ctl%d ports" % b)
        elif kind == "burst":
            self.mode[b] = ("burst", r.uniform(0.2, 1.0))

    def frame(self, b, tag, value, now):
        if tag.startswith("c"):
            self.seq[b] += 1
            value = self.seq[b]
            self.dev[b].put(bench_live.frame(tag, value), value)
        else:
            self.dev[b].put(bench_live.frame(tag, value))

    def stream(self, b, now):
        kind, rate = self.mode[b]
        if now < self.next_frame[b]:
            return
        if kind == "burst":  # far above any line rate, then quiet
            for _ in range(self.rng.randint(50, 600)):
                self.frame(b, "c%d" % b, None, now)
            self.next_frame[b] = now + rate
        else:
            self.frame(b, "c%d" % b, None, now)
            self.next_frame[b] = now + 1.0 / rate
        if self.rng.random() < 0.02:
            self.mode[b] = self.rng.choice([("trickle", self.rng.uniform(1, 5)),
                                            ("steady", self.rng.uniform(20, 300)),
                                            ("burst", self.rng.uniform(0.2, 1.5))])

    # ---- the run
    def run(self):
        a = self.args
        print("campaign: seed %d, %d s, %d boards, pd %s" % (a.seed, a.seconds, self.nb, a.pd), flush=True)
        bench_live.PD = a.pd
        port = free_port()
        self.ghost = os.path.join(self.dir, "nothing-here")
        flags = ["-sleepgrain", "1", "-path", SOAK_DIR]
        self.ref = Console(a.module_dir, ["obj 10 10 loadbang", "obj 10 40 metro 500",
                                          "obj 10 70 s soak-report", "obj 10 100 schedgap",
                                          "connect 0 0 1 0", "connect 1 0 2 0"],
                           flags, self.on_ref_line)
        self.pd = Console(a.module_dir, self.patch(port), flags, self.on_line)
        self.stall_files = [os.path.join(self.dir, "stalls%d" % c) for c in sorted(os.sched_getaffinity(0))]
        self.detectors = [subprocess.Popen([sys.executable, os.path.abspath(__file__), "--stall-detector",
                                            str(c), f])
                          for c, f in zip(sorted(os.sched_getaffinity(0)), self.stall_files)]
        self.pending_connect = {}
        self.fault_end = [0.0] * self.nb
        self.receiver_back, self.sender_back, self.z_back = {}, {}, {}
        self.dev_dirty = [[] for _ in range(self.nb)]
        try:
            return self.play(port)
        finally:
            for p in (self.pd, self.ref):
                if p.proc.poll() is None:
                    inner = p.pd_pid()
                    p.proc.terminate()
                    try:
                        p.proc.wait(timeout=20)
                    except subprocess.TimeoutExpired:
                        for pid in (inner, p.proc.pid):
                            if pid:
                                os.kill(pid, 9)
                        p.proc.wait()
            for d in self.dev:
                d.pull()
            for p in self.detectors:
                p.kill()
                p.wait()
            subprocess_rm(self.dir)
            subprocess_rm(self.pd.dir)
            subprocess_rm(self.ref.dir)

    def on_ref_line(self, now, line):
        if line.startswith("soak-gap: "):
            self.ref_gaps.append((now, float(line.split()[1])))
            return True
        return False

    def play(self, port):
        a = self.args
        deadline = time.monotonic() + 30
        while True:
            try:
                self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
                break
            except OSError:
                if time.monotonic() > deadline or self.pd.proc.poll() is not None:
                    self.fail("pd did not start (no connection to its [netreceive])")
                    return self.finish()
                time.sleep(0.1)
        pid = None
        while pid is None and time.monotonic() < deadline:
            pid = self.pd.pd_pid()
            time.sleep(0.05)
        self.pid = pid
        self.last_run, self.last_wait = sched_ms(pid)
        for name in (["b%d" % b for b in range(self.nb + 1)] + ["r%d" % k for k in range(self.nr)]
                     + ["z%d" % b for b in range(self.nb)] + ["k%d" % b for b in range(self.nb)] + ["v%d" % b for b in range(self.nb)]
                     + ["s%d" % k for k in range(SENDERS)] + ["long"]):
            self.send("pd-p.pd obj 10 10 pd %s" % name)
        time.sleep(1)
        # A quiet baseline: pd with nothing of ours yet.
        t0 = time.monotonic()
        time.sleep(5)
        quiet = [x[1] for x in self.gaps if x[0] > t0 + 0.6]
        self.baseline = max(quiet) if quiet else float("nan")
        self.fd_start = fds(pid)
        print("quiet baseline: longest scheduler gap %.1f ms over %d reports; %d descriptors"
              % (self.baseline, len(quiet), len(self.fd_start)), flush=True)

        now = time.monotonic()
        self.dev = [Device(b, os.path.join(self.dir, "b%d" % b)) for b in range(self.nb)]
        for b in range(self.nb):
            self.make_board(b, now)
            self.make_z(b)
            for who, to in (("k", "bkill"), ("z", "zkill")):
                self.send("pd-%s%d obj 10 10 Veltrix receive %s%d" % (who, b, who, b),
                          "pd-%s%d obj 10 40 s %s%d" % (who, b, to, b),
                          "pd-%s%d connect 0 0 1 0" % (who, b))
        self.make_board(self.nb, now)  # a board whose path never exists
        for k in range(self.nr):
            self.make_receiver(k, now)
        for k in range(SENDERS):
            self.make_sender(k)
        self.send("pd-long obj 10 10 Veltrix receive %s" % LONG_TAG, "pd-long obj 10 40 print long",
                  "pd-long connect 0 0 1 0")
        for b in range(self.nb):
            self.pending_connect[b] = (now, now)
        self.send("sendon 1")
        start = time.monotonic()
        self.t_start = start
        warm = start + min(10.0, a.seconds / 4)
        self.rss_warm = None
        end = start + a.seconds
        next_fault = start + 2
        last_report = start
        while True:
            now = time.monotonic()
            if self.pd.proc.poll() is not None:
                self.fail("pd ended during the run (status %s)" % self.pd.proc.returncode)
                return self.finish()
            if self.rss_warm is None and now > warm:
                self.rss_warm = rss_kb(pid)
            healing = now >= end
            self.follow_connections(now)
            for b in range(self.nb):
                if self.open_fault[b] and (healing or now >= self.fault_end[b]):
                    self.end_fault(b, now, healing)
                self.stream(b, now)
                self.dev[b].flush(now, self.wseq[b], self.wtime[b])
                self.dev[b].read(now)
            for table, make in ((self.receiver_back, self.make_receiver), (self.z_back, None),
                                (self.sender_back, None)):
                for k, t in list(table.items()):
                    if healing or now >= t:
                        del table[k]
                        if table is self.receiver_back:
                            self.make_receiver(k, now)
                        elif table is self.z_back:
                            self.make_z(k)
                        else:
                            self.make_sender(k)
            if healing:
                break
            if now >= next_fault:
                self.inject(now)
                next_fault = now + self.rng.expovariate(1 / a.fault_every)
            if now - last_report > 10:
                last_report = now
                print("  %3.0f s: %d faults, %d frames written" % (
                    now - start, sum(self.faults.values()), sum(len(w) for w in self.wseq)),
                    flush=True)
            time.sleep(0.002)
        return self.wind_down()

    def follow_connections(self, now):
        for b, (start, since) in list(self.pending_connect.items()):
            got = [t for t in self.connect_lines.get(self.dev[b].path, []) if t >= since]
            if got:
                del self.pending_connect[b]
                self.mark(b, start, got[0])
                self.connected[b] = got[0]
        for b in range(self.nb):
            path = self.dev[b].path
            downs = self.down_lines.get(path, [])
            # a read failure not of our making: a lost connection is a fault
            # window too, till the board is back
            if self.connected[b] is not None and downs and downs[-1] > self.connected[b]:
                self.connected[b] = None
                if b not in self.pending_connect and not self.open_fault[b]:
                    self.pending_connect[b] = (downs[-1], downs[-1])

    def wind_down(self):
        # Every fault healed: each board must reconnect and deliver again.
        now = time.monotonic()
        self.t_heal = now
        for b in range(self.nb):
            self.dev[b].reading = True
            if self.board_alive[b]:
                heal = 20.0 if self.args.poll is None else self.args.poll
                self.send("ctl%d poll %g" % (b, heal))
                self.poll[b] = min(max(heal, 1.0), 1000.0)
        deadline = now + 20
        while self.pending_connect and time.monotonic() < deadline:
            now = time.monotonic()
            self.follow_connections(now)
            for d in self.dev:
                d.read(now)
            time.sleep(0.01)
        for b in sorted(self.pending_connect):
            self.fail("board %d (%s) did not reconnect within 20 s of its last replug"
                      % (b, self.dev[b].path))
        # A last clean stretch: steady frames on every board.
        self.final_from = [len(w) for w in self.wseq]
        t_final = time.monotonic() + 3
        while time.monotonic() < t_final:
            now = time.monotonic()
            for b in range(self.nb):
                self.mode[b] = ("steady", 100.0)
                self.stream(b, now)
                self.dev[b].flush(now, self.wseq[b], self.wtime[b])
                self.dev[b].read(now)
            time.sleep(0.005)
        self.t_stop_writing = time.monotonic()
        self.send("sendon 0")
        t_drain = time.monotonic() + 3
        while time.monotonic() < t_drain:
            now = time.monotonic()
            for d in self.dev:
                d.read(now)
            time.sleep(0.01)
        self.follow_connections(time.monotonic())
        self.rss_end = rss_kb(self.pid)
        # Everything deleted: pd's descriptors must be those it started with.
        now = time.monotonic()
        for b in range(self.nb + 1):
            self.send("pd-b%d clear" % b)
        for k in range(self.nr):
            if self.ralive[k] is not None:
                self.kill_receiver(k, now)
        for name in (["z%d" % b for b in range(self.nb)] + ["k%d" % b for b in range(self.nb)] + ["v%d" % b for b in range(self.nb)]
                     + ["s%d" % k for k in range(SENDERS)] + ["long"]):
            self.send("pd-%s clear" % name)
        time.sleep(2)
        self.fd_end = fds(self.pid)
        self.t_end = time.monotonic()
        # pd must still run, and quit on time when asked.
        self.send("pd quit")
        try:
            status = self.pd.proc.wait(timeout=60)
        except Exception:
            status = None
        if status is None:
            self.fail("pd did not quit within 60 s of 'pd quit'")
        elif status == 86:
            self.fail("the sanitizer reported an error or a leak (pd's exit status 86)")
        elif status != 0:
            self.fail("pd ended with status %s on 'pd quit'" % status)
        self.ref.proc.terminate()
        try:
            self.ref.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            pass
        for p in self.detectors:
            p.kill()
            p.wait()
        return self.finish()

    def fail(self, msg):
        self.problems.append(msg)

    # ---- the checks
    def finish(self):
        time.sleep(0.3)  # the reader thread's last lines
        a = self.args
        frames_checked = frames_lost = frames_clean = 0
        self.long_checked = 0
        lost_examples = []
        final_ok = []
        if not hasattr(self, "t_end"):
            return self.report(0, 0, 0, [])
        for b in range(self.nb):
            w = list(zip(self.wseq[b], self.wtime[b]))
            wset = set(self.wseq[b])
            dirty = sorted(self.dirty[b])
            if self.pending_connect.get(b):
                dirty.append((self.pending_connect[b][0] - self.guard(b), 1e18))
            starts = [s for s, _ in dirty]
            ends_max = []
            m = -1e18
            for _, e in dirty:
                m = max(m, e)
                ends_max.append(m)

            def clean_board(t):
                i = bisect.bisect_right(starts, t)
                return not (i and ends_max[i - 1] >= t)

            limit = self.t_stop_writing - 0.01
            for k in range(3 * b, 3 * b + 3):
                for i in range(1, self.rinc[k] + 1):
                    made, deleted = self.rlife[(k, i)]
                    lo = made + BASE_GUARD
                    hi = (deleted if deleted is not None else self.t_end) - BASE_GUARD
                    got = self.rgot.get((k, i), array.array("l"))
                    gotset = set(got)
                    if len(gotset) != len(got):
                        self.fail("receiver r%d.%d got %d frames twice" % (k, i, len(got) - len(gotset)))
                    times = self.wtime[b]
                    for j in range(bisect.bisect_left(times, lo), bisect.bisect_right(times, min(hi, limit))):
                        seq, t = w[j]
                        if not clean_board(t):
                            continue
                        frames_checked += 1
                        if seq not in gotset:
                            frames_lost += 1
                            if len(lost_examples) < 5:
                                lost_examples.append("board %d frame %d written at %.2f s, not at r%d.%d"
                                                     % (b, seq, t - self.t_start, k, i))
                    unknown = gotset - wset
                    if unknown:
                        self.fail("receiver r%d.%d got values no device wrote: %s"
                                  % (k, i, sorted(unknown)[:5]))
            frames_clean += sum(1 for _, t in w if t <= limit and clean_board(t))
            for v, (lb, t) in self.long_written.items():
                if lb == b and self.t_start + BASE_GUARD <= t <= limit and clean_board(t):
                    self.long_checked += 1
                    if not self.long_got.get(v):
                        self.fail("the long-tag frame %d, written by board %d in a clean window at"
                                  " %.2f s, never arrived" % (v, b, t - self.t_start))
            final = set(self.wseq[b][self.final_from[b]:])
            delivered = any(final & set(self.rgot.get((k, self.rinc[k]), ())) for k in range(3 * b, 3 * b + 3))
            final_ok.append(delivered)
            if not delivered:
                self.fail("board %d delivered nothing after its last replug" % b)
        if frames_lost:
            self.fail("%d frames written in clean windows never reached a live receiver of their tag,"
                      " e.g. %s" % (frames_lost, "; ".join(lost_examples)))
        # long tags: each once; in clean windows, arrived
        for v, n in self.long_got.items():
            if n > 1:
                self.fail("the long-tag frame %d arrived %d times" % (v, n))
            if v not in self.long_written:
                self.fail("the long-tag receiver got %d, which no device wrote" % v)
        # the senders' floats as the devices decoded them
        dev_checked = dev_lost = 0
        sends = sorted(self.send_lines)
        for b, d in enumerate(self.dev):
            ddirty = sorted(self.dirty[b] + self.dev_dirty[b])
            fails = sorted(t for t, p in self.send_fail if p == d.path)
            sent = set(v for _, v in sends)
            last = {}
            gotall = set()
            for t, tag, value in d.decoded:
                v = int(value) if value == value and abs(value) < 1e9 and value == int(value) else None
                if tag != b"out" or v not in sent:
                    # a frame cut short while the device was stuck runs into the next
                    if not any(s <= t <= e for s, e in ddirty):
                        self.fail("device %d decoded %r %r, which no sender sent" % (b, tag, value))
                    continue
                k = v % 4
                if k in last and v <= last[k]:
                    self.fail("device %d got float %d after %d from sender %d (%s)"
                              % (b, v, last[k], k, "twice" if v == last[k] else "out of order"))
                last[k] = v
                gotall.add(v)
            for t, v in sends:
                if t > self.t_stop_writing or t < self.t_start + BASE_GUARD:
                    continue
                if any(s <= t <= e for s, e in ddirty):
                    continue
                if self.pending_connect.get(b) or not self.connected[b]:
                    continue
                if any(abs(ft - t) < 0.5 for ft in fails[bisect.bisect_left(fails, t - 0.5):][:3]):
                    self.fail("a write to device %d failed in a clean window (float %d)" % (b, v))
                    continue
                dev_checked += 1
                if v not in gotall:
                    dev_lost += 1
        if dev_lost:
            self.fail("%d floats sent in clean windows never reached their device" % dev_lost)
        self.dev_checked, self.dev_lost = dev_checked, dev_lost
        return self.report(frames_checked, frames_lost, frames_clean, final_ok)

    def report(self, checked, lost, clean, final_ok):
        a = self.args
        t_start = getattr(self, "t_start", 0)
        run_gaps = [x for x in self.gaps if t_start and t_start < x[0] <= getattr(self, "t_end", 1e18)]
        limit = max(50.0, 3 * getattr(self, "baseline", 0))
        worst = max((x[1] for x in run_gaps), default=0.0)
        stalls = []
        for f in getattr(self, "stall_files", []):
            with open(f) as fh:
                stalls += [tuple(float(x) for x in l.split()) for l in fh if len(l.split()) == 2]
        excused = collections.Counter()
        for t, g, waited, ran in run_gaps:
            if g <= limit:
                continue
            # The machine, not the module: pd waited for a CPU at least that
            # much longer in the same report, or the plain pd beside it
            # stalled as long.
            if g - waited <= limit:
                excused["waiting for a CPU"] += 1
                continue
            ref = max((rg for rt, rg in self.ref_gaps if t - 1.5 <= rt <= t + 1.0), default=0.0)
            if g <= 3 * ref:
                excused["the reference pd stalled too"] += 1
                continue
            if any(t - 0.7 <= st <= t + 0.1 and late * 1000 >= g - limit for st, late in stalls):
                excused["a CPU stalled for every process"] += 1
                continue
            near = [w for et, w in self.events if t - 2.0 <= et <= t]
            self.fail("scheduler gap of %.1f ms at %.1f s, over the bound of %.1f ms (pd waited %.1f ms"
                      " for a CPU and ran %.0f ms in that report; the reference pd's longest gap then: %.1f ms; in"
                      " the 2 s before: %s)" % (g, t - t_start, limit, waited, ran, ref,
                                                ", ".join(near) or "no fault"))
        for e in self.other_errors[:5]:
            self.fail("console error: " + e)
        if a.sanitizer_log and os.path.isdir(a.sanitizer_log):
            for f in sorted(os.listdir(a.sanitizer_log)):
                path = os.path.join(a.sanitizer_log, f)
                with open(path, errors="replace") as fh:
                    text = fh.read()
                print("---- sanitizer report %s\n%s" % (path, text))
                self.fail("sanitizer report " + path)
        fd_start = getattr(self, "fd_start", {})
        fd_end = getattr(self, "fd_end", fd_start)
        if len(fd_end) != len(fd_start):
            self.fail("pd holds %d descriptors at the end, %d at the start (%s)"
                      % (len(fd_end), len(fd_start), self.fd_names(fd_start, fd_end)))
        warm, endk = getattr(self, "rss_warm", None), getattr(self, "rss_end", None)
        allowed = 4096 + (QUARANTINE_MB * 1024 if a.sanitizer_log else 0)
        if warm and endk and endk - warm >= allowed:
            self.fail("pd's resident memory grew by %d kB after warm-up (bound %d kB)" % (endk - warm, allowed))

        print("\n== campaign summary (seed %d, %d s, %d boards)" % (a.seed, a.seconds, self.nb))
        print("faults injected: %d" % sum(self.faults.values()))
        for kind, n in sorted(self.faults.items(), key=lambda x: -x[1]):
            print("  %-32s %6d" % (kind, n))
        sent = sum(len(w) for w in self.wseq)
        print("frames written by the devices: %d; in clean windows: %d" % (sent, clean))
        print("frame deliveries checked (frame x live receiver, clean windows): %d, lost: %d" % (checked, lost))
        print("floats from the senders checked at the devices: %d, lost: %d"
              % (getattr(self, "dev_checked", 0), getattr(self, "dev_lost", 0)))
        print("long-tag frames written %d, received %d; %d written in clean windows, all checked"
              % (len(self.long_written), sum(self.long_got.values()), getattr(self, "long_checked", 0)))
        print("boards delivering after their last replug: %d of %d" % (sum(final_ok), self.nb))
        print("longest scheduler gap %.1f ms; quiet baseline %.1f ms; bound %.1f ms; reference pd's"
              " longest %.1f ms; gaps over the bound the machine made: %s"
              % (worst, getattr(self, "baseline", 0), limit,
                 max((g for t, g in self.ref_gaps if t > t_start), default=0),
                 ", ".join("%d (%s)" % (n, why) for why, n in excused.items()) or "none"))
        print("descriptors: %d at the start, %d at the end" % (len(fd_start), len(fd_end)))
        if warm and endk:
            print("resident memory: %.1f MB after warm-up, %.1f MB at the end (%+.1f MB; bound %.1f MB%s)"
                  % (warm / 1024, endk / 1024, (endk - warm) / 1024, allowed / 1024,
                     ", sanitizer quarantine included" if a.sanitizer_log else ""))
        if self.problems:
            print("\nFAIL (seed %d):" % a.seed)
            for p in self.problems[:40]:
                print("  - " + p)
            print("console, last lines:")
            for _, l in list(self.pd.kept)[-25:]:
                print("  | " + l)
            return 1
        print("PASS")
        return 0

    def fd_names(self, a, b):
        return ", ".join("%s -> %s" % (fd, b[fd]) for fd in sorted(b, key=int) if a.get(fd) != b[fd]) or "fewer"


def subprocess_rm(path):
    shutil.rmtree(path, ignore_errors=True)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--stall-detector":
        return stall_detector(int(sys.argv[2]), sys.argv[3])
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("module_dir")
    p.add_argument("--seconds", type=float, default=60)
    p.add_argument("--seed", type=int, default=None)
    # one more board, on a path that never exists, makes the module's limit of 8
    p.add_argument("--boards", type=int, default=6, choices=range(4, 8))
    p.add_argument("--fault-every", type=float, default=0.5, help="mean seconds between faults")
    p.add_argument("--pd", default="pd")
    p.add_argument("--poll", type=float, default=None, help="`poll MS` to every board as it is made")
    p.add_argument("--sanitizer-log", default=None,
                   help="where tests/sanitize/pd-sanitized writes its reports (emptied first)")
    a = p.parse_args()
    if a.seed is None:
        a.seed = random.SystemRandom().randrange(1, 2 ** 31)
    a.module_dir = os.path.abspath(a.module_dir)
    if a.sanitizer_log:
        os.makedirs(a.sanitizer_log, exist_ok=True)
        for f in os.listdir(a.sanitizer_log):  # an earlier run's
            if f.startswith("report."):
                os.unlink(os.path.join(a.sanitizer_log, f))
        os.environ["VELTRIX_SANITIZER_LOG"] = a.sanitizer_log
        os.environ["ASAN_OPTIONS"] = "quarantine_size_mb=%d" % QUARANTINE_MB
    sys.exit(Campaign(a).run())


if __name__ == "__main__":
    main()
