#!/usr/bin/python3
"""Writes the soak patches into this folder. Run again after changing it.

soak1.pd   one board "board0" streaming tag seq0 into one receiver.
soak8.pd   boards board0..board7, tags seq0..seq7, 64 receivers per tag.
           Both pass what [s soak-board] gets to every board.
seqcheck.pd      checks one receiver's sequence; counts all deliveries.
receivers64.pd   64 receivers of tag $1, checked by [seqcheck $2].
schedgap.pd      the longest real time between two ticks of [metro 1].

Port names are relative: pd runs in the folder that holds the boards' links.
Every second [s soak-report] makes each checker print
  soak-seq: index received/1000 received%1000 out-of-order gaps/1000 gaps%1000
            deliveries/1000000 deliveries%1000000
and the gap meter print "soak-gap: ms" (the longest gap since the last
report). Counts are split: Pd prints six significant digits, and its 32-bit
floats count one by one only up to 2^24.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def patch(objects, connections, size="600 400"):
    lines = [f"#N canvas 0 0 {size} 12;"]
    for i, text in enumerate(objects):
        kind = "msg" if text.startswith("msg ") else "obj"
        text = text[4:] if kind == "msg" else text
        text = text.replace("$", "\\$")  # a patch file escapes its dollar signs
        lines.append(f"#X {kind} {10 + 160 * (i % 5)} {10 + 30 * (i // 5)} {text};")
    for a, ao, b, bi in connections:
        lines.append(f"#X connect {a} {ao} {b} {bi};")
    return "\n".join(lines) + "\n"


def seqcheck():
    o = [
        "inlet",  # 0 values of the checked receiver
        "t f f b",  # 1
        "+ 1",  # 2
        "max",  # 3 next value expected
        "t f f",  # 4
        "-",  # 5 value - expected
        "moses 0",  # 6
        "t b",  # 7 out of order
        "f",  # 8
        "+ 1",  # 9
        "+",  # 10 sum of gaps
        "t f f",  # 11
        "f",  # 12 received
        "+ 1",  # 13
        "inlet",  # 14 values of every receiver of the tag
        "t b",  # 15
        "f",  # 16 deliveries modulo a million: 64 receivers pass 2^24 soon
        "+ 1",  # 17
        "r soak-report",  # 18
        "f",  # 19 received, for the report
        "f",  # 20 gaps
        "f",  # 21 deliveries modulo a million
        "f",  # 22 out of order
        "t b b b b b",  # 23
        "f $1",  # 24
        "t f f",  # 25
        "div 1000",  # 26
        "mod 1000",  # 27
        "t f f",  # 28
        "div 1000",  # 29
        "mod 1000",  # 30
        "t b b",  # 31
        "moses 1000000",  # 32
        "t b b",  # 33 a million more deliveries
        "pack f f f f f f f f",  # 34
        "print soak-seq",  # 35
        "msg 0",  # 36
        "f",  # 37 millions of deliveries
        "+ 1",  # 38
        "f",  # 39 millions of deliveries, for the report
    ]
    c = [
        (0, 0, 1, 0),
        # received
        (1, 2, 12, 0), (12, 0, 13, 0), (13, 0, 12, 1), (13, 0, 19, 1),
        # compared with the value expected, before that moves on
        (1, 1, 5, 0), (5, 0, 6, 0),
        (6, 0, 7, 0), (7, 0, 8, 0), (8, 0, 9, 0), (9, 0, 8, 1), (9, 0, 22, 1),
        (6, 1, 10, 0), (10, 0, 11, 0), (11, 0, 10, 1), (11, 1, 20, 1),
        # expected = max(expected, value + 1)
        (1, 0, 2, 0), (2, 0, 3, 0), (3, 0, 4, 0), (4, 0, 3, 1), (4, 1, 5, 1),
        # deliveries, carried into millions
        (14, 0, 15, 0), (15, 0, 16, 0), (16, 0, 17, 0), (17, 0, 32, 0),
        (32, 0, 16, 1), (32, 0, 21, 1),
        (32, 1, 33, 0), (33, 1, 36, 0), (36, 0, 16, 1), (36, 0, 21, 1),
        (33, 0, 37, 0), (37, 0, 38, 0), (38, 0, 37, 1), (38, 0, 39, 1),
        # the report, right to left into the pack, its left inlet last
        (18, 0, 23, 0),
        (23, 4, 22, 0), (22, 0, 34, 3),
        (23, 3, 31, 0), (31, 1, 21, 0), (21, 0, 34, 7), (31, 0, 39, 0), (39, 0, 34, 6),
        (23, 2, 20, 0), (20, 0, 28, 0), (28, 1, 30, 0), (30, 0, 34, 5), (28, 0, 29, 0),
        (29, 0, 34, 4),
        (23, 1, 19, 0), (19, 0, 25, 0), (25, 1, 27, 0), (27, 0, 34, 2), (25, 0, 26, 0),
        (26, 0, 34, 1),
        (23, 0, 24, 0), (24, 0, 34, 0),
        (34, 0, 35, 0),
    ]
    return patch(o, c)


def schedgap():
    o = [
        "loadbang",  # 0
        "metro 1",  # 1
        "t b b",  # 2
        "realtime",  # 3
        "max",  # 4 longest gap of this report
        "t f f",  # 5
        "f",  # 6
        "r soak-report",  # 7
        "t b b",  # 8
        "msg 0",  # 9
        "print soak-gap",  # 10
    ]
    c = [
        (0, 0, 1, 0), (1, 0, 2, 0),
        # time since the last tick, then a new start
        (2, 1, 3, 1), (2, 0, 3, 0),
        (3, 0, 4, 0), (4, 0, 5, 0), (5, 0, 4, 1), (5, 1, 6, 1),
        (7, 0, 8, 0), (8, 1, 6, 0), (6, 0, 10, 0), (8, 0, 9, 0), (9, 0, 4, 1), (9, 0, 6, 1),
    ]
    return patch(o, c)


def receivers64():
    o = ["Veltrix receive $1"] * 64 + ["seqcheck $2"]
    c = [(0, 0, 64, 0)] + [(i, 0, 64, 1) for i in range(64)]
    return patch(o, c, "900 500")


def main_patch(boards, per_tag):
    o = ["loadbang", "metro 1000", "s soak-report", "schedgap", "r soak-board"]
    o += [f"Veltrix open board{i}" for i in range(boards)]
    c = [(0, 0, 1, 0), (1, 0, 2, 0)] + [(4, 0, 5 + i, 0) for i in range(boards)]
    for i in range(boards):
        if per_tag == 1:
            r = len(o)
            o += [f"Veltrix receive seq{i}", f"seqcheck {i}"]
            c += [(r, 0, r + 1, 0), (r, 0, r + 1, 1)]
        else:
            o.append(f"receivers64 seq{i} {i}")
    return patch(o, c, "900 500")


def main():
    files = {
        "seqcheck.pd": seqcheck(),
        "schedgap.pd": schedgap(),
        "receivers64.pd": receivers64(),
        "soak1.pd": main_patch(1, 1),
        "soak8.pd": main_patch(8, 64),
    }
    for name, text in files.items():
        with open(os.path.join(HERE, name), "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
