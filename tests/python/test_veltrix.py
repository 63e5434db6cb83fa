# The Python board library against the frame's rules, in MicroPython (run
# by run_micropython.mjs, with the library, the corpus and the examples in
# its filesystem's root) and in CPython:
#   python3 test_veltrix.py CORPUS EXAMPLE...   (device/python on PYTHONPATH)
# Prints PASS/FAIL lines and "test_veltrix: N passed, M failed".
import os
import sys
from struct import pack, unpack

import veltrix

CORPUS = sys.argv[1] if len(sys.argv) > 1 else 'frame_corpus.txt'
results = [0, 0]


def check(ok, text):
    results[0 if ok else 1] += 1
    print(('PASS ' if ok else 'FAIL ') + text)


def module_frame(tag, bits):
    # The frame as the module writes it, from a tag and a float's bits.
    return b'\xaa' + tag[:31] + b'\x00' + bits.to_bytes(4, 'little')


def reference(data):
    # The module's decoder, a byte at a time: (tag, value bytes) per frame.
    out, s, t, v = [], 0, b'', b''
    for c in data:
        if s == 0:
            s, t = (1, b'') if c == 0xAA else (0, t)
        elif s == 1:
            if c:
                t = (t + bytes([c]))[:31]
            else:
                s, v = 2, b''
        else:
            v += bytes([c])
            if len(v) == 4:
                out.append((t, v))
                s = 0
    return out


def nan(b):
    return b[3] & 0x7F == 0x7F and b[2] & 0x80 and (b[2] & 0x7F or b[1] or b[0])


def same(got, want):
    # Decoded as the reference: the tags, and the values bit for bit, but a
    # NaN of any bits is read as a NaN.
    if len(got) != len(want):
        return False
    for (tag, value), (wtag, wbytes) in zip(got, want):
        bits = pack('<f', value)
        if tag != wtag or not (nan(bits) if nan(wbytes) else bits == wbytes):
            return False
    return True


def pieces(dec, data, sizes):
    out, i, k = [], 0, 0
    while i < len(data):
        n = sizes[k % len(sizes)]
        out += dec.feed(data[i:i + n])
        i, k = i + n, k + 1
    return out


tags, values = [], []
for line in open(CORPUS):
    words = line.split('#')[0].split()
    if words and words[0] == 'tag':
        h = words[1] if len(words) > 1 else ''
        tags.append(bytes([int(h[i:i + 2], 16) for i in range(0, len(h), 2)]))
    elif words:
        values.append(int(words[1], 16))
check(len(tags) > 20 and len(values) > 20, 'corpus read: %d tags, %d values' % (len(tags), len(values)))

# Every frame of the corpus is the module's; back to back, whole and in
# pieces of every size, they read as the module reads them.
stream, bad = b'', 0
for tag in tags:
    for bits in values:
        want = module_frame(tag, bits)
        value = unpack('<f', want[-4:])[0]
        if not nan(want[-4:]) and veltrix.frame(tag, value) != want:
            bad += 1
        stream += want
check(bad == 0, 'corpus: %d frames written as the module writes them (NaNs aside)' % (len(tags) * len(values)))
want = reference(stream)
check(same(veltrix.Decoder().feed(stream), want), 'corpus: read whole')
check(same(pieces(veltrix.Decoder(), stream, [1, 2, 3, 5, 8, 13, 37, 64]), want), 'corpus: read in pieces')

# Every byte value in every position of a frame, then a whole frame.
base = module_frame(b'ab', 0x3F800000)
bad = 0
for pos in range(len(base)):
    for b in range(256):
        s = base[:pos] + bytes([b]) + base[pos + 1:] + base
        want = reference(s)
        if not same(veltrix.Decoder().feed(s), want) or not same(pieces(veltrix.Decoder(), s, [1]), want):
            bad += 1
check(bad == 0, 'every byte in every position, read whole and a byte at a time')

check(veltrix.frame('a\x00b', 1e39) == b'\xaaa\x00\x00\x00\x80\x7f' and veltrix.frame('x' * 40, 0) ==
      veltrix.frame(b'x' * 31, 0), 'a tag ends at 0x00 and at 31 bytes; a value past the float is inf')


class Line:
    """A serial port: what waits in data, what was written in out."""

    def __init__(self, kind=''):
        self.kind, self.data, self.out = kind, b'', b''

    def put(self, b):
        self.data += b

    def read(self, n=None):
        n = len(self.data) if n is None else n
        got, self.data = self.data[:n], self.data[n:]
        return got

    def write(self, b):
        self.out += b
        return len(b)


class Uart(Line):  # machine.UART's any() counts; a micro:bit's says yes or no
    def any(self):
        return len(self.data) > 0 if self.kind == 'bool' else len(self.data)


class Waiting(Line):  # CircuitPython's usb_cdc.data, pyserial
    @property
    def in_waiting(self):
        return len(self.data)


def pollable():
    # A stream with no count, read through select.poll: sys.stdin.buffer.
    try:
        import os
        r, w = os.pipe()
        stream = os.fdopen(r, 'rb', 0)
        stream.put = lambda b: os.write(w, b)
        return stream
    except AttributeError:  # MicroPython: a stream of Python's own
        import io

        class Stdin(io.IOBase, Line):
            def ioctl(self, req, arg):
                return 1 if req == 3 and self.data else 0
        return Stdin()


# Each kind of stream: frames split across polls, a value with 0x03 and
# 0x04 in its bytes, handlers by tag and for every frame, and send.
ctl = unpack('<f', b'\x00\x04\x03\x43')[0]
data = b'\x03noise' + veltrix.frame('led', 0.5) + veltrix.frame('knob', ctl)
for kind, line in (('count', Uart()), ('bool', Uart('bool')), ('in_waiting', Waiting()),
                   ('poll', pollable())):
    got, every = [], []
    out = Line()
    board = veltrix.Board(line, out)
    board.on('led', lambda v: got.append(('led', v)))
    board.on(b'knob', lambda v: got.append(('knob', v)))
    board.on(None, lambda t, v: every.append(t))
    line.put(data[:-3])
    first = board.poll() == 1 and got == [('led', 0.5)]
    line.put(data[-3:])
    board.poll()
    board.send(b'knob', ctl)
    check(first and got == [('led', 0.5), ('knob', ctl)] and every == [b'led', b'knob'] and
          out.out == veltrix.frame('knob', ctl), 'Board on a stream read by ' + kind)

# Ctrl-C: off while a Board owns the prompt's line, back on at close().
calls = []
keep, veltrix.kbd_intr = veltrix.kbd_intr, calls.append
veltrix.Board(Uart())
board = veltrix.Board(sys.stdin.buffer, sys.stdout.buffer)
check(calls == [-1], 'Ctrl-C off on the prompt only')
board.close()
check(calls == [-1, 3], 'Ctrl-C back on when the board is closed')
veltrix.kbd_intr = keep

# The examples for boards not run here parse in this Python.
bad, names = [], sys.argv[2:] or [n for n in os.listdir() if n.endswith('.py') and n != 'veltrix.py']
for name in names:
    try:
        compile(open(name).read(), name, 'exec')
    except SyntaxError as e:
        bad.append('%s: %s' % (name, e))
check(names and not bad, '%d examples compile %s' % (len(names), ' '.join(bad)))

print('test_veltrix: %d passed, %d failed' % tuple(results))
if results[1]:
    raise SystemExit(1)
