// Board connection and polling: one clock per board, a connection attempt
// each second until the port is set up, then a poll every 100 ms, or as often
// as the patch asks with `poll <ms>`; with `poll 0`, as bytes arrive.
#include "../Veltrix.h"
#include "frame.h"
#include "ports.h"
#include "tell.h"

// Pd's check for input: sys_addpollfn, sys_rmpollfn. A C header that, unlike
// m_pd.h, does not say so itself.
extern "C" {
#include <s_stuff.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace {

constexpr double retry_delay = 1000;
constexpr double poll_delay = 100;
constexpr double poll_watched = 0; // `poll 0`: read from Pd's own check for input
constexpr double poll_fastest = 1;
constexpr double poll_slowest = 1000;
constexpr int32_t baudrate_low = 1200;
constexpr int32_t baudrate_high = 230400;
// Line errors are told at most this often per board, however often it polls.
constexpr double line_error_gap = 1000;
constexpr double never = -1e300;

using t_time = t_serial_clock;

// Why the poll is bounded: a device faster than any serial line (a native
// USB board can be) would otherwise keep Pd's scheduler in the poll for
// good. The bound is 5 ms, a fifth of Pd's default 25 ms audio buffer, for
// all the boards polled at one logical time together, each keeping a floor
// share so that none starves. It bounds stalls, not throughput: a poll cut
// short comes back after `catchup_delay` (or its board's interval, when
// shorter) instead of the poll interval, so what waits in the port never
// grows from one poll to the next.
constexpr t_time::duration poll_budget = std::chrono::milliseconds(5);
constexpr t_time::duration poll_share = poll_budget / Veltrix_max_boards;
constexpr double catchup_delay = 5;

// The time the polls at one logical time have spent so far.
struct t_pollbudget {
    double logical_time;
    t_time::duration spent;
};
t_pollbudget shared_budget = {-1, {}};

// The deadline of a poll that starts now.
t_time::time_point pollbudget_start(t_pollbudget &budget, t_time::time_point now)
{
    double logical_time = clock_getlogicaltime();
    if (logical_time != budget.logical_time)
        budget = {logical_time, {}};
    return now + std::max(poll_budget - budget.spent, poll_share);
}

void pollbudget_spend(t_pollbudget &budget, t_time::time_point started)
{
    budget.spent += t_time::now() - started;
}

// Marks a board whose poll is on the stack. A receiver's output may delete
// that board; its stop then marks the guard, so the poll lets go at once.
struct t_pollguard {
    t_Veltrix *board;
    bool freed;
    t_pollguard *outer;

    explicit t_pollguard(t_Veltrix *x);
    ~t_pollguard();
    t_pollguard(const t_pollguard &) = delete;
    t_pollguard &operator=(const t_pollguard &) = delete;
};
t_pollguard *polling;

t_pollguard::t_pollguard(t_Veltrix *x) : board(x), freed(false), outer(polling)
{
    polling = this;
}

t_pollguard::~t_pollguard()
{
    polling = outer;
}

void pollguard_release(t_Veltrix *x)
{
    for (t_pollguard *g = polling; g; g = g->outer) {
        if (g->board == x)
            g->freed = true;
    }
}

enum t_pollend { poll_drained, poll_cut, poll_freed };

// Another board of this Pd that holds the port `port` names, if any: by the
// device, since one port has several names (a link, another spelling).
const t_Veltrix *board_holding(const t_Veltrix *x, const char *port)
{
    for (auto *y : Veltrix.boards) {
        if (y && y != x && y->d.b.connected && serial_same_device(y->d.b.hSerial, port))
            return y;
    }
    return nullptr;
}

// A usb: name's match that another board holds is passed over; `held`
// counts those passed.
struct t_held_matches {
    const t_Veltrix *board;
    int held;
};

bool match_held(const char *port, void *context)
{
    auto *m = static_cast<t_held_matches *>(context);
    bool held = board_holding(m->board, port) != nullptr;
    m->held += held;
    return held;
}

// The port a usb: name stands for at this attempt, into b.port: the first
// match no other board holds; when there is none to open, the reason into
// *why.
void board_resolve(t_Veltrix *x, const t_usb_name &id, t_board_why *why)
{
    t_board &b = x->d.b;
    void *p = x;
    b.port[0] = '\0';
    if (!ports_know_usb()) {
        *why = why_usb_cannot;
        return;
    }
    char others[256];
    t_held_matches held = {x, 0};
    int n = ports_resolve(id, b.port, others, sizeof others, {match_held, &held});
    if (n == 0) {
        *why = why_no_match;
        return;
    }
    t_board_stats *s = b.stats;
    if (s && strcmp(s->resolved_told, b.port)) {
        post("Veltrix_tick %p %s is %s", p, b.tty, b.port);
        strcpy(s->resolved_told, b.port);
    }
    if (n > 1 && s && !s->ambiguity_told) {
        bool passed = held.held > 0 && held.held < n;
        pd_error(x,
                 "Veltrix_tick %p WARNING: %s is ambiguous: %d ports match; %s is taken, the "
                 "first %s %s. Add the serial number to the name to choose",
                 p, b.tty, n, b.port,
                 passed ? "that no other board holds, besides" : "as 'ports' lists them, before",
                 others);
        s->ambiguity_told = true;
    }
}

bool board_connect(t_Veltrix *x)
{
    t_board &b = x->d.b;
    void *p = x;
    bool told = board_tells_attempt(x);
    if (told)
        post("Veltrix_tick %p connecting %s ...", p, b.tty);
    if (told && (b.baudrate < baudrate_low || b.baudrate > baudrate_high))
        post("Veltrix_tick %p WARNING: baudrate %ld might be out of range!\n", p,
             static_cast<long>(b.baudrate));
    t_usb_name id;
    t_board_why why = why_none;
    const t_Veltrix *holder = nullptr;
    if (!usb_name_parse(b.tty, &id))
        memcpy(b.port, b.tty, sizeof b.port);
    else
        board_resolve(x, id, &why);
    // Asked before opening: not every system refuses a second open (wine
    // does not), and one that does says only that the port is busy.
    if (why == why_none && (holder = board_holding(x, b.port)))
        why = why_held;
    if (why == why_none) {
        t_serial_open_error error = serial_open_ok;
        b.hSerial = serial_open(b.port, &error);
        why = static_cast<t_board_why>(error);
    }
    if (!b.hSerial) {
        board_failed(x, "CreateFile", why == why_none ? why_other : why, holder);
        return false;
    }
    t_commstate state{};
    t_commtimeouts timeouts{};
    const char *failed = nullptr;
    if (!serial_getstate(b.hSerial, &state)) {
        failed = "GetCommState";
        why = why_not_serial;
    } else {
        state.baudrate = b.baudrate;
        state.bytesize = 8;
        state.stopbits = serial_stop_one;
        state.parity = serial_parity_none;
        if (!serial_setstate(b.hSerial, &state)) {
            failed = "SetCommState";
            why = why_settings;
        } else if (!serial_gettimeouts(b.hSerial, &timeouts)) {
            failed = "GetCommTimeouts";
            why = why_timeouts;
        } else {
            timeouts.read_interval = 1;
            timeouts.read_constant = 1;
            timeouts.read_multiplier = 1;
            // A device that stops reading must not hold Pd: a frame waits
            // for room in the port's queue at most the bound of one float.
            timeouts.write_constant = Veltrix_write_bound_ms;
            timeouts.write_multiplier = 0;
            if (!serial_settimeouts(b.hSerial, &timeouts)) {
                failed = "SetCommTimeouts";
                why = why_timeouts;
            }
        }
    }
    if (failed) {
        serial_close(b.hSerial);
        b.hSerial = nullptr;
        board_failed(x, failed, why, nullptr);
        return false;
    }
    b.connected = 1;
    b.inputBufferState = veltrix::frame_between;
    b.lineErrorsPosted = never;
    if (b.stats)
        stats_on_connect(b.stats);
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
        if (r && !strcmp(r->d.r.endpoint_tag, tag)) {
            r->d.r.values++;
            outlet_float(r->d.r.f_out, f);
        }
    }
}

// `poll 0`: Pd's scheduler checks the descriptors registered with it once
// per loop (select() with no timeout) and calls their callback while bytes
// wait, so a value is read as soon as Pd wakes, not at the next tick of a
// clock. Registering and removing happen outside that check: Pd before 0.51
// does not expect its list to change while it walks it. A port let go inside
// the check (a hang-up, or a board deleted by its own output) is taken out
// and closed by a clock at the next tick; until then its descriptor, still
// open, keeps its number from any other port.
int in_check; // board_readable on the stack

// Each was a board's port, and boards connect on their clock only: never
// more than twice the boards between two ticks.
constexpr int retired_max = 2 * Veltrix_max_boards;
struct t_retired {
    t_serial *ports[retired_max];
    int count;
    t_clock *clock;
};
t_retired retired;

void retired_close(t_retired *r)
{
    for (int i = 0; i < r->count; i++) {
        sys_rmpollfn(serial_descriptor(r->ports[i]));
        serial_close(r->ports[i]);
    }
    r->count = 0;
    // Pd touches a clock no more once it has called it.
    clock_free(r->clock);
    r->clock = nullptr;
}

void port_release(t_serial *port, bool watched)
{
    if (watched && in_check && retired.count < retired_max) {
        retired.ports[retired.count++] = port;
        if (!retired.clock)
            retired.clock = clock_new(&retired, Veltrix_method<t_method>(retired_close));
        clock_delay(retired.clock, 0);
        return;
    }
    if (watched)
        sys_rmpollfn(serial_descriptor(port));
    serial_close(port);
}

void board_close(t_Veltrix *x)
{
    port_release(x->d.b.hSerial, x->d.b.watched);
    x->d.b.hSerial = nullptr;
    x->d.b.watched = 0;
    x->d.b.connected = 0;
}

void board_read_failed(t_Veltrix *x)
{
    post("Veltrix_tick %p ReadFile(%s) failed, closing connection", static_cast<void *>(x),
         x->d.b.tty);
    board_close(x);
}

// The poll counts in locals and adds them up at frames and at its end, so
// that counting costs the loop next to nothing.
struct t_pollcount {
    uint32_t bytes;
    uint32_t noise;
    void add_to(t_board_stats *s)
    {
        if (s) {
            s->bytes += bytes;
            s->noise += noise;
        }
        bytes = noise = 0;
    }
};

// Reads until the port has nothing more, the deadline passes, or a dispatch
// frees the board.
t_pollend board_poll(t_Veltrix *x, const t_pollguard &guard, t_time::time_point deadline)
{
    t_board &b = x->d.b;
    bool read_any = false;
    t_pollcount counted{};
    t_pollend end;
    for (;;) {
        uint8_t byte = 0;
        uint32_t count = 0;
        // Only a frame half read, whose rest is on its way, is worth a wait:
        // one left half read by an earlier poll had that poll's interval.
        // Pd's check calls a watched port back when its rest comes.
        bool rest = !b.watched && read_any && b.inputBufferState != veltrix::frame_between;
        if (!serial_read(b.hSerial, &byte, &count, rest ? serial_rest : serial_now)) {
            counted.add_to(b.stats);
            board_read_failed(x);
            return poll_drained;
        }
        if (count == 0) {
            end = poll_drained;
            break;
        }
        read_any = true;
        counted.bytes++;
        counted.noise +=
            b.inputBufferState == veltrix::frame_between && byte != veltrix::frame_start;
        if (veltrix::frame_step(b, byte)) {
            // Counted before the outputs, which may delete the board.
            if (b.stats) {
                counted.add_to(b.stats);
                stats_frame(b.stats, b.inputBufferTag, b.inputBufferValue);
            }
            board_dispatch(b.inputBufferTag, b.inputBufferValue);
            if (guard.freed)
                return poll_freed;
        }
        if (t_time::now() >= deadline) {
            end = poll_cut;
            break;
        }
    }
    counted.add_to(b.stats);
    return end;
}

// One line a second at most: a line with errors at every poll would
// otherwise flood the console.
void board_tell_line_errors(t_Veltrix *x)
{
    t_board &b = x->d.b;
    if (!b.connected || clock_gettimesince(b.lineErrorsPosted) < line_error_gap)
        return;
    uint32_t seen = serial_line_errors(b.hSerial);
    if (!seen)
        return;
    pd_error(x, "Veltrix_tick %p line errors on %s:%s%s%s, values may be lost",
             static_cast<void *>(x), b.tty, seen & serial_error_overrun ? " overrun" : "",
             seen & serial_error_framing ? " framing" : "",
             seen & serial_error_parity ? " parity" : "");
    b.lineErrorsPosted = clock_getlogicaltime();
    if (b.stats) {
        b.stats->line_error_reports++;
        b.stats->line_error_kinds |= seen;
    }
}

// A poll cut short comes back soon for the rest, but never later than the
// board's own interval: a catch-up slower than `poll 1` would slow the very
// boards that asked to be read most often.
double board_next_delay(const t_board &b, t_pollend end)
{
    if (!b.connected)
        return poll_delay; // the first attempt after a lost connection
    double every = std::max(b.poll_interval, poll_fastest); // a port Pd cannot watch
    return end == poll_cut ? std::min(catchup_delay, every) : every;
}

// Reads what waits, within the bound the boards share at this logical time.
t_pollend board_read(t_Veltrix *x)
{
    t_pollguard guard(x);
    auto started = t_time::now();
    t_pollend end = board_poll(x, guard, pollbudget_start(shared_budget, started));
    pollbudget_spend(shared_budget, started);
    if (end != poll_freed)
        board_tell_line_errors(x);
    return end;
}

void board_readable(void *ptr, int fd);

// What reads the board next: Pd's check, once its port is in it, and the
// clock for everything else, a read the bound cut short included: bytes the
// backend already holds wake no check. May delete the board.
void board_schedule(t_Veltrix *x, t_pollend end)
{
    t_board &b = x->d.b;
    if (b.connected && b.poll_interval == poll_watched && !b.watched && !in_check) {
        int fd = serial_descriptor(b.hSerial);
        if (fd >= 0) {
            sys_addpollfn(fd, board_readable, x);
            b.watched = 1;
        }
    }
    if (!b.watched || end == poll_cut)
        clock_delay(b.x_clock, board_next_delay(b, end));
    if (!b.connected)
        board_tell_status(x);
}

// Pd's check found the port of the board `ptr` readable. A board deleted
// earlier in the same walk left its descriptor for a clock to take out, so
// `ptr` is looked for among the live boards before it is used.
void board_readable(void *ptr, int fd)
{
    t_Veltrix *x = nullptr;
    for (auto *y : Veltrix.boards)
        x = y == ptr ? y : x;
    if (!x || !x->d.b.watched || serial_descriptor(x->d.b.hSerial) != fd)
        return;
    in_check++;
    t_pollend end = board_read(x);
    if (end != poll_freed)
        board_schedule(x, end);
    in_check--;
}

} // namespace

void Veltrix_board_start(t_Veltrix *x)
{
    x->d.b.poll_interval = poll_delay;
    x->d.b.stats = static_cast<t_board_stats *>(getbytes(sizeof(t_board_stats)));
    x->d.b.x_clock = clock_new(x, Veltrix_method<t_method>(Veltrix_tick));
    clock_delay(x->d.b.x_clock, 0);
}

void Veltrix_board_stop(t_Veltrix *x)
{
    clock_free(x->d.b.x_clock);
    x->d.b.x_clock = nullptr;
    Veltrix_routine("Veltrix_free CloseHandle(%s)", x->d.b.tty);
    if (x->d.b.connected)
        board_close(x);
    pollguard_release(x);
    if (x->d.b.stats)
        freebytes(x->d.b.stats, sizeof(t_board_stats));
    x->d.b.stats = nullptr;
}

void Veltrix_poll(t_Veltrix *x, t_symbol *, int argc, t_atom *argv)
{
    if (x->endpoint_type != ep_none) {
        pd_error(x, "Veltrix: no method for 'poll'");
        return;
    }
    double ms = argc >= 1 && argv->a_type == A_FLOAT ? argv->a_w.w_float : NAN;
    if (std::isnan(ms)) {
        pd_error(x, "Veltrix: poll needs a number of milliseconds (1 to 1000)");
        return;
    }
    t_board &b = x->d.b;
    void *p = x;
    // Where Pd cannot watch a port, 0 is the fastest clock, as it always was.
    if (ms == poll_watched && serial_watchable()) {
        b.poll_interval = poll_watched;
        post("Veltrix_poll %p %s as bytes arrive", p, b.tty);
        return;
    }
    // Pd's clocks take fractions of a millisecond, so a fraction is kept.
    b.poll_interval = std::clamp(ms, poll_fastest, poll_slowest);
    post("Veltrix_poll %p %s every %g ms", p, b.tty, b.poll_interval);
    // A watched port has no read due: the clock takes over at once.
    if (b.watched)
        clock_delay(b.x_clock, 0);
}

void Veltrix_tick(t_Veltrix *x)
{
    t_board &b = x->d.b;
    if (b.watched && b.poll_interval != poll_watched) {
        sys_rmpollfn(serial_descriptor(b.hSerial));
        b.watched = 0;
    }
    if (!b.connected) {
        if (!board_connect(x)) {
            clock_delay(b.x_clock, retry_delay);
            return;
        }
        board_schedule(x, poll_drained);
        board_tell_status(x);
        return;
    }
    t_pollend end = board_read(x);
    if (end != poll_freed)
        board_schedule(x, end);
}
