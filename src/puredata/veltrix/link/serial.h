// The serial port operations the board logic needs, one backend per platform.
// Every backend defines its own t_serial; callers only ever hold the pointer.
#pragma once

#include <chrono>
#include <cstdint>

struct t_serial;

// Line settings. The four fields are the ones a board changes; `platform`
// carries everything else the port had when read, so that writing the record
// back leaves those settings as they were found.
struct t_commstate {
    int32_t baudrate;
    uint8_t bytesize;
    uint8_t stopbits;
    uint8_t parity;
    alignas(8) unsigned char platform[128];
};

// Stop bits and parity as the fields hold them.
constexpr uint8_t serial_stop_one = 0;
constexpr uint8_t serial_stop_one_half = 1;
constexpr uint8_t serial_stop_two = 2;
constexpr uint8_t serial_parity_none = 0;
constexpr uint8_t serial_parity_odd = 1;
constexpr uint8_t serial_parity_even = 2;

// Milliseconds. A read that finds nothing waiting may wait up to
// read_constant + read_multiplier x bytes asked, and read_interval between
// two bytes once one came; a write waits for room at most write_constant +
// write_multiplier x length. All read fields zero, or both write fields
// zero: no bound.
struct t_commtimeouts {
    uint32_t read_interval;
    uint32_t read_multiplier;
    uint32_t read_constant;
    uint32_t write_multiplier;
    uint32_t write_constant;
};

// The contract every backend keeps. All calls run on Pd's scheduler thread
// and return within the bounds given here: no call may hold it longer.
// Results are nonzero on success, zero on failure; only an open tells why.

// Why an open failed, as far as the system says.
enum t_serial_open_error : uint8_t {
    serial_open_ok = 0,
    serial_open_missing,    // no such port (never there, or unplugged)
    serial_open_denied,     // no permission; on Windows also a port another program holds
    serial_open_busy,       // another program (or board) holds it
    serial_open_not_serial, // the name is something else (a directory, a file)
    serial_open_other,      // any other reason
};

// Exclusive read-write access by name, where the system enforces it: a port
// another program or another board holds is refused. Null when the port
// cannot be opened, with the reason in *why when given.
t_serial *serial_open(const char *name, t_serial_open_error *why = nullptr);
// The port's present settings; fails on what is not a serial port.
int serial_getstate(t_serial *port, t_commstate *state);
// Applies the four fields over `platform` as read; fails on settings the
// port refuses (a rate it cannot do, a zero or negative rate).
int serial_setstate(t_serial *port, const t_commstate *state);
// The timeouts the next reads and writes keep. A backend that keeps them
// itself cannot fail here.
int serial_gettimeouts(t_serial *port, t_commtimeouts *timeouts);
int serial_settimeouts(t_serial *port, const t_commtimeouts *timeouts);
// How long a read may wait when no byte is waiting.
enum t_serial_wait : uint8_t {
    serial_now,  // answer at once: nothing is on its way
    serial_rest, // a message is half read: give its rest the read timeouts
};
// Nonzero with *count 1 and the byte, nonzero with *count 0 when nothing came
// at once, or within the read timeouts when `wait` is serial_rest; zero when
// the port failed (a hang-up included): the caller then closes it. With
// serial_now a read never waits, so an idle poll costs no timed read. A read
// takes only what the system has already handed to the port's reader: bytes
// it still holds on their way (Linux's tty layer moves them in a worker
// thread) come at a later read, so that no read waits for the system's work.
int serial_read(t_serial *port, uint8_t *byte, uint32_t *count, t_serial_wait wait);
// Line errors the driver reported since the last call, as serial_error_*
// bits, and clears them: bytes were lost or garbled, but the port still
// works, so they never fail a read. Zero when the port saw none or cannot
// tell. Returns at once.
enum : uint32_t { serial_error_overrun = 1, serial_error_framing = 2, serial_error_parity = 4 };
uint32_t serial_line_errors(t_serial *port);
// Nonzero only when all `length` bytes went out; *written says how many did,
// never more than went. It waits for room in the port's output queue at most
// the write timeouts. Where the platform tells the room left, bytes that do
// not all fit are not begun. A port whose last write ran out of time and
// that still takes nothing may fail at once, without waiting. A failed write
// leaves the port open and usable.
int serial_write(t_serial *port, const uint8_t *data, int32_t length, int32_t *written);
// Releases the port and its lock; null is ignored. Never fails.
void serial_close(t_serial *port);
// Whether the system's ports have a descriptor that Pd's own check for input
// (select(), once per scheduler loop) can watch: not on Windows, whose
// select() takes sockets only.
bool serial_watchable();
// That descriptor of an open port, -1 where there is none. It is readable
// while bytes wait and once the port failed (a hang-up), so that the read
// that fails comes too, and the host's check never waits on it. Bytes a read
// has already taken from the system and not yet handed out (see serial_read)
// need not make it readable.
int serial_descriptor(t_serial *port);
// Nonzero when `name` names the device `port` has open, whatever name it was
// opened by: a link to it, or another spelling the system takes for the same
// port. Opens nothing; returns at once.
int serial_same_device(t_serial *port, const char *name);

// The monotonic clock, in microseconds, that the bounds on polls and writes
// are kept by. It comes with the backend, so that a backend for tests can
// run it in virtual time.
int64_t serial_clock_us();

// serial_clock_us as a clock for <chrono>.
struct t_serial_clock {
    using duration = std::chrono::microseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<t_serial_clock>;
    static constexpr bool is_steady = true;
    static time_point now() { return time_point(duration(serial_clock_us())); }
};
