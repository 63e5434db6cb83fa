# Echo: sends back every frame it gets, same tag, same value: a check of the
# link, on any board (micro:bit, Pico, ESP32, CircuitPython).
#
# Copy veltrix.py onto the board beside this program, saved as main.py
# (code.py on CircuitPython, whose boot.py must hold
# "import usb_cdc; usb_cdc.enable(console=True, data=True)"). No wiring.
#
# In Pd (the board's port; 115200 baud):
#
#   [Veltrix open /dev/ttyACM0]
#
#   [0.75(                  [Veltrix receive echo]
#   |                       |
#   [Veltrix send echo]     [print echo]      prints 0.75
import veltrix

try:
    import usb_cdc  # CircuitPython: its second USB serial port
    board = veltrix.Board(usb_cdc.data)
except ImportError:
    board = veltrix.Board()  # the USB line
board.on(None, board.send)  # every frame: send(tag, value)
board.send('ready', 1)
while True:
    board.poll()
