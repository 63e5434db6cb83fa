#!/usr/bin/env python3
"""The Python board library on emulated micro:bits (qemu's microbit machine
with Debian's micro:bit MicroPython 1.9.2) against the module in a real
pd -nogui, each micro:bit on its own pseudo-terminal.

    microbit_loop.py MODULE_DIR

One micro:bit runs examples/echo.py, the other
examples/microbit_tilt_leds.py, each written as main.py beside veltrix.py
through MicroPython's raw prompt (Ctrl-A, the text, Ctrl-D) and run by a
reset.
Checks: a NaN that would hang MicroPython there comes back as a NaN; in Pd,
values both ways exact to the bit (printed with %.9g); frames whose value
holds 0x03 and 0x04 (Ctrl-C and Ctrl-D at the prompt) leave both programs
running; Pd closing and opening the echo's port again. Prints the library's
size, the micro:bit's free memory before and after importing it, and what
Pd printed. Ends with "microbit_loop: N passed, M failed".
"""
import os
import re
import select
import socket
import struct
import subprocess
import sys
import time
import tty

sys.dont_write_bytecode = True
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [os.path.join(ROOT, "bench", "live"), os.path.join(ROOT, "tests", "campaign")]
import bench_live  # noqa: E402  (the Pd process)
from campaign import free_port  # noqa: E402

LIB = os.path.join(ROOT, "device", "python")
FIRMWARE = "/usr/share/firmware-microbit-micropython/firmware.hex"
PROMPT = b"raw REPL; CTRL-B to exit\r\n>"
results = [0, 0]


def check(ok, text):
    results[0 if ok else 1] += 1
    print(("PASS " if ok else "FAIL ") + text, flush=True)
    return ok


class Microbit:
    def __init__(self):
        self.proc = subprocess.Popen(
            ["qemu-system-arm", "-M", "microbit", "-display", "none", "-monitor", "none",
             "-device", "loader,file=" + FIRMWARE, "-serial", "pty"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        line = self.proc.stdout.readline().decode()
        self.pty = re.search(r"/dev/pts/\d+", line).group(0)
        self.fd = os.open(self.pty, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.got = b""
        # qemu drops what the board writes until it sees the terminal open,
        # which it looks for once a second: ask until the prompt comes.
        for attempt in range(10):
            os.write(self.fd, b"\r\x03")
            try:
                self.until(b">>> ", 1)
                break
            except TimeoutError:
                pass
        os.write(self.fd, b"\x01")
        self.until(PROMPT)

    def until(self, marker, timeout=10):
        """What arrives before marker, or its first marker bytes when marker
        is a count; what comes after stays."""
        end = time.monotonic() + timeout
        while (len(self.got) < marker) if isinstance(marker, int) else (marker not in self.got):
            left = end - time.monotonic()
            if left <= 0:
                raise TimeoutError("micro:bit: no %r after %r" % (marker, self.got[-300:]))
            if select.select([self.fd], [], [], left)[0]:
                self.got += os.read(self.fd, 4096)
        if isinstance(marker, int):
            before, self.got = self.got[:marker], self.got[marker:]
            return before
        before, _, self.got = self.got.partition(marker)
        return before

    def run(self, code):
        """Runs code at the raw prompt, and returns its output. Each piece is
        short: the board drops what passes the 63 bytes it holds unread."""
        assert len(code) < 63
        os.write(self.fd, code.encode() + b"\x04")
        self.until(b"OK")
        out, err = self.until(b"\x04"), self.until(b"\x04>")
        if err:
            raise RuntimeError("micro:bit: " + err.decode(errors="replace"))
        return out.decode()

    def put(self, name, text):
        self.run("f = open(%r, 'w')" % name)
        i = 0
        while i < len(text):
            n = 40
            while len(repr(text[i:i + n])) > 48:
                n -= 8
            self.run("f.write(%r)" % text[i:i + n])
            i += n
        self.run("f.close()")

    def load(self, program):
        """veltrix.py and program, as main.py, into its filesystem, then a
        reset that runs main.py; returns the free memory before and after
        importing veltrix."""
        self.put("veltrix.py", open(os.path.join(LIB, "veltrix.py")).read())
        os.write(self.fd, b"\x04")  # a soft reset: a clean heap to measure
        self.until(PROMPT)
        free = self.run("import gc; gc.collect(); m = gc.mem_free()")
        free += self.run("import veltrix; gc.collect(); print(m, gc.mem_free())")
        self.put("main.py", open(os.path.join(LIB, "examples", program)).read())
        os.write(self.fd, b"\x02\x04")  # the prompt again, and a reset
        self.until(b"\xaaready\x00", 20)
        self.until(4)
        return [int(n) for n in free.split()]

    def stop(self):
        self.proc.kill()
        self.proc.wait()


def main():
    bench_live.PD = os.environ.get("VELTRIX_TEST_PD", "pd")
    print("veltrix.py: %d bytes" % os.path.getsize(os.path.join(LIB, "veltrix.py")))
    echo, tilt = Microbit(), Microbit()
    pd = None
    try:
        before, after = echo.load("echo.py")
        check(True, "micro:bit free memory %d bytes, %d after importing veltrix (%d used)"
              % (before, after, before - after))
        tilt.load("microbit_tilt_leds.py")
        # Bits that read as they are would make a float MicroPython cannot
        # hold there: one hangs it, the other turns to inf.
        for bits in (0x7FC00004, 0x7F800001):
            os.write(echo.fd, b"\xaaecho\x00" + struct.pack("<I", bits))
            echo.until(b"\xaaecho\x00")
            back = struct.unpack("<I", echo.until(4))[0]
            check(back & 0x7F800000 == 0x7F800000 and back & 0x7FFFFF,
                  "NaN 0x%08X comes back as a NaN (0x%08X)" % (bits, back))
        for board in (echo, tilt):
            os.close(board.fd)

        port = free_port()
        pd = bench_live.Pd(sys.argv[1], [
            "obj 10 10 netreceive %d 0 old" % port,
            "obj 10 40 Veltrix receive echo", "obj 10 70 makefilename %.9g", "obj 10 100 print echo",
            "obj 200 40 Veltrix receive tilt", "obj 200 70 makefilename %.9g", "obj 200 100 print tilt",
            "obj 400 40 r to-echo", "obj 400 70 Veltrix send echo",
            "obj 400 100 r to-leds", "obj 400 130 Veltrix send leds",
            "connect 1 0 2 0", "connect 2 0 3 0", "connect 4 0 5 0", "connect 5 0 6 0",
            "connect 7 0 8 0", "connect 9 0 10 0"])
        deadline = time.monotonic() + 10
        while True:
            try:
                sock = socket.create_connection(("127.0.0.1", port), timeout=5)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

        def send(*messages):
            sock.sendall("".join(m + ";\n" for m in messages).encode())

        def board(name, path):
            send("pd-p.pd obj 600 10 pd %s" % name,
                 "pd-%s obj 10 10 Veltrix open %s" % (name, path))
            pd.wait(r"connected %s ok!" % re.escape(path), 10, len(pd.lines))

        def printed(name, value, timeout=5):
            want = "%.9g" % struct.unpack("<f", struct.pack("<f", value))[0]
            try:
                pd.wait(r"^%s: (symbol )?%s$" % (name, re.escape(want)), timeout, start)
                return True
            except TimeoutError:
                return False

        start = 0
        board("e", echo.pty)
        board("t", tilt.pty)
        check(printed("tilt", -736 / 1024), "micro:bit to Pd: tilt -0.71875 exact")
        start = len(pd.lines)
        send("to-echo 0.75")
        check(printed("echo", 0.75), "Pd to micro:bit and back: 0.75 exact")
        # 131.015625: 00 04 03 43, Ctrl-D and Ctrl-C. Each board gets both
        # senders' frames, the echo sends back the tilt's too.
        start = len(pd.lines)
        send("to-leds 131.015625", "to-echo 131.015625")
        check(printed("echo", 131.015625), "a frame with 0x03 and 0x04 in its value and back exact")
        start = len(pd.lines)
        check(printed("tilt", -736 / 1024, 3), "the tilt example runs on after it")
        send("pd-e clear")
        time.sleep(0.5)
        start = len(pd.lines)
        board("e2", echo.pty)
        send("to-echo 0.25")
        check(printed("echo", 0.25), "the port closed and opened again: 0.25 and back exact")
        errors = pd.matching(r"error")
        check(not errors, "no error in Pd's console" + "".join("\n    " + l for _, l in errors))
        print("Pd's console:")
        for _, line in pd.lines:
            if re.match(r"(echo|tilt): ", line):
                print("    " + line)
    except (TimeoutError, RuntimeError) as e:
        check(False, str(e))
    finally:
        if pd:
            pd.stop()
        echo.stop()
        tilt.stop()
    print("microbit_loop: %d passed, %d failed" % tuple(results))
    return 1 if results[1] else 0


if __name__ == "__main__":
    sys.exit(main())
