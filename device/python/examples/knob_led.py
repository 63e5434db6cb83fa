# A knob to Pd, an LED from Pd, on a Raspberry Pi Pico or an ESP32 board
# with MicroPython.
#
# Wiring:
#   potentiometer (1 to 100 kOhm): outer legs to 3V3 and GND, the wiper
#   (middle leg) to the knob's pin; the LED's pin -> 220 Ohm resistor ->
#   LED's long leg; short leg -> GND.
#     Pico:  knob GP26 (ADC0, pin 31), LED GP15 (pin 20)
#     ESP32: knob GPIO34 (an ADC1 pin: ADC2 pins stop working with Wi-Fi),
#            LED GPIO2 (many boards have an LED there already)
#
# Copy veltrix.py onto the board beside this program, saved as main.py.
#
# In Pd (the board's port: /dev/ttyACM0 for a Pico, /dev/ttyUSB0 for most
# ESP32 boards on Linux, /dev/cu.usbmodem... or /dev/cu.usbserial... on
# macOS, COM3 or so on Windows; 115200 baud):
#
#   [Veltrix open /dev/ttyACM0]
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
# ready] what the board must know.
#
# While it runs, Ctrl-C (and Thonny's Stop) does not stop it: hold the
# BOOTSEL button (Pico) or the BOOT button (ESP32) for a moment, and the
# prompt is back.
from machine import ADC, PWM, Pin
import sys
import time
import veltrix

if sys.platform == 'rp2':
    import rp2

    knob, led = ADC(26), PWM(Pin(15))
    held = rp2.bootsel_button
else:
    knob, led = ADC(Pin(34)), PWM(Pin(2))
    knob.atten(ADC.ATTN_11DB)  # the whole 0 .. 3.3 V
    boot = Pin(0, Pin.IN, Pin.PULL_UP)  # 0 while held
    held = lambda: not boot.value()  # noqa: E731
led.freq(1000)


def set_led(value):
    # 0 or less (or NaN) is off, 1 or more is full on.
    led.duty_u16(0 if not value > 0 else 65535 if value >= 1 else int(value * 65535))


board = veltrix.Board()  # the USB line
board.on('led', set_led)
board.send('ready', 1)
last, read_at, sent_at = -1, 0, 0
while True:
    board.poll()  # often: what waits unread is only so much
    now = time.ticks_ms()
    if time.ticks_diff(now, read_at) >= 20:  # 50 readings a second
        read_at = now
        if held():
            break
        value = knob.read_u16() / 65535
        # The lowest bits flicker with noise: a change of 1/100 or less waits.
        if abs(value - last) > 0.01 or time.ticks_diff(now, sent_at) >= 1000:
            board.send('knob', value)
            last, sent_at = value, now
led.duty_u16(0)
