// veltrix-uno: a sketch's firmware on an emulated Arduino Uno (ATmega328P at
// 16 MHz), its serial port on a pseudo-terminal that [Veltrix open ...] can
// open, so that a sketch can be tried with Pd before there is a board.
#include <simavr/avr_adc.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_elf.h>
#include <simavr/sim_hex.h>
#include <simavr/sim_io.h>
extern "C" {
#include <simavr/parts/uart_pty.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "pty_link.h"

namespace {

constexpr const char *usage_text =
    R"(usage: veltrix-uno [options] FIRMWARE

Runs a sketch's firmware (an .elf or an Intel .hex built for an Arduino Uno,
such as the Arduino IDE's "Export compiled Binary") on an emulated
ATmega328P at 16 MHz. Its serial port (UART0, the Uno's USB port) is a
pseudo-terminal that a patch opens with [Veltrix open PATH].

  --link PATH       make PATH a symbolic link to the pseudo-terminal (default
                    /tmp/veltrix-uno0). A leftover link is replaced; the link
                    is removed on exit.
  --free            run as fast as the host allows instead of in real time;
                    the firmware's clock and its baud rate run faster with it.
  --analog PIN=V    the voltage on analog pin PIN (A0 to A5), in volts from 0
                    to 5 (the Uno's reference): --analog A0=2.5. Repeatable.
  --pwm PIN         print "pwm PIN DUTY" on standard output each time the
                    duty cycle of PWM pin PIN (3, 5, 6, 9, 10 or 11) changes,
                    DUTY from 0 (always low) to 1 (always high). Repeatable.
  --reset-on-open   reset the board each time a program opens the port, as a
                    real Uno does (without its bootloader's delay).
  --quit-after S    exit after S seconds.
  --quiet           no status lines on standard error (errors still are).
  --help            this text.

Standard input takes lines "A0 3.3" (a new voltage for A0) and "reset".
Status lines go to standard error: the link, when a program opens and closes
the port, and a warning when its baud rate differs from the firmware's (a
pseudo-terminal carries the bytes anyway; a real line would garble them).

Ends with exit status 0 on SIGINT (Ctrl-C), SIGTERM, SIGHUP or after
--quit-after; 1 when the firmware cannot be loaded or stops; 2 for bad
arguments.
)";

constexpr uint32_t clock_hz = 16000000;
constexpr uint32_t flash_size = 32768;
constexpr int analog_pins = 6;

// An Uno PWM pin: its port bit and its timer's compare output.
struct t_pwm_pin {
    int p_pin;
    uint8_t p_ddr, p_port, p_bit; // data direction and output registers
    int p_timer;                  // 0, 1 or 2
    uint8_t p_tccra, p_com_shift; // control register A, COMnx1:0 position
    uint8_t p_ocr;                // compare register (low byte for timer 1)
};

// Data memory addresses of the ATmega328P's registers.
constexpr uint8_t DDRB = 0x24, PORTB = 0x25, DDRD = 0x2A, PORTD = 0x2B;
constexpr uint8_t TCCR0A = 0x44, TCCR1A = 0x80, TCCR2A = 0xB0;
constexpr uint8_t ICR1L = 0x86, OCR1AL = 0x88;
constexpr uint8_t UCSR0A = 0xC0, UCSR0B = 0xC1, UBRR0L = 0xC4, UBRR0H = 0xC5;

constexpr t_pwm_pin pwm_pins[] = {
    {3, DDRD, PORTD, 3, 2, TCCR2A, 4, 0xB4},  {5, DDRD, PORTD, 5, 0, TCCR0A, 4, 0x48},
    {6, DDRD, PORTD, 6, 0, TCCR0A, 6, 0x47},  {9, DDRB, PORTB, 1, 1, TCCR1A, 6, 0x88},
    {10, DDRB, PORTB, 2, 1, TCCR1A, 4, 0x8A}, {11, DDRB, PORTB, 3, 2, TCCR2A, 6, 0xB3},
};

struct t_watch {
    const t_pwm_pin *w_pin;
    double w_duty; // last reported, or -1
    double w_seen; // at the last look
};

struct t_options {
    std::string x_firmware;
    std::string x_link = "/tmp/veltrix-uno0";
    bool x_free = false;
    double x_volts[analog_pins] = {-1, -1, -1, -1, -1, -1}; // -1: not set
    std::vector<int> x_pwm;
    bool x_reset_on_open = false;
    double x_quit_after = -1;
    bool x_quiet = false;
};

struct t_uno {
    t_options x_opt;
    avr_t *x_avr = nullptr;
    uart_pty_t x_pty;
    std::string x_slave;
    std::vector<t_watch> x_watch;
    int x_notify = -1;  // inotify on the slave: who opens it
    int x_drain = -1;   // our own end of the slave, to drop unread bytes
    int x_opens = 0;    // programs holding the port
    double x_start = 0; // wall time at which x_base cycles ran
    avr_cycle_count_t x_base = 0;
    long x_mismatch = 0; // the pty's baud rate last found to differ
    bool x_mismatch_told = false;
    std::string x_stdin;
    bool x_stdin_done = false;
};

volatile sig_atomic_t quit_signal = 0;

void on_quit(int sig)
{
    quit_signal = sig;
}

void error(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("veltrix-uno: error: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
}

void status(const t_uno &x, const char *fmt, ...)
{
    if (x.x_opt.x_quiet)
        return;
    va_list ap;
    va_start(ap, fmt);
    fputs("veltrix-uno: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
}

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// ---- arguments ----

bool parse_double(const char *s, double *out)
{
    char *end;
    errno = 0;
    double v = strtod(s, &end);
    if (end == s || *end || errno || !std::isfinite(v))
        return false;
    *out = v;
    return true;
}

// "A0" to "A5" (or "0" to "5").
int analog_index(const std::string &name)
{
    std::string n = name;
    if (!n.empty() && (n[0] == 'A' || n[0] == 'a'))
        n.erase(0, 1);
    if (n.size() != 1 || n[0] < '0' || n[0] >= '0' + analog_pins)
        return -1;
    return n[0] - '0';
}

bool valid_volts(double v)
{
    return v >= 0 && v <= 5;
}

// 0 when done, 1 for --help, 2 for bad arguments.
int parse_args(t_options *o, int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(usage_text, stdout);
            return 1;
        }
        if (a == "--free" || a == "--quiet" || a == "--reset-on-open") {
            (a == "--free" ? o->x_free : a == "--quiet" ? o->x_quiet : o->x_reset_on_open) = true;
            continue;
        }
        if (a.rfind("--", 0) != 0) {
            if (!o->x_firmware.empty()) {
                error("one firmware only (see --help)");
                return 2;
            }
            o->x_firmware = a;
            continue;
        }
        if (i + 1 >= argc) {
            error("%s needs a value (see --help)", a.c_str());
            return 2;
        }
        const char *v = argv[++i];
        bool ok = true;
        if (a == "--link") {
            o->x_link = v;
            ok = *v != '\0';
        } else if (a == "--analog") {
            std::string s = v;
            size_t eq = s.find('=');
            int pin = eq == std::string::npos ? -1 : analog_index(s.substr(0, eq));
            double volts;
            ok = pin >= 0 && parse_double(s.c_str() + eq + 1, &volts) && valid_volts(volts);
            if (ok)
                o->x_volts[pin] = volts;
        } else if (a == "--pwm") {
            int pin = atoi(v);
            ok = false;
            for (auto &p : pwm_pins)
                ok |= p.p_pin == pin && std::to_string(pin) == v;
            if (ok && std::find(o->x_pwm.begin(), o->x_pwm.end(), pin) == o->x_pwm.end())
                o->x_pwm.push_back(pin);
        } else if (a == "--quit-after") {
            ok = parse_double(v, &o->x_quit_after) && o->x_quit_after >= 0;
        } else {
            error("unknown option %s (see --help)", a.c_str());
            return 2;
        }
        if (!ok) {
            error("bad value '%s' for %s (see --help)", v, a.c_str());
            return 2;
        }
    }
    if (o->x_firmware.empty()) {
        error("no firmware given (see --help)");
        return 2;
    }
    return 0;
}

// ---- the board ----

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
    x.x_start = now();
    x.x_base = x.x_avr->cycle;
}

// The library chats on standard output, which is ours for the "pwm" lines.
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
        for (auto &p : pwm_pins)
            if (p.p_pin == pin)
                x.x_watch.push_back({&p, -1, -1});
    return true;
}

// ---- PWM ----

uint8_t reg(const t_uno &x, uint8_t addr)
{
    return x.x_avr->data[addr];
}

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

// ---- the port ----

bool open_port(t_uno &x)
{
    int saved = mute_stdout();
    uart_pty_init(x.x_avr, &x.x_pty);
    uart_pty_connect(&x.x_pty, '0');
    unmute_stdout(saved);
    x.x_slave = x.x_pty.port[0].slavename;
    std::string why;
    if (x.x_slave.empty())
        return false;
    if (!pty_link_make(x.x_opt.x_link, x.x_slave, &why)) {
        error("%s", why.c_str());
        return false;
    }
    // Opens and closes of the slave, other than ours, are the patch's.
    x.x_drain = open(x.x_slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    x.x_notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (x.x_notify >= 0)
        inotify_add_watch(x.x_notify, x.x_slave.c_str(), IN_OPEN | IN_CLOSE);
    status(x, "%s -> %s", x.x_opt.x_link.c_str(), x.x_slave.c_str());
    return true;
}

// Bytes the firmware sends while no program holds the port are lost, as on a
// real board, rather than kept for the next program or blocking the part.
void drain(t_uno &x)
{
    char buf[512];
    if (x.x_opens == 0 && x.x_drain >= 0)
        while (read(x.x_drain, buf, sizeof buf) > 0) {
        }
}

void check_open(t_uno &x)
{
    if (x.x_notify < 0)
        return;
    alignas(inotify_event) char buf[4096];
    ssize_t n;
    while ((n = read(x.x_notify, buf, sizeof buf)) > 0) {
        for (char *p = buf; p < buf + n;) {
            auto *e = reinterpret_cast<inotify_event *>(p);
            bool was_open = x.x_opens > 0;
            if (e->mask & IN_OPEN)
                x.x_opens++;
            else if ((e->mask & IN_CLOSE) && x.x_opens > 0)
                x.x_opens--;
            if (!was_open && x.x_opens > 0) {
                status(x, "the patch opened the port");
                x.x_mismatch = 0;
                x.x_mismatch_told = false;
                if (x.x_opt.x_reset_on_open) {
                    reset_board(x);
                    status(x, "reset");
                }
            } else if (was_open && x.x_opens == 0) {
                status(x, "the patch closed the port");
            }
            p += sizeof(inotify_event) + e->len;
        }
    }
}

long speed_of(speed_t s)
{
    static const struct {
        speed_t s;
        long baud;
    } table[] = {{B300, 300},       {B1200, 1200},       {B2400, 2400},      {B4800, 4800},
                 {B9600, 9600},     {B19200, 19200},     {B38400, 38400},    {B57600, 57600},
                 {B115200, 115200}, {B230400, 230400},   {B460800, 460800},  {B500000, 500000},
                 {B921600, 921600}, {B1000000, 1000000}, {B2000000, 2000000}};
    for (auto &t : table)
        if (t.s == s)
            return t.baud;
    return 0;
}

// The patch's baud rate against the firmware's: told once per port opening,
// when it differs on two checks in a row (the patch sets it just after opening).
void check_baud(t_uno &x)
{
    if (x.x_opens == 0 || !(reg(x, UCSR0B) & 0x18)) // receiver and transmitter off
        return;
    termios tio;
    if (tcgetattr(x.x_pty.port[0].s, &tio) != 0)
        return;
    long patch = speed_of(cfgetospeed(&tio));
    unsigned ubrr = reg(x, UBRR0L) | unsigned(reg(x, UBRR0H) & 0x0F) << 8;
    double board = clock_hz / ((reg(x, UCSR0A) & 2) ? 8.0 : 16.0) / (ubrr + 1);
    bool differs = patch > 0 && std::fabs(patch - board) > 0.04 * board;
    if (differs && patch == x.x_mismatch && !x.x_mismatch_told) {
        status(x,
               "warning: the port is set to %ld baud, the firmware's serial to %.0f: "
               "a real board would garble every byte",
               patch, board);
        x.x_mismatch_told = true;
    }
    x.x_mismatch = differs ? patch : 0;
}

// ---- standard input ----

void command(t_uno &x, const std::string &line)
{
    char name[16];
    double volts;
    char extra;
    if (line.empty())
        return;
    if (line == "reset") {
        reset_board(x);
        status(x, "reset");
    } else if (sscanf(line.c_str(), "%15s %lf %c", name, &volts, &extra) == 2 &&
               analog_index(name) >= 0 && valid_volts(volts)) {
        int pin = analog_index(name);
        x.x_opt.x_volts[pin] = volts;
        set_volts(x, pin, volts);
    } else {
        error("ignored '%s': give \"A0 2.5\" (A0 to A5, 0 to 5 volts) or \"reset\"", line.c_str());
    }
}

void read_stdin(t_uno &x)
{
    if (x.x_stdin_done)
        return;
    pollfd p{0, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0)
        return;
    char buf[512];
    ssize_t n = read(0, buf, sizeof buf);
    if (n <= 0) {
        x.x_stdin_done = true;
        return;
    }
    x.x_stdin.append(buf, size_t(n));
    size_t nl;
    while ((nl = x.x_stdin.find('\n')) != std::string::npos) {
        std::string line = x.x_stdin.substr(0, nl);
        x.x_stdin.erase(0, nl + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        command(x, line);
    }
}

// ---- running ----

// Runs until a signal, --quit-after or the firmware's end; the exit status.
int run(t_uno &x)
{
    double started = now(), next_check = 0;
    x.x_start = started;
    x.x_base = x.x_avr->cycle;
    for (;;) {
        // About 0.1 ms of the board's time between looks at the world.
        for (int i = 0; i < 1000; i++) {
            int state = avr_run(x.x_avr);
            if (state == cpu_Done || state == cpu_Crashed) {
                error("the firmware %s", state == cpu_Done ? "stopped" : "crashed");
                return 1;
            }
        }
        report_pwm(x);
        double t = now();
        if (t >= next_check) {
            if (quit_signal)
                return 0;
            if (x.x_opt.x_quit_after >= 0 && t - started >= x.x_opt.x_quit_after)
                return 0;
            check_open(x);
            drain(x);
            check_baud(x);
            read_stdin(x);
            next_check = t + 0.01;
        }
        if (!x.x_opt.x_free) {
            double ahead = double(x.x_avr->cycle - x.x_base) / clock_hz - (t - x.x_start);
            if (ahead > 0.001) {
                timespec ts{0, long(ahead * 1e9)};
                nanosleep(&ts, nullptr);
            } else if (ahead < -0.25) {
                // The host fell behind: catch up no faster than real time.
                x.x_start = t;
                x.x_base = x.x_avr->cycle;
            }
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    static t_uno x; // the part's buffers are large for a stack
    int rc = parse_args(&x.x_opt, argc, argv);
    if (rc)
        return rc == 1 ? 0 : rc;
    struct sigaction sa {};
    sa.sa_handler = on_quit;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (!load_board(x))
        return 1;
    if (!open_port(x)) {
        pty_link_remove("/tmp/simavr-uart0", x.x_slave);
        return 1;
    }
    double started = now();
    rc = run(x);
    if (quit_signal)
        status(x, "stopped by signal %d", int(quit_signal));
    status(x, "%.2f s of the board's time in %.2f s", double(x.x_avr->cycle) / clock_hz,
           now() - started);
    pty_link_remove(x.x_opt.x_link, x.x_slave);
    pty_link_remove("/tmp/simavr-uart0", x.x_slave);
    // Not uart_pty_stop(): its thread join can hang after a signal. Exiting
    // ends the thread and closes the pseudo-terminal.
    fflush(stdout);
    _exit(rc);
}
