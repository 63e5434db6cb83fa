// The simulated board: its port, the frames on their way in and out, and
// what makes them.
#pragma once

#include "frame.h"
#include "options.h"
#include "port.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct t_sim {
    t_options x_opt;
    t_port x_port;
    veltrix::t_frame_decoder x_dec{};
    std::vector<uint8_t> x_raw; // the bytes of the frame being read
    std::vector<uint8_t> x_out; // frames waiting for the port
    size_t x_out_head = 0;
    std::string x_stdin;
    bool x_stdin_done = false;
    long long x_counter_value = 0;
    long long x_ticks = 0; // generator ticks so far
    long long x_sequence_next = 0;
    double x_sequence_start = -1;
};

// ---- frames in and out (frames.cpp) ----

void queue_frame(t_sim &x, const char *tag, float value);
size_t out_pending(const t_sim &x);
// Drops the frames not yet written, as a hang-up does.
void drop_out(t_sim &x);
// Writes what the port takes now; false when the port failed.
bool flush_out(t_sim &x);
// Reads and prints what the port has (and echoes it, with --echo); false
// when the port or standard output failed.
bool read_port(t_sim &x);
// Called when standard input is readable: queues a frame for each whole
// line "tag value".
void read_stdin(t_sim &x);

// ---- what the board sends by itself (generators.cpp) ----

// The counter's and the sine's frames for the ticks due by `now`.
void generate(t_sim &x, double start, double now);
// Keeps the sequence's next frames ready while the patch holds the port.
void refill_sequence(t_sim &x, double now);
// Whether the whole sequence has been queued and written.
bool sequence_written(const t_sim &x);
