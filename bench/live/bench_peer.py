#!/usr/bin/env python3
"""Veltrix beside the serial object most Pd users reach for, Debian's
pd-comport, in one run of real pd -nogui on pseudo-terminals.

    bench_peer.py MODULE_DIR [--rounds N] [--seconds S] [--passes P] [--jack]

1. Round trip: a board (this script, on a pseudo-terminal) writes and waits
   for the patch's echo, N rounds (default 200) at random spacing: for
   comport one byte echoed by [comport] into itself; for Veltrix a frame
   through [Veltrix receive ping] into [Veltrix send pong]. Each object at
   its default and its fastest settings, with Pd's default sleep grain and
   with -sleepgrain 1. Median, 95th percentile and longest (ms), and the
   rounds lost (no echo within a second).
2. Pd's CPU with eight idle ports, for the same objects and settings.
3. Pd's CPU while a slider at 60 Hz (a [metro] into [random 128] and
   [/ 127]) feeds three senders and a board, with the console as it is and
   quiet ([verbose 0( to a Veltrix object).
4. With --jack: the round trips of Veltrix at `poll 1` and `poll 0` with Pd
   on JACK's dummy driver at 64-sample blocks (jackd must be installed).

Everything is measured in one run, in P passes (default 4) of a fresh Pd
for each row, N/P rounds or S/P seconds each, the rows taking turns, so that
all see the same machine; the figures of a busy machine are noisy, their
ratios less so.
"""
import argparse
import os
import random
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_live import Pd, Pty, frame  # noqa: E402

GRAINS = (((), "default"), (("-sleepgrain", "1"), "`-sleepgrain 1`"))
# object, setting (a message to the object, or None), name of the setting
ROWS = (("comport", None, "default"), ("comport", "pollintervall 1", "`pollintervall 1`"),
        ("Veltrix", None, "default (100 ms poll)"), ("Veltrix", "poll 1", "`poll 1`"),
        ("Veltrix", "poll 0", "`poll 0`"))


def port_objects(obj, port, x=10, y=10):
    return ["obj %d %d %s" % (x, y, ("comport %s 115200" if obj == "comport"
                                     else "Veltrix open %s") % port)]


def with_setting(patch, setting, targets):
    """The patch and a [loadbang] that sends `setting` to the objects at
    indices `targets`."""
    if not setting:
        return patch
    n = len([l for l in patch if not l.startswith("connect")])
    return patch + ["obj 400 10 loadbang", "msg 400 40 " + setting,
                    "connect %d 0 %d 0" % (n, n + 1)] + [
        "connect %d 0 %d 0" % (n + 1, t) for t in targets]


def echo_patch(obj, port):
    if obj == "comport":
        return port_objects(obj, port) + ["connect 0 0 0 0"]
    return port_objects(obj, port) + ["obj 10 40 Veltrix receive ping",
                                      "obj 10 70 Veltrix send pong", "connect 1 0 2 0"]


def ready(pd, obj):
    if obj == "Veltrix":
        pd.wait("connected .* ok!", 10)
    time.sleep(0.5)  # comport opens at creation; both settle


def round_trips(module_dir, obj, setting, flags, rounds):
    """Round trips in ms, and the rounds lost."""
    pty = Pty()
    pd = Pd(module_dir, with_setting(echo_patch(obj, pty.slave), setting, [0]), flags)
    try:
        ready(pd, obj)
        return echo_rounds(pty, obj, rounds)
    finally:
        pd.stop()
        pty.close()


def echo_rounds(pty, obj, rounds):
    """The board's side: `rounds` writes at random spacing, each waiting for
    the patch's echo. Round trips in ms, and the rounds lost (no echo within
    a second)."""
    got, lost = [], 0
    pty.drain()
    buf = b""
    for i in range(rounds):
        time.sleep(random.uniform(0.005, 0.025))
        ask, want = ((bytes([i % 256]),) * 2 if obj == "comport"
                     else (frame("ping", i), frame("pong", i)))
        t0 = time.monotonic()
        os.write(pty.master, ask)
        end = t0 + 1
        while want not in buf and time.monotonic() < end:
            select.select([pty.master], [], [], max(0, end - time.monotonic()))
            try:
                buf += os.read(pty.master, 4096)
            except BlockingIOError:
                pass
        if want in buf:
            got.append((time.monotonic() - t0) * 1000)
            buf = buf[buf.index(want) + len(want):]
        else:
            lost += 1
            buf = b""
    return got, lost


def cpu_percent(pd, seconds):
    c0, t0 = pd.cpu_seconds(), time.monotonic()
    time.sleep(seconds)
    return 100 * (pd.cpu_seconds() - c0) / (time.monotonic() - t0)


def idle_cpu(module_dir, obj, setting, flags, seconds, ports=8):
    ptys = [Pty() for _ in range(ports)]
    patch = []
    for i, p in enumerate(ptys):
        patch += port_objects(obj, p.slave, 10, 10 + 30 * i)
    pd = Pd(module_dir, with_setting(patch, setting, range(ports)), flags)
    try:
        pd.wait_connected(ports if obj == "Veltrix" else 0)
        time.sleep(2)
        return cpu_percent(pd, seconds)
    finally:
        pd.stop()
        for p in ptys:
            p.close()


def slider_patch(quiet, first=1):
    """A [metro] at 60 Hz into three senders; with `quiet`, [verbose 0( to
    one of them at load. `first`: the index of its first object."""
    k = lambda i: first + i
    patch = ["obj 10 10 loadbang", "obj 10 40 metro 16.667", "obj 10 70 random 128",
             "obj 10 100 / 127", "obj 10 130 Veltrix send s1", "obj 100 130 Veltrix send s2",
             "obj 190 130 Veltrix send s3"]
    wires = [(0, 1), (1, 2), (2, 3), (3, 4), (3, 5), (3, 6)]
    if quiet:
        patch.append("msg 200 10 verbose 0")
        wires += [(0, 7), (7, 4)]
    return patch + ["connect %d 0 %d 0" % (k(a), k(b)) for a, b in wires]


def slider_cpu(module_dir, quiet, flags, seconds):
    """Pd's CPU while a slider's 60 values a second go to three senders and
    one board (whose device reads them); whether `verbose` was taken."""
    pty = Pty()
    pd = Pd(module_dir, ["obj 10 190 Veltrix open " + pty.slave] + slider_patch(quiet), flags)
    try:
        pd.wait("connected .* ok!", 10)
        time.sleep(1)
        pty.drain()
        c0, t0 = pd.cpu_seconds(), time.monotonic()
        end = t0 + seconds
        while time.monotonic() < end:  # the device reads what it gets
            select.select([pty.master], [], [], 0.05)
            pty.drain()
        t1 = time.monotonic()
        cpu = 100 * (pd.cpu_seconds() - c0) / (t1 - t0)
        refused = bool(pd.matching("no method for 'verbose'"))
        lines = len([t for t, _ in pd.matching("") if t0 <= t <= t1])
        return cpu, not refused, lines / (t1 - t0)
    finally:
        pd.stop()
        pty.close()


def tree_cpu_seconds(pid):
    """CPU seconds of a process and its descendants, and their names."""
    procs = {}
    for d in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % d) as f:
                name, fields = f.read().split(" (", 1)[1].rsplit(")", 1)
        except (OSError, IndexError, ValueError):
            continue
        fields = fields.split()
        procs[int(d)] = (int(fields[1]), int(fields[11]) + int(fields[12]), name)
    total, names = 0, set()
    for p, (_, ticks, name) in procs.items():
        q = p
        while q in procs and q != pid and q > 1:
            q = procs[q][0]
        if q == pid:
            total += ticks
            names.add(name)
    return total / os.sysconf("SC_CLK_TCK"), names


def gui_slider_cpu(module_dir, quiet, seconds, tries=3):
    """The slider's CPU with Pd's own window drawing the console: Pd and its
    GUI on a virtual X display (Xvfb); None without Xvfb or when the GUI did
    not start in `tries` tries."""
    if not shutil.which("Xvfb"):
        return None
    for _ in range(tries):
        cpu = gui_slider_try(module_dir, quiet, seconds)
        if cpu is not None:
            return cpu
    return None


def gui_slider_try(module_dir, quiet, seconds):
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x1024x24",
                             "-nolisten", "tcp"], pass_fds=(write,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    display = os.read(read, 16).decode().strip()
    os.close(read)
    d = tempfile.mkdtemp(prefix="veltrix-peer-")
    path = os.path.join(d, "p.pd")
    pty = Pty()
    with open(path, "w") as f:
        f.write("#N canvas 0 0 600 400 12;\n")
        f.write("".join("#X %s;\n" % l for l in
                        ["obj 10 190 Veltrix open " + pty.slave] + slider_patch(quiet)))
    pd = subprocess.Popen(["pd", "-nosound", "-nomidi", "-noprefs", "-path", module_dir,
                           "-open", path], env=dict(os.environ, DISPLAY=":" + display),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not any(n.startswith("wish") for n in tree_cpu_seconds(pd.pid)[1]):
            if time.monotonic() > deadline or pd.poll() is not None:
                return None
            time.sleep(0.2)
        time.sleep(2)  # the patch opens, and the console fills up
        c0, t0 = tree_cpu_seconds(pd.pid)[0], time.monotonic()
        while time.monotonic() < t0 + seconds:  # the device reads what it gets
            select.select([pty.master], [], [], 0.05)
            pty.drain()
        return 100 * (tree_cpu_seconds(pd.pid)[0] - c0) / (time.monotonic() - t0)
    finally:
        pd.kill()
        pd.wait()
        pty.close()
        xvfb.terminate()
        xvfb.wait()
        shutil.rmtree(d)


def jack_round_trips(module_dir, rounds, passes):
    """Veltrix's round trips with Pd on JACK's dummy driver at 64-sample
    blocks; None when jackd is missing or does not start."""
    if not shutil.which("jackd"):
        return None
    name = "veltrix-bench-%d" % os.getpid()
    env = dict(os.environ, JACK_DEFAULT_SERVER=name)
    jackd = subprocess.Popen(["jackd", "--no-realtime", "-n", name, "-d", "dummy", "-r", "48000",
                              "-p", "64"], env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    try:
        time.sleep(2)
        if jackd.poll() is not None:
            return None
        os.environ["JACK_DEFAULT_SERVER"] = name
        flags = ("-jack", "-nojackconnect", "-blocksize", "64", "-r", "48000", "-audiobuf", "3")
        settings = ("poll 1", "poll 0")
        rt = in_turns(passes, [lambda s=s: round_trips(module_dir, "Veltrix", s, flags, rounds)
                               for s in settings])
        return [(s,) + trips(r) for s, r in zip(settings, rt)]
    finally:
        os.environ.pop("JACK_DEFAULT_SERVER", None)
        jackd.terminate()
        jackd.wait()


def stats(got):
    if not got:
        return "-", "-", "-"
    s = sorted(got)
    return ("%.2f" % statistics.median(s), "%.2f" % s[min(len(s) - 1, int(0.95 * len(s)))],
            "%.2f" % s[-1])


def in_turns(passes, jobs):
    """Each job run `passes` times, the jobs taking turns, so that a spell of
    a busy machine (this one is shared) falls on all rows alike instead of
    on the one row it meets. The results of each job, in a list."""
    out = [[] for _ in jobs]
    for _ in range(passes):
        for i, job in enumerate(jobs):
            out[i].append(job())
    return out


def trips(results):
    """Round trips joined over the passes, and the rounds lost."""
    return [t for got, _ in results for t in got], sum(lost for _, lost in results)


def mean(values):
    return sum(values) / len(values)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("module_dir")
    p.add_argument("--rounds", type=int, default=200)
    p.add_argument("--seconds", type=float, default=10)
    p.add_argument("--passes", type=int, default=4)
    p.add_argument("--jack", action="store_true")
    a = p.parse_args()
    module_dir = os.path.abspath(a.module_dir)
    n, rounds, seconds = a.passes, max(1, a.rounds // a.passes), a.seconds / a.passes
    version = subprocess.run(["pd", "-version"], capture_output=True, text=True)
    print("Veltrix beside pd-comport: %s, pseudo-terminals, %d rounds a row, CPU over %g s "
          "(%% of one core), in %d passes taking turns; load average %s" %
          ((version.stdout + version.stderr).split()[0], rounds * n, a.seconds, n,
           " ".join(open("/proc/loadavg").read().split()[:3])), flush=True)
    print()
    print("| object | setting | Pd's sleep grain | round trip median (ms) | p95 | max | lost "
          "| Pd's CPU, 8 idle ports |")
    print("|---|---|---|---|---|---|---|---|")
    for flags, grain in GRAINS:
        rt = in_turns(n, [lambda o=o, s=s: round_trips(module_dir, o, s, flags, rounds)
                          for o, s, _ in ROWS])
        cpu = in_turns(n, [lambda o=o, s=s: idle_cpu(module_dir, o, s, flags, seconds)
                           for o, s, _ in ROWS] +
                       [lambda: idle_cpu(module_dir, "Veltrix", None, flags, seconds, ports=0)])
        for (obj, _, name), r, c in zip(ROWS, rt, cpu):
            got, lost = trips(r)
            print("| %s | %s | %s | %s | %s | %s | %d | %.1f %% |" %
                  ((obj, name, grain) + stats(got) + (lost, mean(c))))
        print("| (none) | Pd alone | %s | | | | | %.1f %% |" % (grain, mean(cpu[-1])), flush=True)
    print()
    print("| a slider at 60 Hz into three senders | Pd's sleep grain | console lines/s "
          "| Pd's CPU |")
    print("|---|---|---|---|")
    for flags, grain in GRAINS:
        loud, quiet = in_turns(n, [lambda q=q: slider_cpu(module_dir, q, flags, seconds)
                                   for q in (False, True)])
        loud, quiet = [(mean([r[0] for r in rs]), all(r[1] for r in rs), mean([r[2] for r in rs]))
                       for rs in (loud, quiet)]
        print("| console as it is | %s | %.0f | %.2f %% |" % (grain, loud[2], loud[0]))
        if quiet[1]:
            print("| `verbose 0` | %s | %.0f | %.2f %% (as it is / quiet: %.2f) |" %
                  (grain, quiet[2], quiet[0], loud[0] / quiet[0] if quiet[0] else float("inf")))
        else:
            print("| `verbose 0` | %s | | not measured: this Veltrix does not take "
                  "`verbose` |" % grain)
    gui = [[c for c in cs if c is not None] for cs in
           in_turns(n, [lambda q=q: gui_slider_cpu(module_dir, q, seconds)
                        for q in (False, quiet[1])])]
    if not gui[0]:
        print("| in Pd's window | | | not measured: no Xvfb, or Pd's GUI did not start on it |")
    else:
        print("| console as it is, in Pd's window (Pd and its GUI on Xvfb) | default | %.0f "
              "| %.2f %% |" % (loud[2], mean(gui[0])))
        if quiet[1] and gui[1]:
            g = mean(gui[1])
            print("| `verbose 0`, in Pd's window | default | %.0f | %.2f %%%s |" %
                  (quiet[2], g, " (as it is / quiet: %.2f)" % (mean(gui[0]) / g) if g else ""))
    if a.jack:
        print()
        rows = jack_round_trips(module_dir, rounds, n)
        if rows is None:
            print("JACK: jackd is missing or did not start with its dummy driver")
        else:
            print("| Veltrix on JACK's dummy driver, 64-sample blocks | round trip median (ms) "
                  "| p95 | max | lost |")
            print("|---|---|---|---|---|")
            for setting, got, lost in rows:
                print("| `%s` | %s | %s | %s | %d |" % ((setting,) + stats(got) + (lost,)))


if __name__ == "__main__":
    main()
