#!/usr/bin/env python3
"""Round trips and idle CPU in Pd for Windows (pd.com under wine), with
boards on COM ports that the prefix maps to pseudo-terminals.

    bench_pd.py --label L --pd PD.COM --path DIR --work DIR --links L1,...,L8
        [--first N] [--server PID] [--rounds R] [--seconds S] -- WINE...

COMn (n from N, default 31) opens the link Ln, which this script points at a
pseudo-terminal of its own. For Veltrix at its default poll, `poll 1` and
`poll 0`, with Pd's default sleep grain and with -sleepgrain 1: the round
trips of live/bench_peer.py (a board writes `ping`, the patch's
[Veltrix receive ping] into [Veltrix send pong] echoes it; R rounds at
random spacing), then Pd's CPU with eight idle boards over S seconds, and
that of wine's server (PID) beside it; then Pd with no board. The setting
goes to the boards through check_pd.py's dispatcher, and the row shows the
interval Veltrix itself reported.
"""
import os
import re
import sys
import time

sys.dont_write_bytecode = True  # nothing left in the source tree
here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(here, "..", "live"),
                os.path.join(here, "..", "..", "tests", "windows", "pd")]
import check_pd  # noqa: E402
from bench_live import Pty  # noqa: E402
from bench_peer import GRAINS, ROWS, echo_rounds, stats, tree_cpu_seconds  # noqa: E402


class Boards:
    """Pd for Windows with `count` boards, each on a pseudo-terminal behind
    its link, the first with the echo; `setting` sent to them all."""

    def __init__(self, a, count, setting, flags, echo=False):
        self.ptys = [Pty() for _ in range(count)]
        for pty, link in zip(self.ptys, a.links):
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(pty.slave, link)
        body = [("r board", [(0, (1 + k, 0)) for k in range(count)])]
        body += [("Veltrix open COM%d" % (a.first + k), []) for k in range(count)]
        if echo:
            body += [("Veltrix receive ping", [(0, (len(body) + 1, 0))]), ("Veltrix send pong", [])]
        self.pd = check_pd.Pd(a.wine, a.pd, a.path, a.work, body, flags)
        self.polled = "-"
        try:
            if not self.pd.connect():
                raise RuntimeError("Pd did not start:\n" + "\n".join(self.pd.log.lines()[-15:]))
            log = self.pd.log
            if log.wait(r"^Veltrix_tick \S+ connected COM\d+ ok!$", count=count) is None:
                raise RuntimeError("the boards did not connect:\n" + "\n".join(log.lines()[-15:]))
            if setting:
                mark = log.mark()
                self.pd.send("board", setting)
                said = log.wait(r"^Veltrix_poll \S+ COM\d+ ", mark, count=count)
                self.polled = re.sub(r"^Veltrix_poll \S+ COM\d+ ", "", said[0]) if said else "?"
        except BaseException:
            self.stop()
            raise

    def stop(self):
        self.pd.quit(timeout=20)
        for pty in self.ptys:
            pty.close()


def cpu_seconds(pid):
    return tree_cpu_seconds(pid)[0] if pid else 0.0


def idle_cpu(a, count, setting, flags):
    """Pd's CPU and the wine server's, % of one core, with `count` idle boards."""
    boards = Boards(a, count, setting, flags)
    try:
        time.sleep(2)
        pid = boards.pd.proc.pid
        c0, s0, t0 = cpu_seconds(pid), cpu_seconds(a.server), time.monotonic()
        time.sleep(a.seconds)
        t = time.monotonic() - t0
        return 100 * (cpu_seconds(pid) - c0) / t, 100 * (cpu_seconds(a.server) - s0) / t
    finally:
        boards.stop()


def main():
    p = check_pd.pd_arguments()
    p.add_argument("--links", required=True, type=lambda s: s.split(","))
    p.add_argument("--first", type=int, default=31)
    p.add_argument("--server", type=int, help="wine's server, whose CPU is shown beside Pd's")
    p.add_argument("--rounds", type=int, default=200)
    p.add_argument("--seconds", type=float, default=10)
    a = p.parse_args()
    os.makedirs(a.work, exist_ok=True)
    print("%s: %d rounds a row, CPU over %g s (%% of one core); load average %s" %
          (a.label, a.rounds, a.seconds, " ".join(open("/proc/loadavg").read().split()[:3])))
    print()
    print("| setting | Pd's sleep grain | Veltrix polls | round trip median (ms) | p95 | max "
          "| lost | Pd's CPU, 8 idle boards | wineserver's |")
    print("|---|---|---|---|---|---|---|---|---|")
    for flags, grain in GRAINS:
        for _, setting, name in (r for r in ROWS if r[0] == "Veltrix"):
            boards = Boards(a, 1, setting, flags, echo=True)
            try:
                got, lost = echo_rounds(boards.ptys[0], "Veltrix", a.rounds)
            finally:
                boards.stop()
            polled = boards.polled if setting else "every 100 ms"
            cpu = idle_cpu(a, 8, setting, flags)
            print("| %s | %s | %s | %s | %s | %s | %d | %.1f %% | %.1f %% |" %
                  ((name, grain, polled) + stats(got) + (lost,) + cpu), flush=True)
        print("| Pd alone | %s | | | | | | %.1f %% | %.1f %% |" %
              ((grain,) + idle_cpu(a, 0, None, flags)), flush=True)


if __name__ == "__main__":
    main()
