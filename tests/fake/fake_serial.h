// A serial backend for tests: named devices whose bytes, failures and short
// writes the test chooses, with a record of what the module did to them.
#pragma once

#include "serial.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace fakeserial {

enum t_op { op_open, op_getstate, op_setstate, op_gettimeouts, op_settimeouts, op_read, op_write };

struct t_device {
    // What the test sets.
    std::deque<uint8_t> input; // bytes waiting to be read
    bool endless = false;      // a byte is always waiting: frames carrying 0, 1, 2, ...
    char endless_tag = 'n';    // ... under this one-character tag
    bool fail[op_write + 1] = {};
    t_serial_open_error open_error = serial_open_missing; // why a failing open fails
    // Why an open of a port open already fails: Windows says access denied;
    // serial_open_ok lets it through, as wine does.
    t_serial_open_error held_error = serial_open_busy;
    int fail_write_at = -1;        // the n-th write (0-based) fails
    int short_write_at = -1;       // the n-th write reports success but sends one byte less
    std::deque<uint8_t> in_flight; // bytes that arrive while a read waits for them
    uint32_t line_errors = 0;      // serial_error_* bits the driver reports next
    // Bytes the output queue still takes, -1 for no limit. A write takes what
    // fits; one that cannot finish waits out its write timeouts and fails, as
    // on a port whose device stopped reading.
    int32_t room = -1;
    // What the module did.
    int opens = 0;
    int closes = 0;
    int reads = 0;
    int timed_waits = 0; // reads that found nothing and waited, as asked
    int writes = 0;
    uint64_t endless_next = 0; // bytes of the endless stream read so far
    bool open = false;
    t_commstate state{};
    t_commtimeouts timeouts{};
    std::vector<uint8_t> output; // every byte written
    std::vector<std::vector<uint8_t>> write_calls;
    std::vector<uint32_t> write_bounds; // ms each write was allowed, from the timeouts
    // Runs before each read, so a test can act between two reads of one poll.
    void (*on_read)(t_device &) = nullptr;
    // The bytes waiting are ones a backend has already taken from the system:
    // Pd's check for input does not see them.
    bool unseen = false;
    // What the ports listing tells of it.
    std::string alias, maker, product, serial, usb_id;
};

// The backend's clock runs in virtual time, so that the bounds on polls and
// writes cut where a test says and not where a busy host does: a read costs
// read_cost_us, a write that waits for room its whole write timeout.
constexpr int64_t read_cost_us = 1;

void reset();
// Makes the device exist (ports that were never added cannot be opened).
t_device &add(const std::string &name);
t_device &get(const std::string &name);
void remove(const std::string &name);
// Another name for the device `target`, as a link to a device node is: it
// opens the same device, which stays held whichever name opened it.
void link(const std::string &name, const std::string &target);
void feed(const std::string &name, const std::vector<uint8_t> &bytes);
// Byte i of the endless stream under a one-character tag.
uint8_t endless_byte(char tag, uint64_t i);
// Whether ports have a descriptor Pd's check can watch; false plays Windows.
extern bool watchable;
// What Pd's check finds of an open port's descriptor: bytes wait, or the
// port failed (its device gone, or its reads failing).
bool readable(int fd);

} // namespace fakeserial
