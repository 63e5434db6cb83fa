#!/usr/bin/python3
"""Reads a soak run's console and the boards' summaries; prints the report.

  soak_report.py PD_CONSOLE BOARDS COUNT RECEIVERS_PER_TAG BOARD_STDERR...

Exit status 1 when a frame was lost, came out of order or twice, or did not
reach every receiver of its tag.
"""
import re
import statistics
import sys

SEQ = re.compile(r"^soak-seq: (\S+) (\S+) (\S+) (\S+) (\S+) (\S+) (\S+) (\S+)\s*$")
GAP = re.compile(r"^soak-gap: (\S+)\s*$")
SUMMARY = re.compile(r"sequence seq(\d+): (\d+) frames in ([\d.]+) s")


def main():
    console, boards, count, per_tag = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), \
        int(sys.argv[4])
    reports = {i: [] for i in range(boards)}  # per board: (received, ooo, gaps, deliveries)
    gaps = []
    with open(console, errors="replace") as f:
        for line in f:
            m = SEQ.match(line)
            if m:
                v = [float(x) for x in m.groups()]
                i = int(v[0])
                if i in reports:
                    reports[i].append((int(v[1] * 1000 + v[2]), int(v[3]),
                                       int(v[4] * 1000 + v[5]), int(v[6] * 1000000 + v[7])))
                continue
            m = GAP.match(line)
            if m:
                gaps.append(float(m.group(1)))

    sent = {}
    seconds = {}
    for path in sys.argv[5:]:
        with open(path, errors="replace") as f:
            for m in SUMMARY.finditer(f.read()):
                sent[int(m.group(1))] = int(m.group(2))
                seconds[int(m.group(1))] = float(m.group(3))

    ok = True
    totals = dict(sent=0, received=0, lost=0, ooo=0)
    print(f"{'board':>5} {'sent':>9} {'received':>9} {'lost':>6} {'out of order':>12} "
          f"{'frames/s':>9}")
    for i in range(boards):
        last = reports[i][-1] if reports[i] else (0, 0, 0, 0)
        received, ooo, _, deliveries = last
        n = sent.get(i, count)
        lost = n - (received - ooo)  # every value not seen in order, trailing ones included
        rate = n / seconds[i] if i in seconds and seconds[i] > 0 else 0
        print(f"{i:>5} {n:>9} {received:>9} {lost:>6} {ooo:>12} {rate:>9.0f}"
              + ("" if i in sent else "   (the board did not finish)"))
        if deliveries != received * per_tag:
            print(f"      board {i}: {deliveries} deliveries to {per_tag} receivers, "
                  f"expected {received * per_tag}")
            ok = False
        if lost or ooo or i not in sent:
            ok = False
        totals["sent"] += n
        totals["received"] += received
        totals["lost"] += lost
        totals["ooo"] += ooo

    # A report window streamed when a count moved in it; the others are the
    # scheduler's idle reference.
    streaming = []
    idle = []
    for k, g in enumerate(gaps):
        moved = any(k < len(r) and r[k][0] != (r[k - 1][0] if k else 0) for r in reports.values())
        (streaming if moved else idle).append(g)
    span = max(seconds.values()) if seconds else 0
    print()
    print(f"frames sent {totals['sent']}, received {totals['received']}, lost {totals['lost']}, "
          f"out of order {totals['ooo']}")
    if span:
        print(f"rate: {totals['sent'] / span:.0f} frames/s over {span:.2f} s"
              f" ({boards} board{'s' if boards > 1 else ''}, {per_tag} receiver"
              f"{'s' if per_tag > 1 else ''} per tag)")
    if streaming:
        print(f"longest scheduler gap while streaming: {max(streaming):.1f} ms "
              f"(median of the per-second maxima {statistics.median(streaming):.1f} ms)")
    if idle:
        print(f"scheduler gap while idle: median {statistics.median(idle):.1f} ms, "
              f"longest {max(idle):.1f} ms ({len(idle)} s)")
    print("PASS" if ok else "FAIL")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
