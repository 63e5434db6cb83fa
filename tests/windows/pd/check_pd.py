#!/usr/bin/env python3
"""The module in Pd for Windows (pd.com under wine), with a board on a COM port.

    check_pd.py --label L --pd PD.COM --path DIR --work DIR [--board EXE
        --link PATH --port COMn] [--refuse setup|load] [--double] -- WINE...

WINE... runs a Windows program (wine64, or 32-bit wine under qemu). DIR is
the folder Pd searches (-path), holding the module under a name this Pd
tries. Pd's output goes to a file: wine's helpers would hold a pipe open.

The patch has only a dispatcher: Pd connects to this script over TCP, and
every message "NAME ARGS" the script sends goes to the receiver NAME, so the
script drives Pd as a user would and reads what Pd posts. The board is
veltrix-board on a pseudo-terminal behind PATH, which the prefix maps to
COMn.

Without --refuse: the module loads and sets up; a board, a sender and a
receiver are created; values cross both ways byte for byte; `poll 1`;
`ports` lists COMn; a device that stops reading (floats come back within the
bound, each with its failure line, and go through once it reads again); a
pulled cable (the closing line, the retries, values again); Pd quits cleanly.

--refuse setup: Pd loads the module, whose class Pd refuses (the other float
size). --refuse load: Pd cannot load the file at all (the other width).

Prints PASS/FAIL lines; exits 1 on a failure.
"""
import argparse
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True  # nothing left in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from pty_queue import fill_output_queue  # noqa: E402

WAIT = 30.0  # seconds for anything Pd should do; qemu is slow, nothing is timed


class Checks:
    def __init__(self, label):
        self.label = label
        self.failed = 0

    def check(self, ok, what, detail=""):
        print(f"{'PASS' if ok else 'FAIL'} {self.label}: {what}" +
              ("" if ok or not detail else f"\n    {detail}"), flush=True)
        if not ok:
            self.failed += 1
        return ok


class Log:
    """Pd's output, a file that grows; read from a mark onwards."""

    def __init__(self, path, alive=lambda: True):
        self.path = path
        self.alive = alive  # no waiting for a Pd that has ended

    def lines(self):
        try:
            with open(self.path, "rb") as f:
                text = f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return [""]
        return text.replace("\r", "").split("\n")

    def mark(self):
        """The number of whole lines so far."""
        return len(self.lines()) - 1

    def wait(self, pattern, since=0, timeout=WAIT, count=1):
        """The first `count` lines from `since` matching pattern, or None."""
        rx = re.compile(pattern)
        end = time.monotonic() + timeout
        while True:
            alive = self.alive()
            found = [l for l in self.lines()[since:] if rx.search(l)]
            if len(found) >= count:
                return found[:count]
            if time.monotonic() > end or not alive:
                return None
            time.sleep(0.05)

    def find(self, pattern, since=0):
        rx = re.compile(pattern)
        return [l for l in self.lines()[since:] if rx.search(l)]


class Board:
    """veltrix-board on a pseudo-terminal behind `link`."""

    def __init__(self, exe, link, err_path, alive):
        self.link = link
        self.alive = alive  # Pd's
        self.lines = []
        self.cond = threading.Condition()
        self.err = open(err_path, "wb")
        self.proc = subprocess.Popen(
            [exe, "--link", link, "--hex", "--hangup-for", "2"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.err)
        threading.Thread(target=self._read, daemon=True).start()
        end = time.monotonic() + 10
        while not os.path.islink(link) and time.monotonic() < end:
            time.sleep(0.02)

    def _read(self):
        for raw in self.proc.stdout:
            with self.cond:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self.cond.notify_all()

    def say(self, tag, value):
        self.proc.stdin.write(f"{tag} {value}\n".encode())
        self.proc.stdin.flush()

    def mark(self):
        with self.cond:
            return len(self.lines)

    def wait(self, pattern, since=0, timeout=WAIT, count=1):
        rx = re.compile(pattern)
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                found = [l for l in self.lines[since:] if rx.search(l)]
                if len(found) >= count:
                    return found[:count]
                left = end - time.monotonic()
                if left <= 0 or not self.alive():
                    return found
                self.cond.wait(min(left, 0.2))

    def signal(self, sig):
        self.proc.send_signal(sig)

    def fill(self):
        """Fills the output queue of the port's far end through an opening of
        our own, as a device that stopped reading leaves it."""
        return fill_output_queue(os.readlink(self.link))

    def stop(self, out_path):
        with self.cond, open(out_path, "w") as f:
            f.write("\n".join(self.lines) + "\n")
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        self.err.close()


def frame_hex(tag, value):
    data = b"\xaa" + tag.encode() + b"\x00" + struct.pack("<f", value)
    return " ".join(f"{b:02x}" for b in data)


def as_text(value):
    """A float's shortest text that reads back as the same 32-bit float."""
    f32 = struct.unpack("<f", struct.pack("<f", value))[0]
    for digits in range(6, 10):
        text = f"{f32:.{digits}g}"
        if struct.pack("<f", float(text)) == struct.pack("<f", f32):
            return text
    return repr(f32)


def win_path(path):
    return "Z:" + path.replace("/", "\\")


# The dispatcher: "NAME ARGS" from the script goes to the receiver NAME.
# Objects: 0 loadbang, 1 connect, 2 netsend, 3 list, 4 t a a,
# 5 list split 1 (the arguments), 6 list split 1 (the name), 7 list trim,
# 8 send, 9 print.
def patch_text(port, body):
    lines = [
        "#N canvas 0 0 700 500 12;",
        "#X obj 10 10 loadbang;",
        f"#X msg 10 40 connect 127.0.0.1 {port};",
        "#X obj 10 70 netsend;",
        "#X obj 10 100 list;",
        "#X obj 10 130 t a a;",
        "#X obj 10 160 list split 1;",
        "#X obj 150 160 list split 1;",
        "#X obj 10 190 list trim;",
        "#X obj 10 220 send;",
        "#X obj 10 250 print link;",
    ]
    conns = [(0, 0, 1, 0), (1, 0, 2, 0), (2, 1, 3, 0), (3, 0, 4, 0), (4, 0, 5, 0),
             (4, 1, 6, 0), (5, 1, 7, 0), (7, 0, 8, 0), (6, 0, 8, 1), (2, 0, 9, 0)]
    base = 10
    for i, (text, _) in enumerate(body):
        kind = "msg" if text.startswith("msg ") else "obj"
        content = text[4:] if kind == "msg" else text
        lines.append(f"#X {kind} 300 {10 + 30 * i} {content};")
    for i, (_, outs) in enumerate(body):
        for out, (target, inlet) in outs:
            conns.append((base + i, out, base + target, inlet))
    lines += [f"#X connect {a} {b} {c} {d};" for a, b, c, d in conns]
    return "\n".join(lines) + "\n"


class Pd:
    def __init__(self, wine, pd, path, work, body, extra_args=()):
        self.server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(1)
        port = self.server.getsockname()[1]
        self.patch = os.path.join(work, "check.pd")
        with open(self.patch, "w") as f:
            f.write(patch_text(port, body))
        self.log = Log(os.path.join(work, "pd.log"), self.alive)
        self.out = open(self.log.path, "wb")
        cmd = list(wine) + [pd, "-nogui", "-stderr", "-noaudio", "-nomidi", "-noprefs",
                            "-verbose", *extra_args, "-path", win_path(path),
                            "-open", win_path(self.patch)]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=self.out,
                                     stderr=subprocess.STDOUT)
        self.conn = None

    def alive(self):
        return self.proc.poll() is None

    def connect(self, timeout=120):
        self.server.settimeout(1)
        end = time.monotonic() + timeout
        while time.monotonic() < end and self.alive():
            try:
                self.conn, _ = self.server.accept()
                return True
            except socket.timeout:
                pass
        return False

    def send(self, *words):
        self.conn.sendall((" ".join(str(w) for w in words) + ";\n").encode())

    def quit(self, timeout=60):
        try:
            if self.conn:
                self.send("pd", "quit")
            return self.proc.wait(timeout)
        except (subprocess.TimeoutExpired, OSError):
            self.proc.kill()
            self.proc.wait()
            return None
        finally:
            self.out.close()
            self.server.close()


# The patch around the module. Index, then (outlet, (object, inlet)) pairs.
BODY = [
    ("r board", [(0, (1, 0))]),                 # 0
    ("Veltrix open {port}", []),                # 1
    ("r tx", [(0, (3, 0))]),                    # 2
    ("Veltrix send led", []),                   # 3
    ("Veltrix receive knob", [(0, (5, 0))]),    # 4
    ("t f f", [(0, (6, 0)), (1, (7, 0))]),      # 5
    ("print rx-knob", []),                      # 6
    ("Veltrix send back", []),                  # 7
    # A float sent with the time it held Pd, by Pd's own clock.
    ("r timed", [(0, (9, 0))]),                 # 8
    ("t b f b", [(0, (10, 1)), (1, (3, 0)), (2, (10, 0))]),  # 9
    ("realtime", [(0, (11, 0))]),               # 10
    ("print took", []),                         # 11
]


def full(args, c):
    body = [(t.format(port=args.port), o) for t, o in BODY]
    pd = None
    board = Board(args.board, args.link, os.path.join(args.work, "board.err"),
                  lambda: pd is None or pd.alive())
    pd = Pd(args.wine, args.pd, args.path, args.work, body)
    log = pd.log
    try:
        if not c.check(pd.connect(), "Pd starts and opens the patch",
                       "\n    ".join(log.lines()[-15:])):
            return
        port = args.port
        # Loading and setup: the file this Pd tries first for the module.
        # The module's file, not the patch in a folder that may be called Veltrix.
        loaded = log.wait(r"tried .*[/\\]Veltrix\.[^/\\]* and succeeded", timeout=5)
        setup = log.find(r"^Veltrix_setup ")
        c.check(bool(loaded) and loaded[0].endswith(args.expect + " and succeeded") and
                setup == ["Veltrix_setup start", "Veltrix_setup end"],
                f"loads {args.expect} and sets up",
                f"loaded: {loaded}, setup lines: {setup}")
        if loaded:
            print(f"NOTE {args.label}: {loaded[0]}", flush=True)  # Pd's own word on the file
        made = [re.sub(r" \S+$", "", l) for l in log.find(r"^Veltrix_new '")]
        c.check(made == ["Veltrix_new 'open'", "Veltrix_new 'send'", "Veltrix_new 'receive'",
                         "Veltrix_new 'send'"]
                and not log.find("couldn't create"),
                "creates a board, senders and a receiver", f"creation lines: {made}")
        connected = log.wait(rf"^Veltrix_tick \S+ connected {port} ok!")
        c.check(bool(connected), f"the board connects to {port}",
                "\n    ".join(log.find(r"^Veltrix_tick")[-5:]))
        if not connected:
            return

        # Pd to the board: exact bytes, 0xAA inside a value included.
        values = [1.5, -0.1, 1.33333325, 3.40282347e38, 1e-45]
        mark = board.mark()
        for v in values:
            pd.send("tx", as_text(v))
        got = board.wait(r"^led ", mark, count=len(values))
        want = [f"[{frame_hex('led', v)}]" for v in values]
        c.check([g[g.find("["):] for g in got] == want, "values from Pd reach the board byte for byte",
                f"board got {got}, wanted {want}")

        # The board to Pd and back: a receiver's value, sent on, is the
        # board's own bytes.
        def round_trip(values):
            mark, pd_mark = board.mark(), log.mark()
            for v in values:
                board.say("knob", as_text(v))
            got = board.wait(r"^back ", mark, count=len(values))
            want = [f"[{frame_hex('back', v)}]" for v in values]
            printed = log.wait(r"^rx-knob: ", pd_mark, count=len(values), timeout=5) or []
            ok = [g[g.find("["):] for g in got] == want and len(printed) == len(values)
            return ok, f"board got back {got}, wanted {want}; Pd printed {printed}"

        ok, detail = round_trip([0.1, 1.33333325, -2.5e-3])
        c.check(ok, "values from the board reach Pd byte for byte", detail)

        mark = log.mark()
        pd.send("board", "poll", 1)
        polled = log.wait(rf"^Veltrix_poll \S+ {port} every 1 ms$", mark)
        ok, detail = round_trip([7])
        c.check(bool(polled) and ok, "poll 1 is taken, values still cross",
                "\n    ".join(log.lines()[mark:][-5:]) + "\n    " + detail)

        mark = log.mark()
        pd.send("board", "ports")
        listed = log.wait(rf"^Veltrix_ports {port}: ", mark)
        c.check(bool(listed), f"ports lists {port}",
                "\n    ".join(log.find(r"^Veltrix_ports", mark)))

        # A device that stops reading, its queue full: each float comes back
        # within the bound with its line, then goes through once it reads.
        board.signal(signal.SIGSTOP)
        queued = board.fill()
        mark = log.mark()
        for v in (11, 12, 13):
            pd.send("timed", v)
        failed = log.wait(rf"^Veltrix_send_float WriteFile\({port}, start\) failed", mark, count=3)
        took = [float(l.split()[-1]) for l in log.wait(r"^took: ", mark, count=3) or []]
        board.signal(signal.SIGCONT)
        # Generous: a write that waited for the device would hold Pd until
        # SIGCONT; the bound is 5 ms.
        c.check(bool(failed) and len(took) == 3 and max(took) < 250,
                f"a device that stops reading: 3 floats fail with their lines ({queued} bytes "
                f"queued; held Pd {', '.join(f'{t:g}' for t in took)} ms)",
                "\n    ".join(log.lines()[mark:][-10:]))
        # The queue drains; the next float goes through (tries a second apart,
        # as the device may still be draining).
        mark = board.mark()
        for _ in range(10):
            pd.send("tx", 14)
            if board.wait(r"^led 14 ", mark, timeout=1):
                break
        c.check(bool(board.wait(r"^led 14 ", mark, timeout=1)),
                "the device reads again: floats go through")

        # The cable pulled for two seconds, and put back.
        mark = log.mark()
        board.signal(signal.SIGUSR1)
        closed = log.wait(rf"^Veltrix_tick \S+ ReadFile\({port}\) failed, closing connection$", mark)
        retried = log.wait(rf"^Veltrix_tick \S+ (CreateFile|GetCommState)\({port}\) failed$", mark)
        back = log.wait(rf"^Veltrix_tick \S+ connected {port} ok!$", mark)
        again, detail = round_trip([9.25]) if back else (False, "")
        c.check(bool(closed and retried and back and again),
                "a pulled cable: closing line, retries, connected again, values again",
                "\n    ".join(log.find(r"^Veltrix_tick", mark)[-8:]) + "\n    " + detail)
    finally:
        status = pd.quit()
        board.stop(os.path.join(args.work, "board.out"))
        c.check(status == 0, f"Pd quits cleanly (status {status})",
                "\n    ".join(log.lines()[-10:]))


def refuse(args, c):
    body = [("Veltrix send probe", [])]
    pd = Pd(args.wine, args.pd, args.path, args.work, body)
    log = pd.log
    ok = pd.connect()
    status = pd.quit()
    setup = log.find(r"^Veltrix_setup ")
    refused = bool(log.find(r"\.\.\. couldn't create$"))
    if args.refuse == "setup":
        c.check(ok and status == 0 and refused and
                setup == ["Veltrix_setup start", "Veltrix_setup class_new failed"],
                f"refuses the module of the other float size ({args.expect})",
                f"setup lines {setup}, status {status}")
    else:
        # Windows' own refusal: ERROR_BAD_EXE_FORMAT, its number on a line
        # of its own after the message.
        lines = log.lines()
        failed = [i for i, l in enumerate(lines[:-1]) if l.startswith("error: ") and
                  ("\\" + args.expect + ": ") in l and
                  lines[i + 1].strip() == "(193)"]
        c.check(ok and status == 0 and refused and not setup and bool(failed),
                f"cannot load the module of the other width ({args.expect})",
                "\n    ".join([l for l in log.lines() if "Veltrix" in l][:8]))


def pd_arguments():
    """What every script that runs one Pd under wine is given: a label for its
    lines, the Pd, the folder Pd searches, a work folder, and the wine
    command line."""
    p = argparse.ArgumentParser()
    p.add_argument("--label", required=True)
    p.add_argument("--pd", required=True)
    p.add_argument("--path", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("wine", nargs="+")
    return p


def main():
    p = pd_arguments()
    p.add_argument("--expect", required=True, help="the module file Pd should take")
    p.add_argument("--board")
    p.add_argument("--link")
    p.add_argument("--port", default="COM9")
    p.add_argument("--refuse", choices=["setup", "load"])
    args = p.parse_args()
    os.makedirs(args.work, exist_ok=True)
    c = Checks(args.label)
    start = time.monotonic()
    (refuse if args.refuse else full)(args, c)
    print(f"NOTE {args.label}: {time.monotonic() - start:.1f} s", flush=True)
    sys.exit(1 if c.failed else 0)


if __name__ == "__main__":
    main()
