// Board connection and polling: one clock per board, a connection attempt
// each second until the port is set up, then a poll every 100 ms, or as often
// as the patch asks with `poll <ms>`.
#include "../Veltrix.h"
#include "frame.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace {

constexpr double retry_delay = 1000;
constexpr double poll_delay = 100;
constexpr double poll_fastest = 1;
constexpr double poll_slowest = 1000;
constexpr int32_t baudrate_low = 1200;
constexpr int32_t baudrate_high = 230400;

using t_time = std::chrono::steady_clock;

// A board that streams without pause would otherwise keep Pd's scheduler in
// the poll for good. 5 ms is a fifth of Pd's default 25 ms audio buffer; at
// 115200 baud a whole poll interval's bytes drain in far less, so the bound
// only bites on faster streams, whose rest waits in the port for the next tick.
// Boards created together are polled at the same logical time, so they share
// the bound, each keeping a floor share so that none starves.
constexpr t_time::duration poll_budget = std::chrono::milliseconds(5);
constexpr t_time::duration poll_share = poll_budget / Veltrix_max_boards;

struct t_pollbudget {
    double logical_time;
    t_time::duration spent;
};
t_pollbudget budget = {-1, {}};

// The boards whose poll is on the stack. A receiver's output may delete the
// board being polled; its stop marks the guard so the poll lets go at once.
struct t_pollguard {
    t_Veltrix *board;
    bool freed;
    t_pollguard *outer;
};
t_pollguard *polling;

bool board_connect(t_Veltrix *x)
{
    t_board &b = x->d.b;
    void *p = x;
    post("Veltrix_tick %p connecting %s ...", p, b.tty);
    if (b.baudrate < baudrate_low || b.baudrate > baudrate_high)
        post("Veltrix_tick %p WARNING: baudrate %ld might be out of range!\n", p,
             static_cast<long>(b.baudrate));
    b.hSerial = serial_open(b.tty);
    if (!b.hSerial) {
        post("Veltrix_tick %p CreateFile(%s) failed", p, b.tty);
        return false;
    }
    t_commstate state{};
    t_commtimeouts timeouts{};
    const char *failed = nullptr;
    if (!serial_getstate(b.hSerial, &state)) {
        failed = "GetCommState";
    } else {
        state.baudrate = b.baudrate;
        state.bytesize = 8;
        state.stopbits = serial_stop_one;
        state.parity = serial_parity_none;
        if (!serial_setstate(b.hSerial, &state)) {
            failed = "SetCommState";
        } else if (!serial_gettimeouts(b.hSerial, &timeouts)) {
            failed = "GetCommTimeouts";
        } else {
            timeouts.read_interval = 1;
            timeouts.read_constant = 1;
            timeouts.read_multiplier = 1;
            // A device that stops reading must not hold Pd: a frame waits
            // for room in the port's queue at most the bound of one float.
            timeouts.write_constant = Veltrix_write_bound_ms;
            timeouts.write_multiplier = 0;
            if (!serial_settimeouts(b.hSerial, &timeouts))
                failed = "SetCommTimeouts";
        }
    }
    if (failed) {
        post("Veltrix_tick %p %s(%s) failed", p, failed, b.tty);
        serial_close(b.hSerial);
        b.hSerial = nullptr;
        return false;
    }
    b.connected = 1;
    b.inputBufferState = veltrix::frame_between;
    post("Veltrix_tick %p connected %s ok!", p, b.tty);
    return true;
}

// The tag is copied first: an output may delete the board that holds it.
void board_dispatch(const char *frame_tag, float value)
{
    char tag[Veltrix_tag_size];
    memcpy(tag, frame_tag, sizeof tag);
    t_float f = value;
    for (auto *r : Veltrix.receivers) {
        if (r && !strcmp(r->d.r.endpoint_tag, tag))
            outlet_float(r->d.r.f_out, f);
    }
}

// Returns false when a dispatch freed the board.
bool board_poll(t_Veltrix *x, const t_pollguard &guard, t_time::time_point deadline)
{
    t_board &b = x->d.b;
    for (;;) {
        uint8_t byte = 0;
        uint32_t count = 0;
        // Only a frame half read is worth waiting for.
        serial_expect(b.hSerial, b.inputBufferState != veltrix::frame_between);
        if (!serial_read(b.hSerial, &byte, &count)) {
            post("Veltrix_tick %p ReadFile(%s) failed, closing connection", static_cast<void *>(x),
                 b.tty);
            serial_close(b.hSerial);
            b.hSerial = nullptr;
            b.connected = 0;
            return true;
        }
        if (count == 0)
            return true;
        if (veltrix::frame_step(b, byte)) {
            board_dispatch(b.inputBufferTag, b.inputBufferValue);
            if (guard.freed)
                return false;
        }
        if (t_time::now() >= deadline)
            return true;
    }
}

// The interval set by `poll`; the first attempt after a lost connection
// keeps its own delay.
double board_interval(const t_board &b)
{
    return b.poll_interval > 0 ? b.poll_interval : poll_delay;
}

} // namespace

void Veltrix_board_start(t_Veltrix *x)
{
    x->d.b.x_clock = clock_new(x, Veltrix_method<t_method>(Veltrix_tick));
    clock_delay(x->d.b.x_clock, 0);
}

void Veltrix_board_stop(t_Veltrix *x)
{
    clock_free(x->d.b.x_clock);
    x->d.b.x_clock = nullptr;
    post("Veltrix_free CloseHandle(%s)", x->d.b.tty);
    if (x->d.b.connected) {
        serial_close(x->d.b.hSerial);
        x->d.b.hSerial = nullptr;
        x->d.b.connected = 0;
    }
    for (t_pollguard *g = polling; g; g = g->outer) {
        if (g->board == x)
            g->freed = true;
    }
}

void Veltrix_poll(t_Veltrix *x, t_symbol *, int argc, t_atom *argv)
{
    if (x->endpoint_type != ep_none) {
        post("error: Veltrix: no method for 'poll'");
        return;
    }
    double ms = argc >= 1 && argv->a_type == A_FLOAT ? argv->a_w.w_float : NAN;
    if (std::isnan(ms)) {
        post("error: Veltrix: poll needs a number of milliseconds (1 to 1000)");
        return;
    }
    t_board &b = x->d.b;
    // Pd's clocks take fractions of a millisecond, so a fraction is kept.
    b.poll_interval = std::clamp(ms, poll_fastest, poll_slowest);
    post("Veltrix_poll %p %s every %g ms", static_cast<void *>(x), b.tty, b.poll_interval);
}

void Veltrix_tick(t_Veltrix *x)
{
    double next = retry_delay;
    if (!x->d.b.connected) {
        if (board_connect(x))
            next = board_interval(x->d.b);
    } else {
        double now = clock_getlogicaltime();
        if (now != budget.logical_time)
            budget = {now, {}};
        auto start = t_time::now();
        auto allowed = std::max(poll_budget - budget.spent, poll_share);
        t_pollguard guard{x, false, polling};
        polling = &guard;
        bool alive = board_poll(x, guard, start + allowed);
        polling = guard.outer;
        budget.spent += t_time::now() - start;
        if (!alive)
            return;
        next = x->d.b.connected ? board_interval(x->d.b) : poll_delay;
    }
    clock_delay(x->d.b.x_clock, next);
}
