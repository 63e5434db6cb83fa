#!/usr/bin/python3
"""Makes the benchmark table from Google Benchmark JSON files.

Every repetition of every run counts; each figure is the median of them.
The ratio is the baseline's cost over ours: above 1, ours is cheaper.
"""
import csv
import json
import statistics
import sys

# figure, benchmark, what is read from it, unit, whether the baseline differs
ROWS = [
    ("a. idle board tick", "a_idle_tick", "time", "us", True),
    ("a'. board tick with one frame waiting", "a_tick_one_frame", "time", "us", True),
    ("b. burst of 10000 frames, per frame", "b_burst_drain", "per_item", "us", True),
    ("b. burst of 10000 frames, rate", "b_burst_drain", "rate", "frames/s", True),
    ("c. decoder throughput", "c_decode", "bytes", "MB/s", False),
    ("d. dispatch, 512 receivers (1 matching), per frame",
     "d_dispatch/receivers:512/matching:1", "per_item", "us", False),
    ("d. dispatch, 512 receivers (8 matching), per frame",
     "d_dispatch/receivers:512/matching:8", "per_item", "us", False),
    ("d. dispatch, 1 receiver (reference), per frame",
     "d_dispatch/receivers:1/matching:1", "per_item", "us", False),
    ("e. one float to 8 boards", "e_send_8_boards", "time", "us", True),
    ("e'. the same frame, one write per board", "e_one_write_8_boards", "time", "us", True),
    ("g. ports message on this machine", "g_ports", "time", "us", False),
    ("h. usb: name resolved on this machine", "h_usb_resolve", "time", "us", False),
]
# Boards streaming at a line rate for 2 s, polled every 100 ms or every 1 ms
# of real time.
for _label, _args in (
        (f"{_boards} at {_rate}{_poll}", f"baud:{_baud}/boards:{_n}/poll:{_ms}")
        for _ms, _poll in ((100, ""), (1, ", poll 1"))
        for _baud, _n, _boards, _rate in ((115200, 1, "1 board", "115200 baud"),
                                          (1000000, 1, "1 board", "1 Mbaud"),
                                          (115200, 8, "8 boards", "115200 baud"))):
    _name = f"f_stream/{_args}/iterations:1"
    ROWS += [
        (f"f. {_label}, frames lost or out of order", _name, "counter:lost+out_of_order",
         "frames", True),
        (f"f. {_label}, most bytes waiting", _name, "counter:waiting", "bytes", True),
        (f"f. {_label}, scheduler time in polls", _name, "counter:busy", "%", True),
    ]

TO_US = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}


def value(b, kind):
    if kind == "time":
        return b["real_time"] * TO_US[b["time_unit"]]
    if kind == "per_item":
        return 1e6 / b["items_per_second"]
    if kind == "rate":
        return b["items_per_second"]
    if kind == "bytes":
        return b["bytes_per_second"] / 1e6
    if kind.startswith("counter:"):
        return sum(b[c] for c in kind[len("counter:"):].split("+"))
    raise ValueError(kind)


def collect(files):
    """{backend: {benchmark name: [runs]}}; the backend is the file's prefix."""
    found = {}
    for path in files:
        backend = path.rsplit("/", 1)[-1].split("-", 1)[0]
        with open(path) as f:
            data = json.load(f)
        for b in data.get("benchmarks", []):
            if b.get("run_type", "iteration") != "iteration" or b.get("error_occurred"):
                continue
            name = b.get("run_name", b["name"]).removesuffix("/real_time")
            found.setdefault(backend, {}).setdefault(name, []).append(b)
    return found


def fmt(x):
    if x is None:
        return "-"
    if x >= 1000:
        return f"{x:,.0f}"
    if x >= 10:
        return f"{x:.1f}"
    return f"{x:.3g}" if x >= 0.01 else f"{x:.2g}"


def main():
    out_csv, files = sys.argv[1], sys.argv[2:]
    found = collect(files)
    table = []
    for figure, name, kind, unit, differs in ROWS:
        ours_runs = found.get("ours", {}).get(name) or found.get("memory", {}).get(name)
        if not ours_runs:
            continue
        ours = statistics.median(value(b, kind) for b in ours_runs)
        note = f"median of {len(ours_runs)}"
        base = None
        if differs:
            base_runs = found.get("baseline", {}).get(name)
            if base_runs:
                base = statistics.median(value(b, kind) for b in base_runs)
        else:
            base = ours
            note += "; no port involved: the baseline runs the same code"
        ratio = None
        if base is not None and ours > 0 and base > 0:
            ratio = ours / base if kind in ("rate", "bytes") else base / ours
        table.append((figure, unit, ours, base, ratio, note))

    with open(out_csv, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["figure", "unit", "ours", "baseline", "ratio_baseline_over_ours", "note"])
        for figure, unit, ours, base, ratio, note in table:
            w.writerow([figure, unit, f"{ours:.6g}", "" if base is None else f"{base:.6g}",
                        "" if ratio is None else f"{ratio:.3g}", note])

    head = ("figure", "unit", "ours", "baseline", "ratio")
    rows = [(t[0], t[1], fmt(t[2]), fmt(t[3]), "-" if t[4] is None else f"{t[4]:.2f}")
            for t in table]
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    line = lambda r: "| " + " | ".join(
        c.ljust(w) if i < 2 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths))) + " |"
    print(line(head))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))
    print()
    print("ratio: the baseline's cost over ours (for rates, our rate over the baseline's);")
    print("above 1, ours is cheaper. c, d and f touch no port: the baseline runs the same code.")


if __name__ == "__main__":
    main()
