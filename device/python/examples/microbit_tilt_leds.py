# micro:bit: its tilt and buttons to Pd, its LEDs from Pd.
#
# Copy veltrix.py onto the micro:bit beside this program, saved as main.py
# (in the micro:bit Python editor: Open... veltrix.py, and add it as a
# file). No wiring.
#
# In Pd (the micro:bit's port: /dev/ttyACM0 on Linux, /dev/cu.usbmodem... on
# macOS, COM3 or so on Windows; 115200 baud):
#
#   [Veltrix open /dev/ttyACM0]
#
#   [Veltrix receive tilt]   left -1 .. right 1, on a change and once a second
#   [Veltrix receive a]      1 while button A is held, 0 when let go (B: b)
#
#   [0(  [0.5(  [1(          (or a slider, hsl, whose range is 0..1)
#   |
#   [Veltrix send leds]      how many of the 25 LEDs light, from 0 to all
#
# The program says "ready" when it listens ([Veltrix receive ready]).
# While it runs, Ctrl-C does not stop it: flash another program to change it.
from microbit import accelerometer, button_a, button_b, display, running_time
import veltrix

board = veltrix.Board()  # the USB line, at 115200 baud


def leds(value):
    # 0 or less (or NaN) is none, 1 or more is all 25.
    n = 0 if not value > 0 else 25 if value >= 1 else int(value * 25 + 0.5)
    for i in range(25):
        display.set_pixel(i % 5, i // 5, 9 if i < n else 0)


board.on('leds', leds)
board.send('ready', 1)

sent = {}  # tag: [value, when]


def report(tag, value, step):
    # Sent when it moves by more than step, and once a second.
    last = sent.get(tag)
    now = running_time()
    if last is None or abs(value - last[0]) > step or now - last[1] >= 1000:
        board.send(tag, value)
        sent[tag] = [value, now]


read_at = 0
while True:
    board.poll()  # often: the micro:bit keeps only 63 bytes unread
    if running_time() - read_at >= 20:  # 50 readings a second
        read_at = running_time()
        report('tilt', max(-1, min(1, accelerometer.get_x() / 1024)), 0.02)
        report('a', int(button_a.is_pressed()), 0)
        report('b', int(button_b.is_pressed()), 0)
