# The Python boards' library against the module's frame rules, in MicroPython
# (run_micropython.mjs, the files in its root) and CPython:
#   python3 test_veltrix.py CORPUS EXAMPLE...   (device/python on PYTHONPATH)
import io
import os
import sys
from struct import pack, unpack

import veltrix

done = [0, 0]


def check(ok, text):
    done[not ok] += 1
    print(('PASS ' if ok else 'FAIL ') + text)


def reference(data):
    # The module's decoder, a byte at a time: (tag, value bytes) per frame.
    out, s, t, v = [], 0, b'', b''
    for c in data:
        if s == 0 and c == 0xAA:
            s, t = 1, b''
        elif s == 1:
            s, v, t = (1, v, (t + bytes([c]))[:31]) if c else (2, b'', t)
        elif s == 2:
            v += bytes([c])
            if len(v) == 4:
                out.append((t, v))
                s = 0
    return out


def nan(b):
    return b[3] & 0x7F == 0x7F and b[2] & 0x80 and (b[2] & 0x7F or b[1] or b[0])


def reads(data, pieces=(1 << 30,)):
    # Read whole or in pieces of the sizes given in turn, as the module
    # reads them: the same tags, the same bits, any NaN as a NaN.
    d, got, i, k = veltrix.Decoder(), [], 0, 0
    while i < len(data):
        n, k = pieces[k % len(pieces)], k + 1
        got += d.feed(data[i:i + n])
        i += n
    want = reference(data)
    return len(got) == len(want) and all(t == wt and (nan(pack('<f', v)) if nan(wb) else pack('<f', v) == wb)
                                         for (t, v), (wt, wb) in zip(got, want))


tags, values = [], []
for line in open(sys.argv[1] if len(sys.argv) > 1 else 'frame_corpus.txt'):
    w = line.split('#')[0].split() + ['']
    if w[0] == 'tag':
        tags.append(bytes([int(w[1][i:i + 2], 16) for i in range(0, len(w[1]), 2)]))
    elif w[0]:
        values += [int(h, 16).to_bytes(4, 'little') for h in w[1:-1]]

# Every frame of the corpus is the module's frame; back to back, tags whole,
# they read as the module reads them, whole and in pieces.
stream = b''.join(b'\xaa' + t + b'\0' + v for t in tags for v in values)
check(all(veltrix.frame(t, unpack('<f', v)[0]) == b'\xaa' + t[:31] + b'\0' + v
          for t in tags for v in values if not nan(v)) and len(stream) > 20000,
      'corpus: %d tags by %d values written as the module writes them' % (len(tags), len(values)))
check(reads(stream) and reads(stream, (1, 2, 3, 5, 8, 13, 37, 64)), 'corpus: read whole and in pieces')

# Every byte value in every position of a frame, then a whole frame.
base = b'\xaaab\0\0\0\x80\x3f'
check(all(reads(s + base) and reads(s + base, (1,)) for s in
          (base[:p] + bytes([b]) + base[p + 1:] for p in range(len(base)) for b in range(256))),
      'every byte in every position, read whole and a byte at a time')
check(veltrix.frame('a\0b', 1e39) == b'\xaaa\0\0\0\x80\x7f', 'a tag ends at 0x00; past the float is inf')


def stdin():  # as sys.stdin.buffer: no count, read through select.poll
    try:
        r, w = os.pipe()
        line = os.fdopen(r, 'rb', 0)
        line.put = lambda b: os.write(w, b)
        return line
    except AttributeError:  # MicroPython here: a stream of its own
        class Stdin(io.IOBase):
            data = b''

            def put(self, b):
                self.data += b

            def read(self, n):
                got, self.data = self.data[:n], self.data[n:]
                return got

            def ioctl(self, req, arg):
                return req == 3 and bool(self.data)
        return Stdin()


# Frames split across polls, a value with 0x03 and 0x04 in its bytes,
# functions by tag and for every frame, and send.
ctl = unpack('<f', b'\0\x04\x03\x43')[0]
data = b'\x03noise' + veltrix.frame('led', 0.5) + veltrix.frame('knob', ctl)
got, line, out = [], stdin(), io.BytesIO()
board = veltrix.Board(line, out)
board.on('led', lambda v: got.append(v))
board.on(b'knob', lambda v: got.append(v))
board.on(None, lambda t, v: got.append(t))
line.put(data[:-3])
first = board.poll() == 1 and got == [b'led', 0.5]
line.put(data[-3:])
board.poll()
board.send(b'knob', ctl)
check(first and got == [b'led', 0.5, b'knob', ctl] and out.getvalue() == veltrix.frame('knob', ctl),
      'Board on a stream read through select.poll')

# Ctrl-C: off while a Board owns the prompt's line, back on at close().
calls, keep, veltrix.kbd_intr = [], veltrix.kbd_intr, lambda n: calls.append(n)
veltrix.Board(stdin())
board = veltrix.Board(sys.stdin.buffer, sys.stdout.buffer)
check(calls == [-1], 'Ctrl-C off on the prompt only')
board.close()
check(calls == [-1, 3], 'Ctrl-C back on when the board is closed')
veltrix.kbd_intr = keep

# The examples for boards not run here compile.
names = sys.argv[2:] or [n for n in os.listdir() if n.endswith('.py') and n != 'veltrix.py']
bad = []
for name in names:
    try:
        compile(open(name).read(), name, 'exec')
    except SyntaxError as e:
        bad.append('%s: %s' % (name, e))
check(names and not bad, '%d examples compile %s' % (len(names), ' '.join(bad)))

print('test_veltrix: %d passed, %d failed' % tuple(done))
if done[1]:
    raise SystemExit(1)
