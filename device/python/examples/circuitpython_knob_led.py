# CircuitPython (a Pico or any board with an analog pin and a PWM pin): a knob
# to Pd, an LED from Pd, on the board's second USB serial port, which leaves
# the first to the prompt (Ctrl-C there stops the program as usual).
#
# boot.py on the CIRCUITPY drive must turn that port on (then reset once):
#
#   import usb_cdc
#   usb_cdc.enable(console=True, data=True)
#
# Wiring as knob_led.py on a Pico: the knob's wiper on GP26 (A0), the LED
# on GP15; on another board, change board.GP26 and board.GP15 below.
# Copy veltrix.py onto CIRCUITPY beside this program, saved as code.py.
#
# In Pd, open the board's second port (the one that is not the prompt:
# /dev/ttyACM1 on Linux when the prompt is /dev/ttyACM0; 'ports' lists them):
#
#   [Veltrix open /dev/ttyACM1]
#   [Veltrix receive knob]   0 .. 1, on a change and once a second
#   [Veltrix send led]       0 .. 1
import analogio
import board
import pwmio
import time
import usb_cdc
import veltrix

knob = analogio.AnalogIn(board.GP26)
led = pwmio.PWMOut(board.GP15, frequency=1000)


def set_led(value):
    # 0 or less (or NaN) is off, 1 or more is full on.
    led.duty_cycle = 0 if not value > 0 else 65535 if value >= 1 else int(value * 65535)


line = veltrix.Board(usb_cdc.data)
line.on('led', set_led)
line.send('ready', 1)
last, read_at, sent_at = -1, 0, 0
while True:
    line.poll()  # often: what waits unread is only so much
    now = time.monotonic()
    if now - read_at >= 0.02:  # 50 readings a second
        read_at = now
        value = knob.value / 65535
        if abs(value - last) > 0.005 or now - sent_at >= 1:
            line.send('knob', value)
            last, sent_at = value, now
