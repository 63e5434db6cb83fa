// Board connection and polling in virtual time, on fake ports.
#include "fake_port_fixture.h"
#include "tell.h"

#include <tuple>

using Lines = std::vector<std::string>;

class Board : public FakePortTest {
  protected:
    std::string connecting(t_Veltrix *x)
    {
        return "Veltrix_tick " + addr(x) + " connecting " + tty(x) + " ...";
    }
    std::string connected(t_Veltrix *x)
    {
        return "Veltrix_tick " + addr(x) + " connected " + tty(x) + " ok!";
    }
    std::string failed(t_Veltrix *x, const std::string &call)
    {
        return "Veltrix_tick " + addr(x) + " " + call + "(" + tty(x) + ") failed";
    }
    static std::string tty(t_Veltrix *x) { return x->d.b.tty; }
    // The line after a failed attempt that says why, when the reason is new.
    std::string why(t_Veltrix *x, const std::string &reason)
    {
        return "error: Veltrix_tick " + addr(x) + " " + tty(x) + ": " + reason +
               " ('info' tells it again)";
    }
    std::string missing(t_Veltrix *x)
    {
        return why(x, "no such port: is the board plugged in? 'ports' lists the ports present");
    }
    // A lost connection whose device stays away: the first attempt after
    // 100 ms, the next a second later, when the device is back.
    void expect_reconnect_timetable(t_Veltrix *x, fakeserial::t_device &dev)
    {
        dev.fail[fakeserial::op_open] = true;
        fakepd::advance(99);
        EXPECT_TRUE(lines().empty());
        fakepd::advance(1);
        EXPECT_EQ(lines(), (Lines{connecting(x), failed(x, "CreateFile"), missing(x)}));
        fakepd::advance(999);
        EXPECT_TRUE(lines().empty());
        dev.fail[fakeserial::op_open] = false;
        dev.fail[fakeserial::op_read] = false;
        fakepd::advance(1);
        EXPECT_EQ(lines(), (Lines{connecting(x), connected(x)}));
    }
};

TEST_F(Board, MissingPortIsRetriedEverySecondForever)
{
    t_Veltrix *x = make({"open", "/dev/none"});
    lines();
    EXPECT_EQ(fakepd::scheduled_clocks(), 1);
    fakepd::advance(0);
    EXPECT_EQ(lines(), (Lines{connecting(x), failed(x, "CreateFile"), missing(x)}));
    fakepd::advance(999);
    EXPECT_TRUE(lines().empty());
    fakepd::advance(1); // the same reason again adds nothing
    EXPECT_EQ(lines(), (Lines{connecting(x), failed(x, "CreateFile")}));
    fakepd::advance(60000);
    EXPECT_EQ(lines().size(), 120u);
    EXPECT_EQ(x->d.b.connected, 0);
}

// A quiet console for the stage: errors and what is new still come.
TEST_F(Board, VerboseZeroStopsTheRoutineLinesButNotTheErrors)
{
    t_Veltrix *x = make({"open", "/dev/none"});
    t_Veltrix *s = make({"send", "led"});
    fakepd::advance(0);
    fakepd::message(&s->x_obj, "verbose", {0.0});
    lines();
    fakepd::send_float(&s->x_obj, 1);
    fakepd::send_float(&s->x_obj, 2); // a run of failures is told at its first
    destroy(make({"receive", "knob"}));
    fakepd::advance(2000);
    EXPECT_EQ(lines(), Lines{"Veltrix_send_float WriteFile(/dev/none, start) failed"});
    auto &dev = fakeserial::add("/dev/none");
    dev.fail[fakeserial::op_open] = true;
    dev.open_error = serial_open_busy;
    fakepd::advance(1000);
    EXPECT_EQ(lines(), (Lines{failed(x, "CreateFile"),
                              why(x, "busy: another program holds the port (the Arduino Serial "
                                     "Monitor?): close it")}));
    fakepd::message(&x->x_obj, "verbose", {1.0});
    lines();
    fakepd::advance(1000);
    EXPECT_EQ(lines(), (Lines{connecting(x), failed(x, "CreateFile")}));
}

TEST_F(Board, ConnectsWithItsSettingsAndPollsEvery100ms)
{
    auto &dev = fakeserial::add("/dev/a");
    t_Veltrix *x = make({"open", "/dev/a", 57600});
    lines();
    fakepd::advance(0);
    EXPECT_EQ(lines(), (Lines{connecting(x), connected(x)}));
    EXPECT_EQ(x->d.b.connected, 1);
    EXPECT_EQ(dev.reads, 0); // the tick that connects reads nothing
    EXPECT_EQ(dev.state.baudrate, 57600);
    EXPECT_EQ(dev.state.bytesize, 8);
    EXPECT_EQ(dev.state.stopbits, serial_stop_one);
    EXPECT_EQ(dev.state.parity, serial_parity_none);
    EXPECT_EQ(dev.state.platform[0], 0x5A); // other settings as found
    EXPECT_EQ(dev.timeouts.read_interval, 1u);
    EXPECT_EQ(dev.timeouts.read_constant, 1u);
    EXPECT_EQ(dev.timeouts.read_multiplier, 1u);
    EXPECT_EQ(dev.timeouts.write_constant, 5u);
    EXPECT_EQ(dev.timeouts.write_multiplier, 0u);
    fakepd::advance(99);
    EXPECT_EQ(dev.reads, 0);
    fakepd::advance(1);
    EXPECT_EQ(dev.reads, 1); // an idle poll is one read
    fakepd::advance(1000);
    EXPECT_EQ(dev.reads, 11);
    EXPECT_TRUE(lines().empty());
}

TEST_F(Board, EachFailingStepPostsItsLineClosesThePortAndRetriesInOneSecond)
{
    const std::tuple<fakeserial::t_op, const char *, const char *> steps[] = {
        {fakeserial::op_getstate, "GetCommState",
         "not a serial port: 'ports' lists the ports present"},
        {fakeserial::op_setstate, "SetCommState",
         "the port refused its settings: is 115200 baud a rate it can do?"},
        {fakeserial::op_gettimeouts, "GetCommTimeouts",
         "the port refused its timeouts: is it a serial port?"},
        {fakeserial::op_settimeouts, "SetCommTimeouts",
         "the port refused its timeouts: is it a serial port?"},
    };
    for (auto [op, call, reason] : steps) {
        SCOPED_TRACE(call);
        auto &dev = fakeserial::add("/dev/a");
        dev.fail[op] = true;
        t_Veltrix *x = make({"open", "/dev/a"});
        lines();
        fakepd::advance(0);
        EXPECT_EQ(lines(), (Lines{connecting(x), failed(x, call), why(x, reason)}));
        fakepd::send_message(&x->x_obj, "info");
        EXPECT_EQ(lines()[1], "Veltrix_info " + addr(x) +
                                  " not connected: 1 attempts failed, the last: " +
                                  std::string(reason, strcspn(reason, ":")));
        EXPECT_EQ(dev.opens, 1);
        EXPECT_EQ(dev.closes, 1);
        EXPECT_FALSE(dev.open);
        dev.fail[op] = false;
        fakepd::advance(999);
        EXPECT_EQ(dev.opens, 1);
        fakepd::advance(1);
        EXPECT_EQ(dev.opens, 2); // opened afresh
        EXPECT_EQ(lines(), (Lines{connecting(x), connected(x)}));
        destroy(x);
        lines();
    }
}

TEST_F(Board, RatesOutsideTheUsualRangeAreWarnedAboutOnEveryAttempt)
{
    for (double rate : {1199.0, 230401.0, -5.0, 1e12}) {
        t_Veltrix *x = make({"open", "/dev/none", rate});
        lines();
        fakepd::advance(0);
        char warning[128];
        snprintf(warning, sizeof warning,
                 "Veltrix_tick %s WARNING: baudrate %ld might be out of range!\n", addr(x).c_str(),
                 static_cast<long>(Veltrix_baudrate(rate)));
        EXPECT_EQ(lines(), (Lines{connecting(x), warning, failed(x, "CreateFile"), missing(x)}));
        fakepd::advance(1000);
        EXPECT_EQ(lines().size(), 3u);
        destroy(x);
        lines();
    }
    for (double rate : {1200.0, 230400.0}) {
        t_Veltrix *x = make({"open", "/dev/none", rate});
        lines();
        fakepd::advance(0);
        EXPECT_EQ(lines().size(), 3u);
        destroy(x);
        lines();
    }
}

TEST_F(Board, FailedReadClosesAndReconnects100msLater)
{
    t_Veltrix *x = connected_board("/dev/a");
    auto &dev = fakeserial::get("/dev/a");
    dev.fail[fakeserial::op_read] = true;
    fakepd::advance(100);
    EXPECT_EQ(lines(),
              (Lines{"Veltrix_tick " + addr(x) + " ReadFile(/dev/a) failed, closing connection"}));
    EXPECT_EQ(x->d.b.connected, 0);
    EXPECT_EQ(dev.closes, 1);
    expect_reconnect_timetable(x, dev);
}

// One port under two names (a link to it) is still one port, held by a board.
TEST_F(Board, TwoBoardsOnOnePortOnlyOneConnects)
{
    fakeserial::add("/dev/a");
    fakeserial::link("/dev/serial/by-id/a", "/dev/a");
    t_Veltrix *first = make({"open", "/dev/a"});
    t_Veltrix *second = make({"open", "/dev/serial/by-id/a"});
    lines();
    fakepd::advance(0);
    EXPECT_EQ(lines(), (Lines{connecting(first), connected(first), connecting(second),
                              failed(second, "CreateFile"),
                              why(second, "busy: [Veltrix open] " + addr(first) +
                                              " in this Pd holds it; one board object per "
                                              "port")}));
    fakepd::advance(3000);
    EXPECT_EQ(second->d.b.connected, 0);
    destroy(first);
    fakepd::advance(1000);
    EXPECT_EQ(second->d.b.connected, 1);
    destroy(second);

    // Windows refuses the second open as access denied; wine lets it
    // through, where only a usb: name's own check stops it. Another
    // program's hold is no board's, even of a board that tried the port.
    for (auto [name, held] : {std::pair{"/dev/b", serial_open_denied}, {"usb:B", serial_open_ok}}) {
        auto &b = fakeserial::add("/dev/b");
        b.serial = "B";
        b.held_error = held;
        t_Veltrix *holder = make({"open", name});
        t_Veltrix *other = make({"open", name});
        fakepd::advance(1000);
        EXPECT_EQ(other->d.b.connected, 0) << name;
        EXPECT_EQ(int(other->d.b.stats->why), int(why_held)) << name;
        destroy(holder);
        destroy(other);
    }
    auto &c = fakeserial::add("/dev/c");
    c.fail[fakeserial::op_open] = true;
    c.open_error = serial_open_busy;
    t_Veltrix *boards[] = {make({"open", "/dev/c"}), make({"open", "/dev/c"})};
    fakepd::advance(1000);
    for (t_Veltrix *x : boards)
        EXPECT_EQ(int(x->d.b.stats->why), int(why_busy));
}

TEST_F(Board, DeletionStopsTheClockAndClosesOnlyAnOpenPort)
{
    t_Veltrix *never = make({"open", "/dev/none"});
    t_Veltrix *open = connected_board("/dev/a");
    lines();
    destroy(never);
    EXPECT_EQ(lines(), (Lines{"Veltrix_free " + addr(never), "Veltrix_free CloseHandle(/dev/none)",
                              "Veltrix_free Veltrix.boards[0] = NULL"}));
    auto &dev = fakeserial::get("/dev/a");
    destroy(open);
    EXPECT_EQ(lines(), (Lines{"Veltrix_free " + addr(open), "Veltrix_free CloseHandle(/dev/a)",
                              "Veltrix_free Veltrix.boards[1] = NULL"}));
    EXPECT_EQ(dev.closes, 1);
    EXPECT_EQ(fakepd::live_clocks(), 0);
    int reads = dev.reads;
    fakepd::advance(5000); // a tick still scheduled must not run
    EXPECT_EQ(dev.reads, reads);
    EXPECT_TRUE(lines().empty());
}

TEST_F(Board, EndlessStreamsShareTheBoundStarveNoneAndLoseNothing)
{
    // Boards read at one logical time, by their clocks or by Pd's check,
    // share the 5 ms bound, each keeping a floor share (an eighth of it)
    // however little the others left. The fake's clock moves a microsecond a
    // read, so reads tell Pd's time.
    constexpr int n = Veltrix_max_boards;
    constexpr int64_t bound_us = 5000, floor_us = bound_us / n;
    t_Veltrix *r[n], *x[n];
    fakeserial::t_device *dev[n];
    for (int i = 0; i < n; i++) {
        std::string tag(1, char('m' + i)), port = "/dev/" + std::to_string(i);
        r[i] = make({"receive", tag.c_str()});
        x[i] = connected_board(port);
        dev[i] = &fakeserial::get(port);
        dev[i]->endless = true;
        dev[i]->endless_tag = tag[0];
    }
    int reads[n] = {};
    auto expect_shared = [&](const char *when) {
        int64_t held_us = 0;
        for (int i = 0; i < n; i++) {
            int64_t spent = (dev[i]->reads - reads[i]) * fakeserial::read_cost_us;
            reads[i] = dev[i]->reads;
            EXPECT_GE(spent, floor_us) << when << ": board " << i << " starved";
            held_us += spent;
        }
        EXPECT_LE(held_us, bound_us + (n - 1) * (floor_us + 1)) << when << ": not shared";
        EXPECT_GE(held_us, bound_us) << when << ": the bound was not whole again";
    };
    fakepd::advance(100);
    expect_shared("the first poll");
    for (auto *b : x)
        fakepd::message(&b->x_obj, "poll", {0.0});
    fakepd::advance(5);
    expect_shared("the catch-up");
    fakepd::advance(0.2);
    ASSERT_EQ(fakepd::descriptor_check().watched, n);
    fakepd::check_descriptors();
    expect_shared("Pd's check");
    // What a backend already took from the system wakes no check: the clock
    // comes back for it.
    for (auto *d : dev)
        d->unseen = true;
    fakepd::advance(1);
    expect_shared("the catch-up of a check");
    EXPECT_EQ(fakepd::descriptor_check().changes_inside, 0);

    std::vector<double> got[n];
    for (auto &e : fakepd::take_outlets()) {
        for (int i = 0; i < n; i++) {
            if (e.outlet == r[i]->d.r.f_out)
                got[i].push_back(e.value);
        }
    }
    for (int i = 0; i < n; i++) {
        for (size_t k = 0; k < got[i].size(); k++)
            ASSERT_EQ(got[i][k], double(k)) << "lost or repeated across a tick";
    }
}

TEST_F(Board, OnlyAFrameHalfReadInThisPollWaitsForItsRest)
{
    t_Veltrix *r = make({"receive", "led"});
    connected_board("/dev/a");
    auto &dev = fakeserial::get("/dev/a");
    const std::vector<uint8_t> head = {0xAA, 'l', 'e'}, tail = {'d', 0, 0, 0, 0x80, 0x3F};
    auto received = [&] { return fakepd::take_outlets().size(); };

    fakeserial::feed("/dev/a", head);
    fakeserial::feed("/dev/a", tail);
    fakepd::advance(100);
    EXPECT_EQ(received(), 1u);
    EXPECT_EQ(dev.timed_waits, 0) << "waited after a whole frame";

    fakeserial::feed("/dev/a", head);
    dev.in_flight.assign(tail.begin(), tail.end());
    fakepd::advance(100);
    EXPECT_EQ(dev.timed_waits, 1);
    EXPECT_EQ(received(), 1u) << "the rest that came during the wait was not read";

    fakeserial::feed("/dev/a", head); // and the rest never comes
    fakepd::advance(100);
    fakepd::advance(100);
    EXPECT_EQ(dev.timed_waits, 2) << "an idle poll waited for a frame an earlier poll left";
    EXPECT_EQ(received(), 0u);
    (void)r;
}

TEST_F(Board, LineErrorsAreToldAtMostOnceASecondAndKeepTheConnection)
{
    t_Veltrix *x = connected_board("/dev/a");
    auto &dev = fakeserial::get("/dev/a");
    auto told = [&](const char *kinds) {
        return "error: Veltrix_tick " + addr(x) + " line errors on /dev/a:" + kinds +
               ", values may be lost";
    };
    dev.line_errors = serial_error_overrun | serial_error_framing;
    fakepd::advance(100);
    EXPECT_EQ(lines(), (Lines{told(" overrun framing")}));
    dev.line_errors = serial_error_parity;
    fakepd::advance(900);
    EXPECT_TRUE(lines().empty()); // kept for the next line, not lost
    fakepd::advance(100);
    EXPECT_EQ(lines(), (Lines{told(" parity")}));
    EXPECT_EQ(x->d.b.connected, 1);
    EXPECT_EQ(dev.closes, 0);
}

TEST_F(Board, APollCutShortByTheBoundComesBackSoon)
{
    t_Veltrix *x = connected_board("/dev/a");
    auto &dev = fakeserial::get("/dev/a");
    dev.endless = true;
    fakepd::advance(100);
    int reads = dev.reads;
    fakepd::advance(5);
    EXPECT_GT(dev.reads, reads) << "the rest waited a whole poll interval";
    dev.endless = false;
    fakepd::advance(5); // drains, and goes back to the poll interval
    reads = dev.reads;
    fakepd::advance(99);
    EXPECT_EQ(dev.reads, reads);
    fakepd::advance(1);
    EXPECT_EQ(dev.reads, reads + 1);

    // At `poll 1` the catch-up comes no later than the board's own interval.
    fakepd::message(&x->x_obj, "poll", {1});
    fakepd::advance(100);
    dev.endless = true;
    fakepd::advance(1);
    reads = dev.reads;
    fakepd::advance(1);
    EXPECT_GT(dev.reads, reads) << "a cut poll at poll 1 waited the longer catch-up";
}

// Ports let go inside Pd's check, by a hang-up or by a receiver's output
// that deletes its own board and another read later in the same walk, are
// taken out of the check and closed at the next tick, outside it.
TEST_F(Board, PortsLetGoInPdsCheckCloseAtTheNextTick)
{
    t_Veltrix *r = make({"receive", "led"});
    t_Veltrix *x = connected_board("/dev/a"), *y = connected_board("/dev/b");
    t_Veltrix *z = connected_board("/dev/c");
    auto &a = fakeserial::get("/dev/a"), &b = fakeserial::get("/dev/b");
    auto &c = fakeserial::get("/dev/c");
    fakepd::listen("st");
    fakepd::message(&z->x_obj, "status", {"st"});
    for (auto *board : {x, y, z})
        fakepd::message(&board->x_obj, "poll", {0.0});
    fakepd::advance(100);
    fakepd::take_messages();
    fakepd::on_float(r->d.r.f_out, [&](t_float) {
        destroy(x);
        destroy(y);
    });
    const std::vector<uint8_t> led = {0xAA, 'l', 'e', 'd', 0, 0, 0, 0x80, 0x3F};
    fakeserial::feed("/dev/a", led);
    fakeserial::feed("/dev/a", led);
    fakeserial::feed("/dev/b", led);
    c.fail[fakeserial::op_read] = true;
    int reads = b.reads;
    lines();
    fakepd::check_descriptors();
    EXPECT_EQ(fakepd::take_outlets().size(), 1u);
    EXPECT_EQ(b.reads, reads) << "a deleted board was read";
    EXPECT_EQ(lines().back(),
              "Veltrix_tick " + addr(z) + " ReadFile(/dev/c) failed, closing connection");
    EXPECT_EQ(fakepd::take_messages(), (Lines{"st: connected 0"}));
    EXPECT_EQ(a.closes + b.closes + c.closes, 0) << "closed inside the check";
    fakepd::advance(0);
    EXPECT_EQ(a.closes + b.closes + c.closes, 3);
    long calls = fakepd::descriptor_check().calls;
    expect_reconnect_timetable(z, c);
    EXPECT_EQ(fakepd::descriptor_check().calls, calls) << "Pd spun on a dead descriptor";
    EXPECT_EQ(fakepd::descriptor_check().watched, 1);
    EXPECT_EQ(fakepd::descriptor_check().changes_inside, 0);
}

TEST_F(Board, PollSetsTheIntervalFromTheNextPollClampedAndKeepsTheConnectionTimetable)
{
    t_Veltrix *x = connected_board("/dev/a");
    auto &dev = fakeserial::get("/dev/a");
    auto poll = [&](double ms) {
        fakepd::message(&x->x_obj, "poll", {ms});
        return lines();
    };
    EXPECT_EQ(poll(1), (Lines{"Veltrix_poll " + addr(x) + " /dev/a every 1 ms"}));
    fakepd::advance(99);
    EXPECT_EQ(dev.reads, 0); // the poll already due keeps its time
    fakepd::advance(1);
    EXPECT_EQ(dev.reads, 1);
    fakepd::advance(10);
    EXPECT_EQ(dev.reads, 11);
    // 0: from the next poll, read by Pd's check alone; 1 and up: by the clock
    // again, at once. Windows has no check for ports: 0 is the fastest clock.
    EXPECT_EQ(poll(0)[0], "Veltrix_poll " + addr(x) + " /dev/a as bytes arrive");
    fakepd::advance(1);
    EXPECT_EQ(fakepd::descriptor_check().watched, 1);
    EXPECT_EQ(fakepd::scheduled_clocks(), 0);
    fakeserial::watchable = false;
    EXPECT_EQ(poll(0)[0], "Veltrix_poll " + addr(x) + " /dev/a every 1 ms");
    fakeserial::watchable = true;
    fakepd::advance(0);
    EXPECT_EQ(fakepd::descriptor_check().watched, 0);
    EXPECT_EQ(poll(-7)[0], "Veltrix_poll " + addr(x) + " /dev/a every 1 ms");
    EXPECT_EQ(poll(5000)[0], "Veltrix_poll " + addr(x) + " /dev/a every 1000 ms");
    EXPECT_EQ(poll(2.5)[0], "Veltrix_poll " + addr(x) + " /dev/a every 2.5 ms");
    fakepd::advance(1);
    int reads = dev.reads;
    fakepd::advance(10);
    EXPECT_EQ(dev.reads, reads + 4); // every 2.5 ms

    // A lost connection: the first attempt still after 100 ms, then once a second.
    dev.fail[fakeserial::op_read] = true;
    dev.fail[fakeserial::op_open] = true;
    fakepd::advance(2.5);
    EXPECT_EQ(x->d.b.connected, 0);
    lines();
    expect_reconnect_timetable(x, dev);
    reads = dev.reads;
    fakepd::advance(10);
    EXPECT_EQ(dev.reads, reads + 4); // polled at the interval once connected again
}

TEST_F(Board, PollWantsABoardAndANumber)
{
    t_Veltrix *others[] = {make({"send", "a"}), make({"receive", "a"}), make({"bad"})};
    for (t_Veltrix *y : others) {
        lines();
        ASSERT_TRUE(fakepd::message(&y->x_obj, "poll", {1}));
        EXPECT_EQ(lines(), (Lines{"error: Veltrix: no method for 'poll'"}));
    }
    t_Veltrix *x = connected_board("/dev/a");
    auto &dev = fakeserial::get("/dev/a");
    for (auto args : {std::vector<fakepd::t_arg>{}, std::vector<fakepd::t_arg>{"fast"}}) {
        fakepd::message(&x->x_obj, "poll", args);
        EXPECT_EQ(lines(),
                  (Lines{"error: Veltrix: poll needs a number of milliseconds (1 to 1000)"}));
    }
    fakepd::advance(1000);
    EXPECT_EQ(dev.reads, 10); // still every 100 ms
}
