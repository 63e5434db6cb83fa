// veltrix-uno's command line.
#pragma once

#include "atmega328p.h"

#include <string>
#include <vector>

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

// 0 to go on, -1 when the help was printed, otherwise the exit status (2 for
// a bad argument, with an error printed).
int parse_options(int argc, char **argv, t_options *o);

// "A0" to "A5" (or "0" to "5"): the pin's index, or -1.
int analog_index(const std::string &name);
// Whether `volts` is a voltage an analog pin takes (0 to 5).
bool valid_volts(double volts);
