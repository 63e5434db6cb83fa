#!/usr/bin/env python3
"""Live-playing figures in a real pd -nogui on pseudo-terminals.

    bench_live.py MODULE_DIR [--quick]

1. latency from a device's write to the receiver's output, 100 frames, at the
   default poll and at `poll 1`, with Pd's default sleep grain and with
   -sleepgrain 1;
2. the longest scheduler gap ([metro 1] timed with [realtime]) while a
   [metro 20] sends floats to a device that reads, then to one that stopped;
3. Pd's CPU with eight idle boards, at the default poll and at `poll 1`,
   against the same Pd with no board.

    bench_live.py MODULE_DIR --stream-gaps [--against OTHER_DIR] [--quick]

The longest scheduler gap under two busy loops (one per core of a 2-core
machine), eight boards open at the default poll, `poll 1` and `poll 0`, with
none, one and eight of them streaming 500 frames/s, for the module in
MODULE_DIR and, run by run in turn, the one in OTHER_DIR (an older build,
say).
"""
import os
import random
import re
import select
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests",
                                "support"))
from pty_queue import fill_output_queue  # noqa: E402

PD = "pd"


def frame(tag, value):
    return b"\xaa" + tag.encode() + b"\x00" + struct.pack("<f", value)


class Pty:
    def __init__(self):
        self.master, self.slave_fd = os.openpty()
        tty.setraw(self.master)
        os.set_blocking(self.master, False)
        self.slave = os.ttyname(self.slave_fd)

    def drain(self):
        n = 0
        while True:
            try:
                got = os.read(self.master, 65536)
            except BlockingIOError:
                return n
            if not got:
                return n
            n += len(got)

    def fill(self):
        """Plays a device that stopped reading: fills the slave's output queue."""
        return fill_output_queue(self.slave)

    def close(self):
        os.close(self.master)
        os.close(self.slave_fd)


class Pd:
    """pd -nogui on a patch, its console lines timestamped as they arrive."""

    def __init__(self, module_dir, patch_lines, flags=()):
        self.dir = tempfile.mkdtemp(prefix="veltrix-live-")
        path = os.path.join(self.dir, "p.pd")
        with open(path, "w") as f:
            f.write("#N canvas 0 0 600 400 12;\n")
            for line in patch_lines:
                f.write("#X " + line + ";\n")
        self.proc = subprocess.Popen(
            [PD, "-nogui", "-stderr", "-nosound", "-nomidi", "-noprefs", *flags,
             "-path", module_dir, "-open", path],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

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
            with self.cond:
                self.lines += [(now, l.decode(errors="replace")) for l in done]
                self.cond.notify_all()

    def wait(self, pattern, timeout, start=0):
        """Index and time of the first line from `start` on matching `pattern`."""
        rx = re.compile(pattern)
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(start, len(self.lines)):
                    if rx.search(self.lines[i][1]):
                        return i, self.lines[i][0]
                start = len(self.lines)
                left = end - time.monotonic()
                if left <= 0 or not self.cond.wait(left):
                    if left <= 0:
                        raise TimeoutError(pattern + "\n" + "\n".join(l for _, l in self.lines[-20:]))

    def wait_connected(self, boards, timeout=10):
        """Waits until `boards` boards have said they are connected."""
        deadline = time.monotonic() + timeout
        while len(self.matching("connected .* ok!")) < boards:
            if time.monotonic() > deadline:
                raise TimeoutError("boards did not connect")
            time.sleep(0.05)

    def matching(self, pattern):
        rx = re.compile(pattern)
        with self.cond:
            return [(t, l) for t, l in self.lines if rx.search(l)]

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        subprocess.run(["rm", "-rf", self.dir])


def latency(module_dir, poll, flags, frames):
    pty = Pty()
    patch = ["obj 10 10 Veltrix open " + pty.slave, "obj 10 40 Veltrix receive lat",
             "obj 10 70 print lat", "connect 1 0 2 0"]
    if poll:
        patch += ["obj 200 10 loadbang", "msg 200 40 poll %g" % poll, "connect 3 0 4 0",
                  "connect 4 0 0 0"]
    pd = Pd(module_dir, patch, flags)
    try:
        pd.wait("connected .* ok!", 10)
        time.sleep(0.3)
        got = []
        for i in range(frames):
            # Random spacing spreads the writes over the poll's phase.
            time.sleep(random.uniform(0.005, 0.025) if poll else random.uniform(0.05, 0.15))
            start = len(pd.lines)
            t0 = time.monotonic()
            os.write(pty.master, frame("lat", i))
            _, t1 = pd.wait(r"^lat: %d$" % i, 5, start)
            got.append((t1 - t0) * 1000)
        return statistics.median(got), max(got)
    finally:
        pd.stop()
        pty.close()


def stuck_gap(module_dir, seconds):
    pty = Pty()
    patch = [
        "obj 10 10 Veltrix open " + pty.slave,
        "obj 10 40 loadbang",
        "obj 200 10 metro 20", "obj 200 40 f 1", "obj 200 70 Veltrix send led",
        # [metro 1] timed with [realtime]: the longest gap of each second.
        "obj 10 100 metro 1", "obj 10 130 t b b", "obj 10 160 realtime", "obj 10 190 max",
        "obj 10 220 t f f", "obj 200 130 metro 1000", "obj 200 160 t b b", "obj 200 190 f",
        "msg 300 190 0", "obj 200 220 print gap",
        "connect 1 0 2 0", "connect 2 0 3 0", "connect 3 0 4 0",
        "connect 1 0 5 0", "connect 5 0 6 0", "connect 6 1 7 1", "connect 6 0 7 0",
        "connect 7 0 8 0", "connect 8 0 9 0", "connect 9 0 8 1", "connect 9 1 12 1",
        "connect 1 0 10 0", "connect 10 0 11 0", "connect 11 1 12 0", "connect 11 0 13 0",
        "connect 13 0 8 1", "connect 13 0 12 1", "connect 12 0 14 0",
    ]
    pd = Pd(module_dir, patch, ["-sleepgrain", "1"])
    stop = threading.Event()

    def device():  # reads what the patch sends until told to stop reading
        while not stop.is_set():
            select.select([pty.master], [], [], 0.01)
            pty.drain()

    try:
        pd.wait("connected .* ok!", 10)
        reader = threading.Thread(target=device)
        reader.start()
        time.sleep(1.5)
        t_read = time.monotonic()
        time.sleep(seconds)
        stop.set()
        reader.join()
        t_stuck = time.monotonic()
        queued = pty.fill()
        time.sleep(seconds)
        t_end = time.monotonic()
        alive = pd.proc.poll() is None

        def gaps(a, b):
            return [float(l.split()[-1]) for t, l in pd.matching(r"^gap: ") if a + 1 < t <= b]

        failed = [t for t, l in pd.matching(r"WriteFile\(.*\) failed") if t > t_stuck]
        reading, stuck = gaps(t_read, t_stuck), gaps(t_stuck, t_end)
        return {
            "reading_max": max(reading), "reading_median": statistics.median(reading),
            "stuck_max": max(stuck), "stuck_median": statistics.median(stuck),
            "failed_lines": len(failed), "queued": queued, "alive": alive,
        }
    finally:
        stop.set()
        pd.stop()
        pty.close()


def gap_patch(first):
    """Objects from index `first` on: a [metro 1] timed with [realtime] that
    prints the longest gap of each second as `gap: <ms>`."""
    k = lambda i: first + i
    objs = ["obj 600 10 loadbang", "obj 600 40 metro 1", "obj 600 70 t b b",
            "obj 600 100 realtime", "obj 600 130 max", "obj 600 160 t f f",
            "obj 800 40 metro 1000", "obj 800 70 t b b", "obj 800 100 f", "msg 900 100 0",
            "obj 800 130 print gap"]
    wires = [(0, 0, 1, 0), (1, 0, 2, 0), (2, 1, 3, 1), (2, 0, 3, 0), (3, 0, 4, 0), (4, 0, 5, 0),
             (5, 0, 4, 1), (5, 1, 8, 1), (0, 0, 6, 0), (6, 0, 7, 0), (7, 1, 8, 0), (7, 0, 9, 0),
             (9, 0, 4, 1), (9, 0, 8, 1), (8, 0, 10, 0)]
    return objs + ["connect %d %d %d %d" % (k(a), o, k(b), i) for a, o, b, i in wires]


# Calls Pd sleeps in between ticks: not stalls.
SLEEPS = {"clock_nanosleep", "nanosleep", "select", "pselect6", "epoll_wait", "epoll_pwait",
          "futex", "wait4"}


def slow_calls(path):
    """Count and longest (ms) of the system calls in a `perf trace` log that
    are not sleeps."""
    took = []
    with open(path, errors="replace") as f:
        for line in f:
            m = re.search(r"\(\s*([\d.]+) ms\): (\w+)\(", line)
            if m and m.group(2) not in SLEEPS:
                took.append(float(m.group(1)))
    return len(took), max(took, default=0.0)


def stream_gap(module_dir, streaming, seconds, poll=None, boards=8, rate=500, trace=False):
    """Per-second longest gaps with `boards` open at `poll` (None: the
    default) and the first `streaming` of them sending `rate` frames a second
    each; with `trace`, also the count and longest of Pd's system calls that
    took 2 ms or more (perf trace), else None."""
    ptys = [Pty() for _ in range(boards)]
    patch = ["obj 10 %d Veltrix open %s" % (10 + 30 * i, p.slave) for i, p in enumerate(ptys)]
    if poll is not None:
        patch += ["obj 300 10 loadbang", "msg 300 40 poll %g" % poll]
        patch += ["connect %d 0 %d 0" % (boards, boards + 1)]
        patch += ["connect %d 0 %d 0" % (boards + 1, i) for i in range(boards)]
    patch += gap_patch(len([l for l in patch if not l.startswith("connect")]))
    pd = Pd(module_dir, patch, ["-sleepgrain", "1"])
    stop = threading.Event()
    sent = [0]

    def devices():  # `rate` frames a second each, caught up when late
        start, n = time.monotonic(), 0
        while not stop.is_set():
            due = int((time.monotonic() - start) * rate)
            for i in range(n, due):
                data = frame("s", float(i))
                for p in ptys[:streaming]:
                    try:
                        os.write(p.master, data)
                        sent[0] += 1
                    except BlockingIOError:
                        pass
            n = max(n, due)
            time.sleep(1 / rate)

    try:
        pd.wait_connected(boards)
        writer = threading.Thread(target=devices)
        writer.start()
        time.sleep(1.5)
        log = os.path.join(pd.dir, "trace")
        tracer = trace and subprocess.Popen(
            ["perf", "trace", "--duration", "2", "-o", log, "-p", str(pd.proc.pid)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        t0 = time.monotonic()
        time.sleep(seconds)
        t1 = time.monotonic()
        if tracer:
            tracer.send_signal(signal.SIGINT)
            tracer.wait()
        stop.set()
        writer.join()
        gaps = [float(l.split()[-1]) for t, l in pd.matching(r"^gap: ") if t0 + 1 < t <= t1]
        slow = slow_calls(log) if tracer and os.path.exists(log) else None
        return max(gaps), statistics.median(gaps), slow
    finally:
        stop.set()
        pd.stop()
        for p in ptys:
            p.close()


def stream_gaps(modules, seconds, rounds):
    """The table of stream_gap for each module, under two busy loops: each
    cell's runs take turns with the other module's, round after round, so
    that both see the same machine."""
    # perf trace tells the stalls inside Pd's system calls from those of a
    # machine that gives Pd no CPU; it needs perf and root.
    trace = shutil.which("perf") is not None and os.geteuid() == 0
    loops = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2)]
    try:
        print("== longest scheduler gap, 8 boards open, two busy loops, -sleepgrain 1,"
              " %d x %d s each" % (rounds, seconds))
        print("   ([metro 1] timed with [realtime]: longest / median of the per-second maxima, ms;")
        print("   then Pd's system calls of 2 ms or more, other than sleeps: count, longest ms%s)"
              % ("" if trace else ", not measured without perf and root"))
        print("%-34s" % "poll, boards streaming 500 frames/s" +
              "".join("%36s" % name for name, _ in modules))
        for poll in (None, 1, 0):
            for streaming in (0, 1, 8):
                gaps = [[] for _ in modules]
                for _ in range(rounds):
                    for m, (_, module_dir) in enumerate(modules):
                        gaps[m].append(stream_gap(module_dir, streaming, seconds, poll,
                                                  trace=trace))

                def cell(g):
                    slow = [s for _, _, s in g if s is not None]
                    calls = ("%d, %.1f" % (sum(n for n, _ in slow), max(t for _, t in slow))
                             if slow else "-")
                    return "%7.1f / %-5.1f %14s" % (max(mx for mx, _, _ in g),
                                                   statistics.median(med for _, med, _ in g),
                                                   calls)

                cells = [cell(g) for g in gaps]
                name = "%s, %s" % ("default poll" if poll is None else "poll %g" % poll,
                                   "none" if not streaming else str(streaming))
                print("%-34s" % name + "".join("%36s" % c for c in cells), flush=True)
    finally:
        for p in loops:
            p.kill()
            p.wait()


def cpu(module_dir, boards, poll, flags, seconds):
    ptys = [Pty() for _ in range(boards)]
    patch = ["obj 10 %d Veltrix open %s" % (10 + 30 * i, p.slave) for i, p in enumerate(ptys)]
    if poll:
        patch += ["obj 300 10 loadbang", "msg 300 40 poll %g" % poll,
                  "connect %d 0 %d 0" % (boards, boards + 1)]
        patch += ["connect %d 0 %d 0" % (boards + 1, i) for i in range(boards)]
    pd = Pd(module_dir, patch or ["obj 10 10 loadbang"], flags)
    try:
        pd.wait_connected(boards)
        time.sleep(2)
        c0, t0 = pd.cpu_seconds(), time.monotonic()
        time.sleep(seconds)
        c1, t1 = pd.cpu_seconds(), time.monotonic()
        return 100 * (c1 - c0) / (t1 - t0)
    finally:
        pd.stop()
        for p in ptys:
            p.close()


def main():
    module_dir = os.path.abspath(sys.argv[1])
    quick = "--quick" in sys.argv
    frames = 20 if quick else 100
    span = 3 if quick else 10
    if "--stream-gaps" in sys.argv:
        modules = [("this build", module_dir)]
        if "--against" in sys.argv:
            other = os.path.abspath(sys.argv[sys.argv.index("--against") + 1])
            modules.append((os.path.basename(os.path.dirname(other)) or "--against", other))
        stream_gaps(modules, span, 1 if quick else 2)
        return
    print("== latency, device write to receiver output, %d frames (ms)" % frames)
    print("%-28s %-22s %8s %8s" % ("poll", "pd", "median", "max"))
    for flags, flagname in (((), "default sleep grain"), (("-sleepgrain", "1"), "-sleepgrain 1")):
        for poll in (0, 1):
            med, mx = latency(module_dir, poll, flags, frames)
            print("%-28s %-22s %8.2f %8.2f" % ("poll 1" if poll else "default (100 ms)", flagname,
                                              med, mx), flush=True)
    print()
    print("== scheduler gap, [metro 20] floats to one board, [metro 1] timed with [realtime]")
    g = stuck_gap(module_dir, span)
    print("device reading:        longest %.2f ms, median of per-second maxima %.2f ms" %
          (g["reading_max"], g["reading_median"]))
    print("device stopped reading: longest %.2f ms, median of per-second maxima %.2f ms;"
          " %d failed-write lines in %d s; pd %s (%d bytes filled the queue)" %
          (g["stuck_max"], g["stuck_median"], g["failed_lines"], span,
           "still running" if g["alive"] else "GONE", g["queued"]))
    print()
    print("== Pd's CPU, %d s each (%% of one core)" % span)
    print("%-32s %-22s %8s" % ("patch", "pd", "cpu %"))
    for flags, flagname in (((), "default sleep grain"), (("-sleepgrain", "1"), "-sleepgrain 1")):
        for boards, poll, name in ((0, 0, "no board"), (8, 0, "8 idle boards, default poll"),
                                   (8, 1, "8 idle boards, poll 1")):
            print("%-32s %-22s %8.2f" % (name, flagname, cpu(module_dir, boards, poll, flags, span)),
                  flush=True)


if __name__ == "__main__":
    main()
