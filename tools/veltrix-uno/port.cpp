#include "uno.h"

#include "pty_link.h"
#include "tool.h"

#include <cmath>
#include <cstdio>

#include <fcntl.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

namespace {

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

} // namespace

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
    status("%s -> %s", x.x_opt.x_link.c_str(), x.x_slave.c_str());
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
                status("the patch opened the port");
                x.x_mismatch = 0;
                x.x_mismatch_told = false;
                if (x.x_opt.x_reset_on_open) {
                    start_bootloader(x);
                    status("reset");
                }
            } else if (was_open && x.x_opens == 0) {
                status("the patch closed the port");
            }
            p += sizeof(inotify_event) + e->len;
        }
    }
}

// The UART divides the clock, so most rates come out a little off: the
// sketch's Serial.begin(115200) makes 117647 baud at 16 MHz. The rate the
// sketch asked for is the usual rate nearest to it; people know that one.
std::string describe_rate(double uart_baud)
{
    static const long usual[] = {300,    600,    1200,   2400,   4800,   9600,    14400,
                                 19200,  28800,  31250,  38400,  57600,  74880,   115200,
                                 230400, 250000, 460800, 500000, 921600, 1000000, 2000000};
    long asked = 0;
    for (long u : usual)
        if (std::fabs(uart_baud - u) <= 0.05 * u &&
            (!asked || std::fabs(uart_baud - u) < std::fabs(uart_baud - asked)))
            asked = u;
    char text[80];
    if (asked && std::lround(uart_baud) == asked)
        snprintf(text, sizeof text, "%ld", asked);
    else if (asked)
        snprintf(text, sizeof text, "%ld (%.0f on a 16 MHz Uno)", asked, uart_baud);
    else
        snprintf(text, sizeof text, "%.0f", uart_baud);
    return text;
}

// The patch's baud rate against the firmware's: told once per port opening,
// when it differs on two checks in a row (the patch sets it just after opening).
void check_baud(t_uno &x)
{
    // Serial.begin sets the rate, then turns the receiver and the transmitter
    // on together. Just after a reset the transmitter alone was seen on, with
    // no rate set yet: a warning then named 1000000 baud.
    if (x.x_opens == 0 || (reg(x, UCSR0B) & 0x18) != 0x18)
        return;
    termios tio;
    if (tcgetattr(x.x_pty.port[0].s, &tio) != 0)
        return;
    long patch = speed_of(cfgetospeed(&tio));
    unsigned ubrr = reg(x, UBRR0L) | unsigned(reg(x, UBRR0H) & 0x0F) << 8;
    double board = clock_hz / ((reg(x, UCSR0A) & 2) ? 8.0 : 16.0) / (ubrr + 1);
    bool differs = patch > 0 && std::fabs(patch - board) > 0.04 * board;
    if (differs && patch == x.x_mismatch && !x.x_mismatch_told) {
        status("warning: the port is set to %ld baud, the firmware's serial to %s: "
               "a real board would garble every byte",
               patch, describe_rate(board).c_str());
        x.x_mismatch_told = true;
    }
    x.x_mismatch = differs ? patch : 0;
}
