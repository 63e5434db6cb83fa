#!/usr/bin/env python3
"""microbit_loop.py MODULE_DIR: two emulated micro:bits (qemu, Debian's micro:bit
MicroPython 1.9.2) run veltrix.py with examples/echo.py and microbit_tilt_leds.py
as main.py, against the module in a real pd -nogui."""
import os
import re
import select
import socket
import struct
import subprocess
import sys
import time
import tty

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:0] = [os.path.join(ROOT, "bench", "live"), os.path.join(ROOT, "tests", "campaign")]
import bench_live  # noqa: E402  (the Pd process)
from campaign import free_port  # noqa: E402

LIB = os.path.join(ROOT, "device", "python")
PROMPT = b"raw REPL; CTRL-B to exit\r\n>"
done, boards = [0, 0], []


def check(ok, text):
    done[not ok] += 1
    print(("PASS " if ok else "FAIL ") + text, flush=True)


class Microbit:
    def __init__(self):
        self.proc = subprocess.Popen(
            ["qemu-system-arm", "-M", "microbit", "-display", "none", "-monitor", "none", "-device",
             "loader,file=/usr/share/firmware-microbit-micropython/firmware.hex", "-serial", "pty"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        boards.append(self)
        self.pty = re.search(r"/dev/pts/\d+", self.proc.stdout.readline().decode()).group(0)
        self.fd = os.open(self.pty, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.got = b""
        # qemu drops what the board writes until it sees the terminal open,
        # which it checks once a second: ask until the prompt comes.
        for _ in range(10):
            os.write(self.fd, b"\r\x03")
            if self.until(b">>> ", 1) is not None:
                break
        os.write(self.fd, b"\x01")
        self.until(PROMPT)

    def until(self, marker, timeout=None):
        """What comes before marker; None after a timeout given, else raises."""
        end = time.monotonic() + (timeout or 10)
        while marker not in self.got:
            if not select.select([self.fd], [], [], max(0, end - time.monotonic()))[0]:
                if timeout:
                    return None
                raise TimeoutError("micro:bit: no %r after %r" % (marker, self.got[-300:]))
            self.got += os.read(self.fd, 4096)
        before, _, self.got = self.got.partition(marker)
        return before

    def run(self, code):
        # Short, and acknowledged: the board drops what passes the 63 bytes
        # it holds unread.
        assert len(code) < 63
        os.write(self.fd, code.encode() + b"\x04")
        self.until(b"OK")
        out, err = self.until(b"\x04"), self.until(b"\x04>")
        if err:
            raise TimeoutError("micro:bit: " + err.decode(errors="replace"))
        return out.decode()

    def load(self, example):
        """Returns the free memory before and after importing veltrix."""
        for name, path in ("veltrix.py", "veltrix.py"), ("main.py", "examples/" + example):
            text = open(os.path.join(LIB, path)).read()
            self.run("f = open(%r, 'w')" % name)
            while text:
                n = next(n for n in (40, 24, 12, 6) if len(repr(text[:n])) <= 48)
                self.run("f.write(%r)" % text[:n])
                text = text[n:]
            self.run("f.close()")
        os.write(self.fd, b"\x04")  # a soft reset: a clean heap to measure
        self.until(PROMPT)
        free = self.run("import gc; gc.collect(); m = gc.mem_free()")
        free += self.run("import veltrix; gc.collect(); print(m, gc.mem_free())")
        os.write(self.fd, b"\x02\x04")  # the prompt, and a reset that runs main.py
        self.until(b"\xaaready\0")
        return [int(n) for n in free.split()]


def main():
    print("veltrix.py: %d bytes" % os.path.getsize(os.path.join(LIB, "veltrix.py")))
    pd = None
    try:
        echo, tilt = Microbit(), Microbit()
        print("micro:bit: %d bytes free, %d after importing veltrix" % tuple(echo.load("echo.py")))
        tilt.load("microbit_tilt_leds.py")
        # NaN bits that MicroPython there cannot hold: one hangs it, one is inf.
        for bits in 0x7FC00004, 0x7F800001:
            os.write(echo.fd, b"\xaaecho\0" + struct.pack("<I", bits) + b"\xaaecho\0\0\0\0\0")
            echo.until(b"\xaaecho\0")
            back = struct.unpack("<I", echo.until(b"\xaaecho\0"))[0]
            check(back & 0x7FFFFFFF > 0x7F800000, "NaN %08X comes back as a NaN: %08X" % (bits, back))
        for board in boards:
            os.close(board.fd)

        port = free_port()
        pd = bench_live.Pd(sys.argv[1], [
            "obj 10 10 netreceive %d 0 old" % port,
            "obj 10 40 Veltrix receive echo", "obj 10 70 makefilename %.9g", "obj 10 100 print echo",
            "obj 200 40 Veltrix receive tilt", "obj 200 70 makefilename %.9g", "obj 200 100 print tilt",
            "obj 400 40 r to-echo", "obj 400 70 Veltrix send echo", "obj 400 100 r to-leds",
            "obj 400 130 Veltrix send leds", "connect 1 0 2 0", "connect 2 0 3 0", "connect 4 0 5 0",
            "connect 5 0 6 0", "connect 7 0 8 0", "connect 9 0 10 0"])
        pd.wait("Veltrix_setup end", 10)
        sock = socket.create_connection(("127.0.0.1", port))

        def send(*messages):
            sock.sendall("".join(m + ";\n" for m in messages).encode())

        def opened(name, board):
            then = len(pd.lines)  # before sending: Pd may connect at once
            send("pd-p.pd obj 600 10 pd " + name, "pd-%s obj 10 10 Veltrix open %s" % (name, board.pty))
            pd.wait("connected %s ok!" % board.pty, 10, then)

        def printed(name, value, *send_first):
            # %.9g tells every 32-bit float apart: equal text, equal bits.
            then = len(pd.lines)
            send(*send_first)
            try:
                return bool(pd.wait(r"^%s: (symbol )?%s$" % (name, re.escape("%.9g" % value)), 5, then))
            except TimeoutError:
                return False

        opened("e", echo)
        opened("t", tilt)
        check(printed("tilt", -0.71875), "micro:bit to Pd: the example's tilt, -0.71875, exact")
        check(printed("echo", 0.75, "to-echo 0.75"), "Pd to micro:bit and back: 0.75 exact")
        # 131.015625 is 00 04 03 43: Ctrl-D and Ctrl-C. Both boards get both.
        check(printed("echo", 131.015625, "to-leds 131.015625", "to-echo 131.015625"),
              "a value holding 0x03 and 0x04 and back exact")
        check(printed("tilt", -0.71875), "the tilt example runs on after it")
        send("pd-e clear")
        time.sleep(0.5)
        opened("e2", echo)
        check(printed("echo", 0.25, "to-echo 0.25"), "the port closed and opened again: 0.25 and back exact")
        check(not pd.matching("error"), "no error in Pd's console")
        print("Pd's console:" + "".join("\n    " + l for _, l in pd.matching(r"^(echo|tilt): ")))
    except TimeoutError as e:
        check(False, str(e))
    finally:
        if pd:
            pd.stop()
        for board in boards:
            board.proc.kill()
    print("microbit_loop: %d passed, %d failed" % tuple(done))
    return 1 if done[1] else 0


if __name__ == "__main__":
    sys.exit(main())
