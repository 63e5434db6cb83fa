// veltrix-board's command line.
#pragma once

#include <string>

struct t_options {
    std::string x_link;
    std::string x_port;
    long x_baud = 115200;
    std::string x_counter;
    std::string x_sine;
    double x_freq = 0.5;
    double x_rate = 10;
    std::string x_sequence;
    long long x_count = 1000;
    bool x_echo = false;
    double x_hangup_after = -1;
    double x_hangup_for = 0;
    double x_quit_after = -1;
    bool x_hex = false;
    bool x_quiet = false;
};

// 0 to go on, -1 when the help was printed, otherwise the exit status (2 for
// a bad argument, with an error printed).
int parse_options(int argc, char **argv, t_options *o);
