// Echo: sends back every frame it gets, with the same tag and value. A quick
// check of the port, the baud rate and the patch, with no wiring at all.
//
// Wiring: none, only the USB cable. The built-in LED toggles at each frame.
//
// In Pd (the board's port: /dev/ttyACM0 or /dev/ttyUSB0 on Linux,
// /dev/cu.usbmodem... on macOS, COM3 or so on Windows; 115200 baud):
//
//   [Veltrix open /dev/ttyACM0]
//
//   [3.25(                     [Veltrix receive echo]
//   |                          |
//   [Veltrix send echo]        [print echo]   -> prints "echo: 3.25"
//
// Any tag comes back the same way: [Veltrix send led] to [Veltrix receive led].
#include <Veltrix.h>

VeltrixReceiver<1> veltrix; // no tag of its own: it answers every frame
bool ledOn = false;

void echo(const char *tag, float value)
{
    veltrixSend(Serial, tag, value);
    ledOn = !ledOn;
    digitalWrite(LED_BUILTIN, ledOn ? HIGH : LOW);
}

void setup()
{
    pinMode(LED_BUILTIN, OUTPUT);
    Serial.begin(115200);
    veltrix.onFrame(echo);
}

void loop()
{
    veltrix.poll(Serial);
}
