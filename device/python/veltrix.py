# Veltrix for boards that run Python: the frames the Veltrix Pd external
# reads and writes on a serial line, one float under a text tag per frame.
# One file for MicroPython (1.9 on a micro:bit and later), CircuitPython and
# CPython.
#
# A frame is the byte 0xAA, the tag's bytes, 0x00, then the value as a 32-bit
# IEEE float, least significant byte first. 0xAA starts a frame only between
# frames; other bytes between frames are skipped; tags are cut to 31 bytes.
#
#   board = veltrix.Board()        # the board's USB line (or Board(stream))
#   board.on('led', set_led)       # set_led(value) for each frame of 'led'
#   board.poll()                   # in the loop: reads what has arrived
#   board.send('knob', 0.5)
#
# A micro:bit compiles this file in its 16 KB of RAM as it imports it: the
# code is kept short (comments cost nothing there), with no buffers, and it
# cuts input up with bytes.find rather than a Python step per byte.
from struct import pack, unpack

try:
    from micropython import kbd_intr
except ImportError:
    kbd_intr = None

_NAN = float('nan')


# A tag as its frame carries it: bytes, up to a 0x00 and 31 at most.
def _tag(tag):
    if not isinstance(tag, bytes):
        tag = bytes(tag, 'utf-8')
    return tag[:31].split(b'\0')[0]


# The bytes of the frame for tag (str or bytes) and value (a number).
def frame(tag, value):
    try:
        v = pack('<f', value)
    except OverflowError:  # CPython's, past the float's range: infinity
        v = pack('<f', float('inf') if value > 0 else -float('inf'))
    return b'\xaa' + _tag(tag) + b'\0' + v


# Frames from bytes that arrive in pieces of any size: feed(data) returns the
# (tag, value) pairs that data completes, each tag as bytes.
class Decoder:
    def __init__(self):
        self._p = None  # the frame begun, after its 0xAA; None between frames

    def feed(self, data):
        d = bytes(data)
        out = []
        while True:
            if self._p is None:
                i = d.find(b'\xaa')
                if i < 0:
                    return out
                self._p = b''
                d = d[i + 1:]
            p = self._p + d
            j = p.find(b'\0')
            if j < 0 or len(p) < j + 5:
                # Tag characters past the 31st are dropped as they come.
                self._p = p[:31] if j < 0 else p
                return out
            v = p[j + 1:j + 5]
            # Any NaN is read as one plain NaN: on a micro:bit, whose floats
            # have no room for the others, some NaN bits would hang
            # MicroPython and some turn to inf.
            if v[3] & 0x7F == 0x7F and v[2] & 0x80 and (v[2] & 0x7F or v[1] or v[0]):
                v = _NAN
            else:
                v = unpack('<f', v)[0]
            out.append((p[:min(j, 31)], v))
            self._p = None
            d = p[j + 5:]


# A serial line to Pd: sends frames, and calls a function per tag.
#   Board()             the board's USB line: a micro:bit's uart, or the
#                       prompt's own line (sys.stdin.buffer, sys.stdout.buffer)
#   Board(stream)       reads and writes stream: one with any() (machine.UART,
#                       microbit.uart), in_waiting (CircuitPython's
#                       usb_cdc.data, a pyserial Serial) or neither (read
#                       through select.poll, as sys.stdin.buffer)
#   Board(stream, out)  reads stream and writes out
class Board:
    def __init__(self, stream=None, out=None):
        import sys
        if stream is None:
            try:
                from microbit import uart as stream
            except ImportError:
                stream, out = sys.stdin.buffer, sys.stdout.buffer
        self._i = stream
        self._o = out or stream
        self._d = Decoder()
        self._f = {}
        self._p = None
        if not (hasattr(stream, 'any') or hasattr(stream, 'in_waiting')):
            import select
            self._p = select.poll()
            self._p.register(stream, select.POLLIN)
        # Value bytes may hold 0x03, which on the prompt's line would stop the
        # program: off until close() or the program's end. A micro:bit has
        # one uart, the prompt's.
        i = getattr(sys, 'stdin', 0)
        self._k = kbd_intr and (stream in (i, getattr(i, 'buffer', 0)) or sys.platform == 'microbit')
        if self._k:
            kbd_intr(-1)

    # function(value) for each frame of tag; with tag None, function(tag,
    # value) for every frame, first. function None removes it.
    def on(self, tag, function):
        tag = None if tag is None else _tag(tag)
        if function:
            self._f[tag] = function
        else:
            self._f.pop(tag, None)

    # Writes one frame; returns what the stream's write returned.
    def send(self, tag, value):
        return self._o.write(frame(tag, value))

    # Reads what has arrived, without waiting, and calls the functions of the
    # tags it completes. Returns how many frames it completed.
    def poll(self):
        s = self._i
        if self._p:
            # A byte a read: a longer read waits for its bytes. At most 256,
            # so that a line that never goes quiet cannot hold the loop.
            d = b''
            while len(d) < 256 and self._p.poll(0):
                c = s.read(1)
                if not c:
                    break
                d += c
        else:
            n = s.any() if hasattr(s, 'any') else s.in_waiting
            # A micro:bit's any() says True, and its read() takes all there is.
            d = n and (s.read() if n is True else s.read(n))
        f = self._f
        frames = self._d.feed(d or b'')
        for tag, value in frames:
            if None in f:
                f[None](tag, value)
            if tag in f:
                f[tag](value)
        return len(frames)

    # Gives Ctrl-C back to the prompt (nothing else to let go).
    def close(self):
        if self._k:
            kbd_intr(3)
            self._k = False
