// Where the board is: the device end of a pseudo-terminal that the patch
// opens through a link, or a real serial port. The kind is chosen once, when
// the port opens; the rest of the tool never asks which it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct t_serial;
struct t_port_kind;

struct t_port {
    const t_port_kind *x_kind = nullptr; // null while closed
    std::string x_link;                  // a pseudo-terminal behind this link,
    std::string x_device;                // or this real port
    long x_baud = 115200;                // of the real port
    bool x_held = false;                 // the patch holds the port
    int x_master = -1;                   // the pseudo-terminal's device end
    std::string x_slave;                 // and the path the patch opens
    double x_drain_since = -1;           // when its queue was last seen empty
    t_serial *x_serial = nullptr;        // the real port
    double x_line_free = 0;              // when its line has sent all it took
};

// What port_wait found ready.
enum : int { port_input = 1, port_other = 2 };

// Opens the port `x` names; false, with the error printed, when it cannot.
bool port_open(t_port &x);
// Closes it, and removes the link if it is still ours.
void port_close(t_port &x);
// Whether the patch holds the port now; a status line tells of each change.
// A real line has no way to tell, and is taken as held.
bool port_held(t_port &x);
// Takes up to `size` bytes that came in: their count, 0 when there are none
// now, -1 when the port failed (error printed).
long port_read(t_port &x, uint8_t *buf, size_t size);
// Hands the port what it takes now: the count, 0 while it is full or not
// held, -1 when it failed (error printed).
long port_write(t_port &x, const uint8_t *data, size_t size);
// Sleeps at most `ms` until the port has input (or room, when `writing`) or
// the descriptor `other` (-1 for none) is readable; port_input and
// port_other say which, -1 when waiting failed (error printed).
int port_wait(t_port &x, int ms, bool writing, int other);
// Once all that was written has reached the patch: the moment it had, -1
// until then.
double port_drained(t_port &x, double now);
