# Raspberry Pi Pico (MicroPython): a knob to Pd, an LED from Pd.
#
# Wiring:
#   potentiometer (1 to 100 kOhm): outer legs to 3V3 (pin 36) and GND, the
#   wiper (middle leg) to GP26 (ADC0, pin 31).
#   GP15 (pin 20) -> 220 Ohm resistor -> LED's long leg; short leg -> GND.
#
# Copy veltrix.py onto the Pico beside this program, saved as main.py.
#
# In Pd (the Pico's port: /dev/ttyACM0 on Linux, /dev/cu.usbmodem... on
# macOS, COM3 or so on Windows):
#
#   [Veltrix open /dev/ttyACM0]
#
#   [Veltrix receive knob]   0 .. 1, on a change and once a second
#
#   [0(  [0.25(  [1(         (or a slider, hsl, whose range is 0..1)
#   |
#   [Veltrix send led]
#
# While it runs, Ctrl-C (and Thonny's Stop) does not stop it: hold the
# BOOTSEL button for a moment and the prompt is back.
from machine import ADC, PWM, Pin
import rp2
import time
import veltrix

knob = ADC(26)
led = PWM(Pin(15))
led.freq(1000)


def set_led(value):
    # 0 or less (or NaN) is off, 1 or more is full on.
    led.duty_u16(0 if not value > 0 else 65535 if value >= 1 else int(value * 65535))


board = veltrix.Board()  # the USB line
board.on('led', set_led)
board.send('ready', 1)
last, read_at, sent_at = -1, 0, 0
stop = False
while not stop:
    board.poll()  # often: what waits unread is only so much
    now = time.ticks_ms()
    if time.ticks_diff(now, read_at) >= 20:  # 50 readings a second
        read_at = now
        stop = rp2.bootsel_button()  # held: back to the prompt
        value = knob.read_u16() / 65535
        # The lowest bits flicker with noise: a change of 1/200 or less waits.
        if abs(value - last) > 0.005 or time.ticks_diff(now, sent_at) >= 1000:
            board.send('knob', value)
            last, sent_at = value, now
led.duty_u16(0)
