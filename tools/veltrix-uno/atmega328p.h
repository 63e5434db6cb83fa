// The emulated board's facts: an Arduino Uno's ATmega328P, its registers and
// its PWM pins.
#pragma once

#include <cstdint>

constexpr uint32_t clock_hz = 16000000;
constexpr uint32_t flash_size = 32768;
constexpr int analog_pins = 6;

// Data memory addresses of the ATmega328P's registers.
constexpr uint8_t DDRB = 0x24, PORTB = 0x25, DDRD = 0x2A, PORTD = 0x2B;
constexpr uint8_t TCCR0A = 0x44, TCCR1A = 0x80, TCCR2A = 0xB0;
constexpr uint8_t ICR1L = 0x86, OCR1AL = 0x88;
constexpr uint8_t UCSR0A = 0xC0, UCSR0B = 0xC1, UBRR0L = 0xC4, UBRR0H = 0xC5;

// An Uno PWM pin: its port bit and its timer's compare output.
struct t_pwm_pin {
    int p_pin;
    uint8_t p_ddr, p_port, p_bit; // data direction and output registers
    int p_timer;                  // 0, 1 or 2
    uint8_t p_tccra, p_com_shift; // control register A, COMnx1:0 position
    uint8_t p_ocr;                // compare register (low byte for timer 1)
};

constexpr t_pwm_pin pwm_pins[] = {
    {3, DDRD, PORTD, 3, 2, TCCR2A, 4, 0xB4},  {5, DDRD, PORTD, 5, 0, TCCR0A, 4, 0x48},
    {6, DDRD, PORTD, 6, 0, TCCR0A, 6, 0x47},  {9, DDRB, PORTB, 1, 1, TCCR1A, 6, 0x88},
    {10, DDRB, PORTB, 2, 1, TCCR1A, 4, 0x8A}, {11, DDRB, PORTB, 3, 2, TCCR2A, 6, 0xB3},
};

// The PWM pin numbered `pin`, or null.
inline const t_pwm_pin *pwm_pin(int pin)
{
    for (auto &p : pwm_pins)
        if (p.p_pin == pin)
            return &p;
    return nullptr;
}
