#!/usr/bin/env python3
"""A seeded fault campaign in Pd for Windows under wine.

    campaign.py --label L --pd PD.COM --path DIR --work DIR --links L1,L2,...
        [--seconds N] [--seed S] [--guard S] -- WINE...

One pd.com with one board per link (COM9, COM10, ... in the prefix), each
played here on a pseudo-terminal: it streams frames "s<k>" 0, 1, 2, ... at
rates from a trickle to bursts, with frames whose values hold 0xAA and noise
between frames, and reads what Pd sends. Meanwhile, one at a time on a random
board: the cable pulled for a random time and put back; the device stopping
reading while Pd sends to it; garbage (stray start bytes, cut frames, tags
too long); its receiver, its board object or a sender deleted and made again
by dynamic patching; `poll` with a random interval; `ports`.

At the end: Pd never crashed and quits cleanly; no frame arrived twice or
out of order; every frame written in a clean window arrived; each board
connected again after its last fault and delivered its last frames. A
window is clean when no fault touches its board or receiver: a pull or a
deletion spoils the frames not yet received when it starts (Pd's own output
says which) up to GUARD seconds after it ends, garbage the next three
frames. No bound depends on how fast a loaded machine runs Pd. The seed is
printed, so a run can be replayed (the faults and rates, not the timing).
"""
import os
import random
import re
import struct
import sys
import threading
import time
import tty

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_pd import Checks, Pd, pd_arguments  # noqa: E402


def frame(tag, value):
    return b"\xaa" + tag.encode() + b"\x00" + struct.pack("<f", value)


class PtyBoard:
    """A board on a pseudo-terminal behind `link`, streaming its sequence."""

    def __init__(self, link, tag, rng):
        self.link, self.tag, self.rng = link, tag, rng
        # The stream's own, drawn here so that a seed replays it.
        self.stream_rng = random.Random(rng.random())
        self.lock = threading.Lock()
        self.master = self.slave = -1
        self.stuck = False
        self.seq = 0
        self.sent = []  # (seq, time written)
        self.mode = "steady"
        self.next_at = 0.0
        self.streaming = True
        self.read_bytes = 0
        self.cuts = []  # the first sequence number after each write the pty cut short
        self.plug()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.running = True
        self.thread.start()

    def plug(self):
        with self.lock:
            self.master, self.slave = os.openpty()
            tty.setraw(self.slave)
            os.set_blocking(self.master, False)
            tmp = self.link + ".new"
            if os.path.lexists(tmp):
                os.unlink(tmp)
            os.symlink(os.ttyname(self.slave), tmp)
            os.replace(tmp, self.link)

    def pull(self):
        with self.lock:
            if os.path.lexists(self.link):
                os.unlink(self.link)
            os.close(self.master)
            os.close(self.slave)
            self.master = self.slave = -1

    def write(self, data):
        """Whole or not at all, as far as the caller knows: a cut write is
        reported, so the window around it is not clean."""
        try:
            n = os.write(self.master, data)
        except BlockingIOError:
            n = 0
        return n == len(data), n

    def garbage(self):
        r = self.rng
        kind = r.choice(["start bytes", "cut frame", "long tag"])
        if kind == "start bytes":
            data = bytes(r.choice([0xAA, r.randrange(256)]) for _ in range(r.randrange(1, 40)))
        elif kind == "cut frame":
            # Not on the board's own tag: the next frame's bytes would
            # complete it with a value no check could tell from a real one.
            data = frame("cut", 99999)[: r.randrange(1, 9)]
        else:
            data = frame("x" * r.randrange(32, 80), 1.0)
        self.write(data)
        return kind

    def fill(self):
        fd = os.open(os.ttyname(self.slave), os.O_WRONLY | os.O_NOCTTY | os.O_NONBLOCK)
        took = True
        while took:
            took = False
            for chunk in (4096, 1):
                while True:
                    try:
                        os.write(fd, b"\x55" * chunk)
                        took = True
                    except BlockingIOError:
                        break
            time.sleep(0.02)
        os.close(fd)

    def _run(self):
        r = self.stream_rng
        while self.running:
            now = time.monotonic()
            with self.lock:
                if self.master >= 0:
                    if not self.stuck:
                        try:
                            while True:
                                got = os.read(self.master, 4096)
                                if not got:
                                    break
                                self.read_bytes += len(got)
                        except (BlockingIOError, OSError):
                            pass
                    if self.streaming and now >= self.next_at:
                        self._emit(r, now)
            time.sleep(0.003)

    def _emit(self, r, now):
        if r.random() < 0.02:
            self.mode = r.choice(["trickle", "steady", "burst"])
        count = r.randrange(20, 120) if self.mode == "burst" else 1
        out = b""
        seqs = []
        for _ in range(count):
            out += frame(self.tag, self.seq)
            seqs.append(self.seq)
            self.seq += 1
            if r.random() < 0.1:
                out += frame("aa", struct.unpack("<f", b"\xaa\xaa\xaa\x3f")[0])
            if r.random() < 0.1:
                out += bytes(r.choice([0x00, 0x55, 0x7F, 0xFF]) for _ in range(r.randrange(1, 8)))
        whole, n = self.write(out)
        if whole:
            self.sent += [(s, now) for s in seqs]
        else:
            # A write the pty cut short: the frames in it do not count, and
            # what it left is garbage before the next ones.
            self.cuts.append(self.seq)
        gap = {"trickle": 0.3, "steady": 0.03, "burst": 0.5}[self.mode]
        self.next_at = now + gap * (0.5 + r.random())

    def stop(self):
        self.running = False
        self.thread.join()


def main():
    p = pd_arguments()
    p.add_argument("--links", required=True, help="comma-separated: COM9's link, COM10's, ...")
    p.add_argument("--seconds", type=float, default=30)
    p.add_argument("--seed", type=int)
    p.add_argument("--guard", type=float, default=1.0)
    a = p.parse_args()
    seed = a.seed if a.seed is not None else random.randrange(1 << 31)
    rng = random.Random(seed)
    os.makedirs(a.work, exist_ok=True)
    c = Checks(a.label)
    print(f"NOTE {a.label}: seed {seed}, {a.seconds:g} s", flush=True)

    links = a.links.split(",")
    ports = [f"COM{9 + k}" for k in range(len(links))]
    boards = [PtyBoard(link, f"s{k}", rng) for k, link in enumerate(links)]
    for b in boards:
        b.streaming = False
    # Per board: (first spoilt sequence number, time the fault ended), and
    # (first, last) spoilt numbers.
    faults = {k: [] for k in range(len(boards))}
    spoilt = {k: [] for k in range(len(boards))}
    counts = {}

    # Every object lives in a subpatch of its own, cleared and made again.
    def make_board(k):
        pd.send(f"pd-b{k}", "obj", 10, 10, "r", f"board{k}")
        pd.send(f"pd-b{k}", "obj", 10, 40, "Veltrix", "open", ports[k])
        pd.send(f"pd-b{k}", "connect", 0, 0, 1, 0)

    def make_receiver(k):
        pd.send(f"pd-r{k}", "obj", 10, 10, "Veltrix", "receive", f"s{k}")
        pd.send(f"pd-r{k}", "obj", 10, 40, "print", f"rx-s{k}")
        pd.send(f"pd-r{k}", "connect", 0, 0, 1, 0)

    def make_sender(k):
        pd.send(f"pd-t{k}", "obj", 10, 10, "r", f"tx{k}")
        pd.send(f"pd-t{k}", "obj", 10, 40, "Veltrix", "send", f"t{k}")
        pd.send(f"pd-t{k}", "connect", 0, 0, 1, 0)

    pd = Pd(a.wine, a.pd, a.path, a.work, [("Veltrix receive aa", [])])
    log = pd.log
    t0 = time.monotonic()
    try:
        if not c.check(pd.connect(), "Pd starts and opens the patch", "\n    ".join(log.lines()[-15:])):
            return 1
        for k in range(len(boards)):
            for sub in ("b", "r", "t"):
                pd.send("pd-check.pd", "obj", 300 + 100 * k, {"b": 10, "r": 40, "t": 70}[sub],
                        "pd", f"{sub}{k}")
            make_receiver(k)
            make_sender(k)
            make_board(k)
        up = log.wait(r"^Veltrix_tick \S+ connected COM\d+ ok!$", count=len(boards))
        if not c.check(bool(up), f"{len(boards)} boards connect",
                       "\n    ".join(log.find(r"^Veltrix_tick")[-8:])):
            return 1
        start = time.monotonic()
        for b in boards:
            b.streaming = True
        end = start + a.seconds
        value = 0
        while time.monotonic() < end and pd.alive():
            time.sleep(rng.uniform(0.2, 1.0))
            # Floats to every board, stuck ones included.
            for k in range(len(boards)):
                value += 1
                pd.send(f"tx{k}", value)
            k = rng.randrange(len(boards))
            b = boards[k]
            kind = rng.choice(["pull", "pull", "stuck", "garbage", "receiver", "board",
                               "sender", "poll", "ports", "none"])
            if kind != "garbage":
                counts[kind] = counts.get(kind, 0) + 1
            # What Pd has not received yet may be lost to this fault.
            got = [int(float(l.split()[1])) for l in log.find(rf"^rx-s{k}: ")]
            first = got[-1] + 1 if got else 0
            if kind == "pull":
                mark = log.mark()
                b.pull()
                time.sleep(rng.uniform(0.1, 2.0))
                b.plug()
                log.wait(rf"^Veltrix_tick \S+ connected {ports[k]} ok!$", mark, timeout=30)
                faults[k].append((first, time.monotonic()))
            elif kind == "stuck":
                with b.lock:
                    b.stuck = True
                b.fill()
                for _ in range(rng.randrange(1, 6)):
                    value += 1
                    pd.send(f"tx{k}", value)
                    time.sleep(rng.uniform(0.05, 0.4))
                with b.lock:
                    b.stuck = False
                # The device's own frames keep coming: its window stays clean.
            elif kind == "garbage":
                with b.lock:
                    after = b.seq
                    what = b.garbage()
                counts[f"garbage: {what}"] = counts.get(f"garbage: {what}", 0) + 1
                spoilt[k].append((after, after + 2))
            elif kind == "receiver":
                pd.send(f"pd-r{k}", "clear")
                time.sleep(rng.uniform(0.1, 1.0))
                make_receiver(k)
                faults[k].append((first, time.monotonic()))
            elif kind == "board":
                mark = log.mark()
                pd.send(f"pd-b{k}", "clear")
                time.sleep(rng.uniform(0.1, 1.0))
                make_board(k)
                log.wait(rf"^Veltrix_tick \S+ connected {ports[k]} ok!$", mark, timeout=30)
                faults[k].append((first, time.monotonic()))
            elif kind == "sender":
                pd.send(f"pd-t{k}", "clear")
                make_sender(k)
            elif kind == "poll":
                pd.send(f"board{k}", "poll", rng.choice([1, 2.5, 10, 100, 1000, 0, 5000]))
            elif kind == "ports":
                pd.send(f"board{k}", "ports")
        # A quiet end: every board streams on, then stops; what it wrote
        # must come in.
        quiet = time.monotonic()
        time.sleep(max(3 * a.guard, 3))
        for b in boards:
            with b.lock:
                b.streaming = False
        stop = time.monotonic()
        for k, b in enumerate(boards):
            spoilt[k] += [(cut, cut + 2) for cut in b.cuts]
            for first, ended in faults[k]:
                later = [s for s, w in b.sent if w <= ended + a.guard]
                spoilt[k].append((first, later[-1] if later else first))
        alive = pd.alive()
        c.check(alive, f"Pd runs through {stop - start:.0f} s of faults without a crash",
                "\n    ".join(log.lines()[-10:]))
        if not alive:
            return 1

        def clean(k, seq):
            return all(seq < lo or seq > hi for lo, hi in spoilt[k])

        def received(k):
            return [int(float(l.split()[1])) for l in log.find(rf"^rx-s{k}: ")]

        # Wait for the last clean frames, then judge.
        want = {k: [s for s, w in b.sent if clean(k, s)] for k, b in enumerate(boards)}
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if all(set(want[k]) <= set(received(k)) for k in want):
                break
            time.sleep(0.5)
        total_sent = total_clean = total_lost = 0
        for k, b in enumerate(boards):
            got = received(k)
            ordered = all(x < y for x, y in zip(got, got[1:]))
            c.check(ordered, f"{ports[k]}: {len(got)} frames, none twice, none out of order",
                    f"first disorder: {next(((x, y) for x, y in zip(got, got[1:]) if x >= y), None)}")
            lost = sorted(set(want[k]) - set(got))
            total_sent += len(b.sent)
            total_clean += len(want[k])
            total_lost += len(lost)
            c.check(not lost, f"{ports[k]}: every one of {len(want[k])} frames written in clean "
                    f"windows arrived", f"{len(lost)} lost, first {lost[:10]}")
            last = [s for s, w in b.sent if w >= quiet + a.guard]
            c.check(bool(last) and set(last) <= set(got),
                    f"{ports[k]}: connected after its last fault, its last {len(last)} frames in")
        print(f"NOTE {a.label}: faults {dict(sorted(counts.items()))}; frames sent {total_sent}, "
              f"in clean windows {total_clean}, lost there {total_lost}; "
              f"{sum(b.read_bytes for b in boards)} bytes from Pd read by the boards", flush=True)
    finally:
        status = pd.quit()
        for b in boards:
            b.stop()
        c.check(status == 0, f"Pd quits cleanly (status {status})", "\n    ".join(log.lines()[-10:]))
        print(f"NOTE {a.label}: {time.monotonic() - t0:.0f} s in all", flush=True)
    return 1 if c.failed else 0


if __name__ == "__main__":
    sys.exit(main())
