// veltrix-uno: a sketch's firmware on an emulated Arduino Uno (ATmega328P at
// 16 MHz), its serial port on a pseudo-terminal that [Veltrix open ...] can
// open, so that a sketch can be tried with Pd before there is a board.
//   options.cpp     the command line
//   board.cpp       the chip, its firmware, its analog pins
//   pwm.cpp         the duty cycles of the PWM pins
//   port.cpp        the serial port's pseudo-terminal, who opens it, its rate
#include "pty_link.h"
#include "tool.h"
#include "uno.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <poll.h>
#include <time.h>
#include <unistd.h>

const char tool_name[] = "veltrix-uno";

namespace {

volatile sig_atomic_t quit_signal = 0;

void on_quit(int sig)
{
    quit_signal = sig;
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
        status("reset");
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
    double started = now_seconds(), next_check = 0;
    x.x_start = started;
    x.x_base = x.x_avr->cycle;
    for (;;) {
        // About 0.1 ms of the board's time between looks at the world.
        bool held = in_bootloader(x);
        for (int i = 0; i < 1000 && !held; i++) {
            int state = avr_run(x.x_avr);
            if (state == cpu_Done || state == cpu_Crashed) {
                error("the firmware %s", state == cpu_Done ? "stopped" : "crashed");
                return 1;
            }
        }
        report_pwm(x);
        double t = now_seconds();
        if (t >= next_check) {
            if (quit_signal)
                return 0;
            if (x.x_opt.x_quit_after >= 0 && t - started >= x.x_opt.x_quit_after)
                return 0;
            check_open(x);
            drain(x);
            if (!held) // the bootloader's rate is not the sketch's
                check_baud(x);
            read_stdin(x);
            next_check = t + 0.01;
        }
        if (held) {
            timespec ts{0, 1000000};
            nanosleep(&ts, nullptr);
        } else if (!x.x_opt.x_free) {
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
    int rc = parse_options(argc, argv, &x.x_opt);
    if (rc)
        return rc < 0 ? 0 : rc;
    tool_quiet = x.x_opt.x_quiet;
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
    double started = now_seconds();
    rc = run(x);
    if (quit_signal)
        status("stopped by signal %d", int(quit_signal));
    status("%.2f s of the board's time in %.2f s", double(x.x_avr->cycle) / clock_hz,
           now_seconds() - started);
    pty_link_remove(x.x_opt.x_link, x.x_slave);
    pty_link_remove("/tmp/simavr-uart0", x.x_slave);
    // Not uart_pty_stop(): its thread join can hang after a signal. Exiting
    // ends the thread and closes the pseudo-terminal.
    fflush(stdout);
    _exit(rc);
}
