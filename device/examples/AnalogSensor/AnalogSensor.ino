// AnalogSensor: a potentiometer on A0, sent to Pd under the tag "knob" as a
// value from 0 to 1.
//
// Wiring (Arduino Uno):
//   potentiometer (1 to 100 kOhm): one outer leg to 5V, the other to GND,
//   the wiper (middle leg) to A0.
//
// In Pd (the board's port: /dev/ttyACM0 or /dev/ttyUSB0 on Linux,
// /dev/cu.usbmodem... on macOS, COM3 or so on Windows; 115200 baud):
//
//   [Veltrix open /dev/ttyACM0]
//
//   [Veltrix receive knob]
//   |
//   [print knob]          (or a number box, or a [line] to smooth it)
//
// The board sends a reading when it has moved by more than one step, and
// once a second even when it has not, so a patch opened late still gets it.
#include <Veltrix.h>

const uint8_t sensorPin = A0;
const unsigned long readEvery = 20;   // ms between readings (50 a second)
const unsigned long sendEvery = 1000; // ms at most between two frames

int lastSent = -1;
unsigned long lastReadAt = 0;
unsigned long lastSentAt = 0;

void setup()
{
    Serial.begin(115200);
}

void loop()
{
    unsigned long now = millis();
    if (now - lastReadAt < readEvery)
        return;
    lastReadAt = now;
    int raw = analogRead(sensorPin); // 0 to 1023
    // The lowest bit flickers with noise: a change of one step is not sent.
    bool moved = lastSent < 0 || raw - lastSent > 1 || lastSent - raw > 1;
    if (moved || now - lastSentAt >= sendEvery) {
        veltrixSend(Serial, "knob", raw / 1023.0f);
        lastSent = raw;
        lastSentAt = now;
    }
}
