#include "options.h"

#include "tool.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

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
                    real Uno does: its bootloader listens for a second, then
                    the sketch starts; what comes meanwhile is lost.
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

} // namespace

int analog_index(const std::string &name)
{
    std::string n = name;
    if (!n.empty() && (n[0] == 'A' || n[0] == 'a'))
        n.erase(0, 1);
    if (n.size() != 1 || n[0] < '0' || n[0] >= '0' + analog_pins)
        return -1;
    return n[0] - '0';
}

bool valid_volts(double volts)
{
    return volts >= 0 && volts <= 5;
}

int parse_options(int argc, char **argv, t_options *o)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(usage_text, stdout);
            return -1;
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
            ok = pwm_pin(pin) && std::to_string(pin) == v;
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
