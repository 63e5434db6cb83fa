#include "uno.h"

#include <cstdio>

namespace {

// The share of the time the pin is high, from the timer's registers.
double duty_cycle(const t_uno &x, const t_pwm_pin &p)
{
    bool output = reg(x, p.p_ddr) & (1 << p.p_bit);
    bool level = reg(x, p.p_port) & (1 << p.p_bit);
    int com = (reg(x, p.p_tccra) >> p.p_com_shift) & 3;
    uint8_t a = reg(x, p.p_tccra), b = reg(x, p.p_tccra + 1);
    int wgm, top = -1;
    bool fast = false;
    unsigned ocr = reg(x, p.p_ocr);
    if (p.p_timer == 1) {
        ocr |= unsigned(reg(x, p.p_ocr + 1)) << 8;
        wgm = (a & 3) | ((b >> 1) & 0xC);
        unsigned icr = reg(x, ICR1L) | unsigned(reg(x, ICR1L + 1)) << 8;
        unsigned ocra = reg(x, OCR1AL) | unsigned(reg(x, OCR1AL + 1)) << 8;
        const int tops[16] = {-1, 0xFF, 0x1FF, 0x3FF, -1, 0xFF, 0x1FF, 0x3FF,
                              -2, -3,   -2,    -3,    -1, -1,   -2,    -3};
        top = tops[wgm] == -2 ? int(icr) : tops[wgm] == -3 ? int(ocra) : tops[wgm];
        fast = wgm == 5 || wgm == 6 || wgm == 7 || wgm == 14 || wgm == 15;
    } else {
        wgm = (a & 3) | ((b >> 1) & 4);
        const int tops[8] = {-1, 0xFF, -1, 0xFF, -1, -3, -1, -3};
        top = tops[wgm] == -3 ? reg(x, p.p_tccra + 3) : tops[wgm];
        fast = wgm == 3 || wgm == 7;
    }
    if (!output)
        return 0;
    // Compare output off, or not a PWM mode: the pin is a plain digital output.
    if (com < 2 || top <= 0)
        return level ? 1 : 0;
    double high = fast ? (ocr >= unsigned(top) ? 1 : (ocr + 1.0) / (top + 1.0))
                       : (ocr >= unsigned(top) ? 1 : double(ocr) / top);
    return com == 3 ? 1 - high : high; // 3: inverting
}

} // namespace

// A duty is told once two looks in a row agree: switching between PWM and
// a plain level (analogWrite of 0 or 255) passes through a few instructions
// of neither, which a look may land on.
void report_pwm(t_uno &x)
{
    for (auto &w : x.x_watch) {
        double d = duty_cycle(x, *w.w_pin);
        bool steady = d == w.w_seen;
        w.w_seen = d;
        if (steady && d != w.w_duty) {
            printf("pwm %d %g\n", w.w_pin->p_pin, d);
            fflush(stdout);
            w.w_duty = d;
        }
    }
}
