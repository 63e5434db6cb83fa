// The emulated Uno: the simulated chip, its serial port on a pseudo-terminal,
// and the pins watched for the patch.
#pragma once

#include "options.h"

#include <simavr/sim_avr.h>
extern "C" {
#include <simavr/parts/uart_pty.h>
}

#include <string>
#include <vector>

struct t_watch {
    const t_pwm_pin *w_pin;
    double w_duty; // last reported, or -1
    double w_seen; // at the last look
};

struct t_uno {
    t_options x_opt;
    avr_t *x_avr = nullptr;
    uart_pty_t x_pty;
    std::string x_slave;
    std::vector<t_watch> x_watch;
    int x_notify = -1;     // inotify on the slave: who opens it
    int x_drain = -1;      // our own end of the slave, to drop unread bytes
    int x_opens = 0;       // programs holding the port
    double x_start = 0;    // wall time at which x_base cycles ran
    double x_boot_end = 0; // wall time the bootloader hands over to the sketch, 0: it has
    avr_cycle_count_t x_base = 0;
    long x_mismatch = 0; // the pty's baud rate last found to differ
    bool x_mismatch_told = false;
    std::string x_stdin;
    bool x_stdin_done = false;
};

// A register of the chip, by its data memory address.
inline uint8_t reg(const t_uno &x, uint8_t addr)
{
    return x.x_avr->data[addr];
}

// ---- the chip and its firmware (board.cpp) ----

// Makes the chip and loads the firmware the options name; false, with the
// error printed, when it cannot.
bool load_board(t_uno &x);
// Resets the chip, as its reset button does.
void reset_board(t_uno &x);
// What a Uno's bootloader does after the reset that opening the port makes:
// it listens for a second before the sketch starts, and what comes meanwhile
// never reaches the sketch.
constexpr double boot_seconds = 1;
void start_bootloader(t_uno &x);
// While the bootloader runs: true, and the bytes that came are gone.
bool in_bootloader(t_uno &x);
// Puts `volts` on analog pin `pin` (0 to 5).
void set_volts(t_uno &x, int pin, double volts);
// simavr's library chats on standard output, which is ours for the "pwm"
// lines: mute_stdout() around its calls, unmute_stdout() with what it gave.
int mute_stdout();
void unmute_stdout(int saved);

// ---- PWM (pwm.cpp) ----

// Prints "pwm PIN DUTY" for each watched pin whose duty cycle changed.
void report_pwm(t_uno &x);

// ---- the port (port.cpp) ----

// Makes the pseudo-terminal and its link; false, with the error printed,
// when it cannot.
bool open_port(t_uno &x);
// Notes programs opening and closing the port (a status line for each
// change, a reset with --reset-on-open).
void check_open(t_uno &x);
// Drops what the firmware sent while no program holds the port.
void drain(t_uno &x);
// Warns once per opening when the patch's baud rate is not the firmware's.
void check_baud(t_uno &x);
// The firmware's rate as its sketch asked for it, with what the UART
// really makes at 16 MHz: "115200 (117647 on a 16 MHz Uno)".
std::string describe_rate(double uart_baud);
