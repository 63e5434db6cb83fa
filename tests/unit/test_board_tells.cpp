// A board by its USB identity, why its opens fail, what it has seen (`info`)
// and its connection state sent to a name (`status`), on fake ports.
#include "fake_port_fixture.h"
#include "frame.h"

#include <algorithm>
#include <iterator>

using Lines = std::vector<std::string>;

class Tells : public FakePortTest {
  protected:
    std::string tick(t_Veltrix *x, const std::string &rest)
    {
        return "Veltrix_tick " + addr(x) + " " + rest;
    }
    std::string info(t_Veltrix *x, const std::string &rest)
    {
        return "Veltrix_info " + addr(x) + " " + rest;
    }
    static fakeserial::t_device &usb_device(const std::string &name, const std::string &serial)
    {
        auto &d = fakeserial::add(name);
        d.usb_id = "2341:0043";
        d.serial = serial;
        return d;
    }
    static std::vector<uint8_t> frame(const char *tag, float value)
    {
        uint8_t bytes[veltrix::frame_max];
        return {bytes, bytes + veltrix::frame_encode(tag, value, bytes)};
    }
    Lines info_lines(t_Veltrix *x)
    {
        lines();
        fakepd::send_message(&x->x_obj, "info");
        return lines();
    }
};

TEST_F(Tells, AUsbNameIsResolvedAtEveryAttemptAndFollowsTheBoard)
{
    t_Veltrix *x = make({"open", "usb:A1F0"});
    lines();
    usb_device("/dev/ttyUSB0", ""); // a board with no serial number matches no serial
    fakepd::advance(0);             // not plugged in yet
    const std::string no_match =
        "error: " + tick(x, "usb:A1F0: no USB serial port matches: is the board plugged in? "
                            "'ports' shows each one's usb: name ('info' tells it again)");
    EXPECT_EQ(lines(), (Lines{tick(x, "connecting usb:A1F0 ..."),
                              tick(x, "CreateFile(usb:A1F0) failed"), no_match}));
    usb_device("/dev/ttyACM0", "a1f0"); // serial numbers match in any case
    fakepd::advance(1000);
    EXPECT_EQ(lines(),
              (Lines{tick(x, "connecting usb:A1F0 ..."), tick(x, "usb:A1F0 is /dev/ttyACM0"),
                     tick(x, "connected usb:A1F0 ok!")}));

    // Pulled out, and plugged into another socket, where it is ttyACM1.
    fakeserial::get("/dev/ttyACM0").fail[fakeserial::op_read] = true;
    fakepd::advance(100);
    fakeserial::remove("/dev/ttyACM0");
    fakepd::advance(100);
    usb_device("/dev/ttyACM1", "A1F0");
    fakepd::advance(1000);
    EXPECT_EQ(lines(),
              (Lines{tick(x, "ReadFile(usb:A1F0) failed, closing connection"),
                     tick(x, "connecting usb:A1F0 ..."), tick(x, "CreateFile(usb:A1F0) failed"),
                     no_match, tick(x, "connecting usb:A1F0 ..."),
                     tick(x, "usb:A1F0 is /dev/ttyACM1"), tick(x, "connected usb:A1F0 ok!")}));
    EXPECT_EQ(fakeserial::get("/dev/ttyACM1").opens, 1);
}

TEST_F(Tells, SeveralMatchesTakeTheFirstInPortsOrderThatNoOtherBoardHolds)
{
    usb_device("COM10", "B");
    usb_device("COM9", "A");
    auto &other = fakeserial::add("COM3"); // another maker's board
    other.usb_id = "0403:6001";
    t_Veltrix *first = make({"open", "usb:2341:0043"});
    t_Veltrix *second = make({"open", "usb:2341:0043"});
    lines();
    fakepd::advance(0);
    const std::string ambiguous = " WARNING: usb:2341:0043 is ambiguous: 2 ports match; ";
    const std::string choose = ". Add the serial number to the name to choose";
    EXPECT_EQ(
        lines(),
        (Lines{tick(first, "connecting usb:2341:0043 ..."), tick(first, "usb:2341:0043 is COM9"),
               "error: Veltrix_tick " + addr(first) + ambiguous +
                   "COM9 is taken, the first as 'ports' lists them, before COM10" + choose,
               tick(first, "connected usb:2341:0043 ok!"),
               tick(second, "connecting usb:2341:0043 ..."), tick(second, "usb:2341:0043 is COM10"),
               "error: Veltrix_tick " + addr(second) + ambiguous +
                   "COM10 is taken, the first that no other board holds, besides COM9" + choose,
               tick(second, "connected usb:2341:0043 ok!")}));
    EXPECT_EQ(other.opens, 0);
}

TEST_F(Tells, MalformedUsbNamesAreOpenedAsGiven)
{
    const std::string too_long = "usb:" + std::string(64, 'A'); // a serial holds 63 at most
    for (const char *name : {"usb:", "usb:2341:43", "usb:23410:0043", "usb:2341:0043:",
                             "usb:2341:zz43:A", "usb:2341:0043:A:B", too_long.c_str()}) {
        SCOPED_TRACE(name);
        usb_device("/dev/ttyACM0", "A");
        fakeserial::add(name);
        t_Veltrix *x = make({"open", name});
        lines();
        fakepd::advance(0);
        EXPECT_EQ(lines(), (Lines{tick(x, std::string("connecting ") + name + " ..."),
                                  tick(x, std::string("connected ") + name + " ok!")}));
        EXPECT_EQ(fakeserial::get("/dev/ttyACM0").opens, 0);
        fakepd::reset();
        fakeserial::reset();
        fakepd::setup(Veltrix_setup);
    }
}

TEST_F(Tells, AReasonIsToldWhenItIsNew)
{
    auto &dev = fakeserial::add("/dev/ttyACM0");
    dev.fail[fakeserial::op_open] = true;
    dev.open_error = serial_open_denied;
    t_Veltrix *x = make({"open", "/dev/ttyACM0"});
    lines();
    const std::string denied =
        "/dev/ttyACM0: permission denied: add yourself to the port's group (on Linux usually "
        "dialout: sudo usermod -aG dialout $USER) and log in again ('info' tells it again)";
    const std::string busy = "/dev/ttyACM0: busy: another program holds the port (the Arduino "
                             "Serial Monitor?): close it";
    auto attempt = [&](double ms) {
        fakepd::advance(ms);
        Lines got = lines();
        return Lines(got.begin() + 2, got.end()); // after connecting and CreateFile
    };
    EXPECT_EQ(attempt(0), Lines{"error: " + tick(x, denied)});
    EXPECT_EQ(attempt(1000), Lines{});
    dev.open_error = serial_open_busy;
    EXPECT_EQ(attempt(1000), Lines{"error: " + tick(x, busy + " ('info' tells it again)")});
    EXPECT_EQ(attempt(1000), Lines{});
    Lines told = info_lines(x);
    EXPECT_EQ(told[1], info(x, "not connected: 4 attempts failed, the last: busy, held by another "
                               "program"));
    EXPECT_EQ(told[2], info(x, busy));
}

TEST_F(Tells, InfoTellsTagsNoiseAndAMistypedTag)
{
    t_Veltrix *knob = make({"receive", "Knob"});
    t_Veltrix *led = make({"receive", "led"});
    make({"receive", "t01"}); // no mistyped 't0'
    t_Veltrix *x = connected_board("/dev/a");
    fakeserial::feed("/dev/a", {1, 2, 3});
    for (float v : {1.0f, 2.5f})
        fakeserial::feed("/dev/a", frame("knob", v));
    fakeserial::feed("/dev/a", frame("led", 1));
    for (int i = 0; i < 17; i++)
        fakeserial::feed("/dev/a", frame(("t" + std::to_string(i)).c_str(), 0));
    fakepd::advance(100);
    Lines got = info_lines(x);
    ASSERT_EQ(got.size(), 21u);
    EXPECT_EQ(got[0], info(x, "port /dev/a, 115200 baud, polled every 100 ms"));
    EXPECT_EQ(got[1], info(x, "connected for 0.1 s"));
    EXPECT_EQ(got[2], info(x, "since connecting: 175 bytes, 20 frames, 3 bytes skipped as noise"));
    EXPECT_EQ(got[3], info(x, "tag 'knob': 2 frames, last 2.5, no receiver listens; a receiver "
                              "listens to 'Knob'"));
    EXPECT_EQ(got[4], info(x, "tag 'led': 1 frames, last 1, received"));
    EXPECT_EQ(got[5], info(x, "tag 't0': 1 frames, last 0, no receiver listens"));
    EXPECT_EQ(got[19], info(x, "and 3 frames under more tags than the 16 kept"));
    EXPECT_EQ(got[20], info(x, "line errors: none, 0 writes failed"));
    EXPECT_EQ(info_lines(knob), Lines{info(knob, "receive 'Knob': 0 values")});
    EXPECT_EQ(info_lines(led), Lines{info(led, "receive 'led': 1 values")});
}

TEST_F(Tells, InfoAfterAReplugTellsOfTheNewConnectionOnly)
{
    usb_device("COM4", "B");
    auto &dev = usb_device("COM3", "A");
    t_Veltrix *x = make({"open", "usb:2341:0043"});
    auto port = [&](const std::string &found) {
        return info(x, "port usb:2341:0043" + found + ", 115200 baud, polled every 100 ms");
    };
    auto since = [&](const std::string &counts) {
        return info(x, "since connecting: " + counts + ", 0 bytes skipped as noise");
    };
    const std::string no_errors = info(x, "line errors: none, 0 writes failed");
    EXPECT_EQ(info_lines(x), (Lines{port(", not found yet"), info(x, "not connected yet"),
                                    since("0 bytes, 0 frames"), no_errors}));
    fakepd::advance(0);
    fakeserial::feed("COM3", frame("a", 1));
    dev.line_errors = serial_error_overrun;
    fakepd::advance(100);
    dev.fail[fakeserial::op_read] = true; // pulled out
    fakepd::advance(100);
    EXPECT_EQ(info_lines(x),
              (Lines{port(" is COM3"),
                     info(x, "not connected: the connection was lost, the next attempt comes soon"),
                     since("7 bytes, 1 frames"),
                     info(x, "tag 'a': 1 frames, last 1, no receiver listens"),
                     info(x, "line errors: overrun, 0 writes failed")}));
    dev.fail[fakeserial::op_read] = false; // and back: the ambiguity is not news
    fakepd::advance(100);
    EXPECT_EQ(lines(),
              (Lines{tick(x, "connecting usb:2341:0043 ..."), tick(x, "usb:2341:0043 is COM3"),
                     tick(x, "connected usb:2341:0043 ok!")}));
    EXPECT_EQ(info_lines(x), (Lines{port(" is COM3"), info(x, "connected for 0.0 s"),
                                    since("0 bytes, 0 frames"), no_errors}));
}

TEST_F(Tells, InfoHintsAtTheBaudRateWhenNothingButNoiseComes)
{
    t_Veltrix *x = connected_board("/dev/a");
    // What a sketch at another rate looks like: garbage, now and then a
    // "frame" whose tag is garbage too.
    fakeserial::feed("/dev/a", std::vector<uint8_t>(200, 0xF8));
    for (int i = 0; i < 20; i++) // more garbage tags than the tags kept
        fakeserial::feed("/dev/a", {0xAA, uint8_t(0x80 + i), 0xFE, 0x00, 1, 2, 3, 4});
    fakeserial::get("/dev/a").fail[fakeserial::op_write] = true;
    fakepd::send_float(&make({"send", "led"})->x_obj, 1);
    fakepd::advance(100);
    Lines got = info_lines(x);
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[got.size() - 2], info(x, "line errors: none, 1 writes failed"));
    EXPECT_EQ(got.back(),
              info(x, "hint: 200 bytes of noise and no frame that makes sense: the baud "
                      "rate (115200) may not match the sketch's"));
}

TEST_F(Tells, StatusSendsTheConnectionStateAtOnceAndAtEveryChange)
{
    auto &dev = fakeserial::add("/dev/a");
    t_Veltrix *x = make({"open", "/dev/a"});
    fakepd::listen("board1");
    fakepd::message(&x->x_obj, "status", {"board1"});
    EXPECT_EQ(fakepd::take_messages(), Lines{"board1: connected 0"});
    fakepd::advance(0);
    EXPECT_EQ(fakepd::take_messages(), Lines{"board1: connected 1"});
    fakepd::advance(1000);
    EXPECT_TRUE(fakepd::take_messages().empty());
    dev.fail[fakeserial::op_read] = true; // the cable is pulled
    fakepd::advance(100);
    EXPECT_EQ(fakepd::take_messages(), Lines{"board1: connected 0"});
    dev.fail[fakeserial::op_read] = false;
    fakepd::advance(100);
    EXPECT_EQ(fakepd::take_messages(), Lines{"board1: connected 1"});
    // Nothing bound to the name: nothing sent; `status` alone: no more.
    fakepd::unlisten("board1");
    dev.fail[fakeserial::op_read] = true;
    fakepd::advance(100);
    fakepd::listen("board1");
    fakepd::message(&x->x_obj, "status", {});
    dev.fail[fakeserial::op_read] = false;
    fakepd::advance(1000);
    EXPECT_EQ(x->d.b.connected, 1);
    EXPECT_TRUE(fakepd::take_messages().empty());
    lines();
    t_Veltrix *r = make({"receive", "a"});
    fakepd::message(&r->x_obj, "status", {"board1"});
    fakepd::message(&x->x_obj, "status", {3});
    EXPECT_EQ(lines().back(), "error: Veltrix: status needs a receive name, or nothing to stop");
    // Deleted while connected: an indicator must not stay at 1, and what the
    // patch does on the 0 finds the board out of its slot.
    int held = -1;
    fakepd::on_message("board1", [&](const std::string &) {
        held = int(std::count(std::begin(Veltrix.boards), std::end(Veltrix.boards), x));
    });
    fakepd::message(&x->x_obj, "status", {"board1"});
    destroy(x);
    EXPECT_EQ(fakepd::take_messages(), (Lines{"board1: connected 1", "board1: connected 0"}));
    EXPECT_EQ(held, 0);
    // Deleted by what its 1 set off: the 0 follows the 1's whole delivery.
    t_Veltrix *y = connected_board("/dev/b");
    fakepd::on_message("board1", [&](const std::string &m) {
        if (m == "board1: connected 1")
            destroy(y);
    });
    fakepd::message(&y->x_obj, "status", {"board1"});
    EXPECT_EQ(fakepd::take_messages(), (Lines{"board1: connected 1", "board1: connected 0"}));
    // A board that never connected has no 0 to tell when deleted.
    t_Veltrix *never = make({"open", "/dev/none"});
    fakepd::message(&never->x_obj, "status", {"board1"});
    destroy(never);
    EXPECT_EQ(fakepd::take_messages(), Lines{"board1: connected 0"});
}
