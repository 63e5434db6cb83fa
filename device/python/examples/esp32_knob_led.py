# ESP32 (MicroPython): a knob to Pd, an LED from Pd.
#
# Wiring:
#   potentiometer (1 to 100 kOhm): outer legs to 3V3 and GND, the wiper
#   (middle leg) to GPIO34 (an ADC1 pin: ADC2 pins stop working with Wi-Fi).
#   GPIO2 -> 220 Ohm resistor -> LED's long leg; short leg -> GND. Many
#   boards have an LED on GPIO2 already.
#
# Copy veltrix.py onto the board beside this program, saved as main.py.
#
# In Pd (the board's port: /dev/ttyUSB0 on Linux, /dev/cu.usbserial... on
# macOS, COM3 or so on Windows; 115200 baud, MicroPython's own rate):
#
#   [Veltrix open /dev/ttyUSB0]
#
#   [Veltrix receive knob]   0 .. 1, on a change and once a second
#
#   [0(  [0.25(  [1(         (or a slider, hsl, whose range is 0..1)
#   |
#   [Veltrix send led]
#
# Opening the port restarts most ESP32 boards, as it does an Uno: what Pd
# sends before "ready" is lost, and could even stop the program as it
# starts (a value can hold Ctrl-C). The patch sends on [Veltrix receive
# ready] what the board must know. While it runs, Ctrl-C (and Thonny's Stop)
# does not stop it: hold the BOOT button for a moment and the prompt is back.
from machine import ADC, PWM, Pin
import time
import veltrix

knob = ADC(Pin(34))
knob.atten(ADC.ATTN_11DB)  # the whole 0 .. 3.3 V
led = PWM(Pin(2), freq=1000)
boot = Pin(0, Pin.IN, Pin.PULL_UP)  # the BOOT button, 0 while held


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
        stop = not boot.value()  # held: back to the prompt
        value = knob.read_u16() / 65535
        # The lowest bits flicker with noise: a change of 1/100 or less waits.
        if abs(value - last) > 0.01 or time.ticks_diff(now, sent_at) >= 1000:
            board.send('knob', value)
            last, sent_at = value, now
led.duty_u16(0)
