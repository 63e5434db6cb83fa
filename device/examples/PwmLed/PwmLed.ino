// PwmLed: an LED whose brightness Pd sets under the tag "led", from 0 (off)
// to 1 (full), by PWM.
//
// Wiring (Arduino Uno):
//   pin 9 -> 220 Ohm resistor -> LED anode (long leg); LED cathode -> GND.
//   Any PWM pin will do (marked ~ on the Uno: 3, 5, 6, 9, 10, 11).
//
// In Pd (the board's port: /dev/ttyACM0 or /dev/ttyUSB0 on Linux,
// /dev/cu.usbmodem... on macOS, COM3 or so on Windows; 115200 baud):
//
//   [Veltrix open /dev/ttyACM0]
//
//   [0(  [0.25(  [1(        (or a slider, hsl, whose range is set to 0..1)
//   |    |       |
//   [Veltrix send led]
//
// Opening the port resets the Uno, and its bootloader listens a second or
// two before this sketch starts: what Pd sends meanwhile is lost. So the
// sketch says "ready" when it listens, and the patch sends the LED's value
// again on it, and on 'connected 1' for a board that does not reset:
//
//   [status board1(               [r board1]          [Veltrix receive ready]
//   |                             |                   |
//   [Veltrix open /dev/ttyACM0]   [route connected]   |
//                                 |                   |
//                                 [sel 1] ------------+
//                                 |
//                                 [f]  <- the slider's last value, into its right inlet
//                                 |
//                                 [Veltrix send led]
#include <Veltrix.h>

const uint8_t ledPin = 9;

VeltrixReceiver<1> veltrix; // one tag: "led"

// 0 or less (or NaN) is off, 1 or more is full on, in 256 steps between.
void setLed(float value)
{
    int level = 0;
    if (value >= 1)
        level = 255;
    else if (value > 0)
        level = (int)(value * 255 + 0.5f);
    analogWrite(ledPin, level);
}

void setup()
{
    pinMode(ledPin, OUTPUT);
    analogWrite(ledPin, 0);
    Serial.begin(115200);
    veltrix.on("led", setLed);
    veltrixSend(Serial, "ready", 1); // listening: what Pd sends now arrives
}

void loop()
{
    veltrix.poll(Serial);
}
