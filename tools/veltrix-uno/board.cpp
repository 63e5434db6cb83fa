#include "uno.h"

#include "tool.h"

#include <simavr/avr_adc.h>
#include <simavr/sim_elf.h>
#include <simavr/sim_hex.h>
#include <simavr/sim_io.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The firmware sleeps on the host's clock through the throttle, or not at all.
void no_sleep(avr_t *, avr_cycle_count_t) {}

bool ends_with(const std::string &s, const char *tail)
{
    size_t n = strlen(tail);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, tail) == 0;
}

// Intel HEX, as the Arduino IDE exports it: flash contents only.
bool load_hex(t_uno &x)
{
    ihex_chunk_p chunks = nullptr;
    int saved = mute_stdout();
    int n = read_ihex_chunks(x.x_opt.x_firmware.c_str(), &chunks);
    unmute_stdout(saved);
    bool ok = n > 0;
    for (int i = 0; ok && i < n; i++)
        ok = chunks[i].baseaddr + chunks[i].size <= flash_size;
    for (int i = 0; ok && i < n; i++)
        avr_loadcode(x.x_avr, chunks[i].data, chunks[i].size, chunks[i].baseaddr);
    if (n > 0)
        free_ihex_chunks(chunks);
    return ok;
}

bool load_elf(t_uno &x)
{
    elf_firmware_t f;
    memset(&f, 0, sizeof f);
    int saved = mute_stdout();
    bool ok = elf_read_firmware(x.x_opt.x_firmware.c_str(), &f) == 0 && f.flashsize > 0 &&
              f.flashsize <= flash_size;
    unmute_stdout(saved);
    if (ok && f.mmcu[0] && strcmp(f.mmcu, "atmega328p") != 0) {
        error("%s is built for %s, not for the Uno's atmega328p", x.x_opt.x_firmware.c_str(),
              f.mmcu);
        return false;
    }
    saved = mute_stdout();
    if (ok)
        avr_load_firmware(x.x_avr, &f);
    unmute_stdout(saved);
    return ok;
}

} // namespace

void set_volts(t_uno &x, int pin, double volts)
{
    avr_irq_t *irq = avr_io_getirq(x.x_avr, AVR_IOCTL_ADC_GETIRQ, ADC_IRQ_ADC0 + pin);
    if (irq)
        avr_raise_irq(irq, uint32_t(std::lround(volts * 1000))); // in millivolts
}

void reset_board(t_uno &x)
{
    avr_reset(x.x_avr);
    // What the pins are connected to stays as it was.
    for (int pin = 0; pin < analog_pins; pin++)
        if (x.x_opt.x_volts[pin] >= 0)
            set_volts(x, pin, x.x_opt.x_volts[pin]);
    x.x_start = now_seconds();
    x.x_base = x.x_avr->cycle;
}

void start_bootloader(t_uno &x)
{
    reset_board(x);
    x.x_boot_end = now_seconds() + boot_seconds;
}

bool in_bootloader(t_uno &x)
{
    if (x.x_boot_end == 0)
        return false;
    // The chip is held; its UART, off since the reset, drops every byte the
    // part hands it, which it does only while it thinks there is room.
    x.x_pty.xon = 1;
    if (now_seconds() < x.x_boot_end)
        return true;
    x.x_boot_end = 0;
    x.x_start = now_seconds();
    x.x_base = x.x_avr->cycle;
    return false;
}

int mute_stdout()
{
    fflush(stdout);
    int saved = dup(1), null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, 1);
        close(null);
    }
    return saved;
}

void unmute_stdout(int saved)
{
    fflush(stdout);
    if (saved >= 0) {
        dup2(saved, 1);
        close(saved);
    }
}

bool load_board(t_uno &x)
{
    const std::string &name = x.x_opt.x_firmware;
    struct stat st;
    if (stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error("cannot read the firmware %s", name.c_str());
        return false;
    }
    x.x_avr = avr_make_mcu_by_name("atmega328p");
    if (!x.x_avr || avr_init(x.x_avr) != 0) {
        error("cannot make an emulated atmega328p");
        return false;
    }
    if (!(ends_with(name, ".hex") ? load_hex(x) : load_elf(x))) {
        error("cannot load the firmware %s (an ELF or Intel HEX file for the ATmega328P)",
              name.c_str());
        return false;
    }
    x.x_avr->frequency = clock_hz;
    x.x_avr->vcc = x.x_avr->avcc = x.x_avr->aref = 5000;
    x.x_avr->sleep = no_sleep;
    for (int pin = 0; pin < analog_pins; pin++)
        if (x.x_opt.x_volts[pin] >= 0)
            set_volts(x, pin, x.x_opt.x_volts[pin]);
    for (int pin : x.x_opt.x_pwm)
        x.x_watch.push_back({pwm_pin(pin), -1, -1});
    return true;
}
