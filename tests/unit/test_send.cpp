// Floats to senders: the lines, the writes to each board, the outlet.
#include "frame.h"
#include "fake_port_fixture.h"

#include <cmath>

using Lines = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

class Send : public FakePortTest {
  protected:
    void SetUp() override
    {
        FakePortTest::SetUp();
        sender = make({"send", "led"});
        lines();
    }
    std::vector<double> sent()
    {
        std::vector<double> v;
        for (auto &e : fakepd::take_outlets()) {
            EXPECT_EQ(e.outlet, sender->d.s.f_out);
            v.push_back(e.value);
        }
        return v;
    }
    t_Veltrix *sender = nullptr;
};

TEST_F(Send, WithNoBoardOnlyTheTraceLineAndTheOutlet)
{
    fakepd::send_float(&sender->x_obj, 1);
    EXPECT_EQ(lines(), (Lines{"Veltrix_send 1.000000 to led"}));
    EXPECT_EQ(sent(), (std::vector<double>{1}));
}

TEST_F(Send, EveryConnectedBoardGetsTheFrameInSlotOrderInOneWrite)
{
    auto &a = fakeserial::add("/dev/a");
    auto &c = fakeserial::add("/dev/c");
    make({"open", "/dev/a"});
    t_Veltrix *gap = make({"open", "/dev/none"});
    make({"open", "/dev/c"});
    fakepd::advance(0);
    destroy(gap);
    lines();
    // The outlet's listener sees both boards written already.
    size_t written_when_out = 0;
    fakepd::on_float(sender->d.s.f_out,
                     [&](t_float) { written_when_out = a.output.size() + c.output.size(); });
    fakepd::send_float(&sender->x_obj, 1);
    const Bytes example = {0xAA, 0x6C, 0x65, 0x64, 0x00, 0x00, 0x00, 0x80, 0x3F};
    EXPECT_EQ(a.output, example);
    EXPECT_EQ(c.output, example);
    EXPECT_EQ(a.write_calls, (std::vector<Bytes>{example}));
    EXPECT_EQ(written_when_out, 18u);
    EXPECT_EQ(lines(), (Lines{"Veltrix_send 1.000000 to led"}));
    EXPECT_EQ(sent(), (std::vector<double>{1}));
}

TEST_F(Send, ABoardNotYetConnectedFailsAtTheStartByte)
{
    make({"open", "/dev/ttyUSB7"});
    lines();
    fakepd::send_float(&sender->x_obj, -2.5);
    EXPECT_EQ(lines(), (Lines{"Veltrix_send -2.500000 to led",
                              "Veltrix_send_float WriteFile(/dev/ttyUSB7, start) failed"}));
    EXPECT_EQ(sent(), (std::vector<double>{-2.5}));
}

TEST_F(Send, AWriteCutShortNamesWhereItBrokeAndTheNextBoardIsStillServed)
{
    // Room in the queue for none of the frame, part of the tag, all of it but
    // its NUL, the tag whole, part of the value.
    const std::pair<int32_t, const char *> cuts[] = {
        {0, "start"}, {3, "tag"}, {4, "tag"}, {5, "value"}, {6, "value"}};
    for (auto [room, part] : cuts) {
        SCOPED_TRACE(part);
        auto &a = fakeserial::add("/dev/a");
        auto &b = fakeserial::add("/dev/b");
        a.room = room;
        t_Veltrix *x = make({"open", "/dev/a"});
        t_Veltrix *y = make({"open", "/dev/b"});
        fakepd::advance(0);
        lines();
        fakepd::send_float(&sender->x_obj, 1);
        EXPECT_EQ(lines(), (Lines{"Veltrix_send 1.000000 to led",
                                  std::string("Veltrix_send_float WriteFile(/dev/a, ") + part +
                                      ") failed"}));
        EXPECT_EQ(a.output.size(), size_t(room));
        EXPECT_EQ(b.output.size(), 9u);
        EXPECT_EQ(x->d.b.connected, 1); // a failed write does not end the connection
        EXPECT_EQ(sent(), (std::vector<double>{1}));
        destroy(x);
        destroy(y);
        lines();
    }
}

TEST_F(Send, AShortWriteIsAFailure)
{
    auto &a = fakeserial::add("/dev/a");
    a.short_write_at = 0; // sends one byte less yet reports success
    make({"open", "/dev/a"});
    fakepd::advance(0);
    lines();
    fakepd::send_float(&sender->x_obj, 1);
    EXPECT_EQ(lines(), (Lines{"Veltrix_send 1.000000 to led",
                              "Veltrix_send_float WriteFile(/dev/a, value) failed"}));
}

TEST_F(Send, StuckBoardsShareOneBoundAndFloatsGoThroughOnceTheyReadAgain)
{
    std::vector<fakeserial::t_device *> devs;
    for (const char *port : {"/dev/a", "/dev/b", "/dev/c"}) {
        devs.push_back(&fakeserial::add(port));
        devs.back()->room = 0; // the device stopped reading
        make({"open", port});
    }
    fakepd::advance(0);
    lines();
    fakepd::send_float(&sender->x_obj, 1);
    EXPECT_EQ(lines().size(), 4u);
    // The first waits the whole bound; the others get what is left, the least a port takes.
    EXPECT_EQ(devs[0]->write_bounds, (std::vector<uint32_t>{Veltrix_write_bound_ms}));
    EXPECT_EQ(devs[1]->write_bounds, (std::vector<uint32_t>{1}));
    EXPECT_EQ(devs[2]->write_bounds, (std::vector<uint32_t>{1}));
    EXPECT_EQ(devs[2]->timeouts.write_constant, uint32_t(Veltrix_write_bound_ms));
    for (auto *d : devs)
        d->room = -1;
    fakepd::send_float(&sender->x_obj, 2);
    EXPECT_EQ(lines(), (Lines{"Veltrix_send 2.000000 to led"}));
    for (auto *d : devs)
        EXPECT_EQ(d->output.size(), 9u);
}

TEST_F(Send, AStuckBoardBeforeAnUnpluggedOneCostsTheBoundAndBothLines)
{
    fakeserial::add("/dev/a").room = 0; // the device stopped reading
    make({"open", "/dev/a"});
    make({"open", "/dev/unplugged"});
    fakepd::advance(0);
    lines();
    fakepd::send_float(&sender->x_obj, 1);
    EXPECT_EQ(lines(), (Lines{"Veltrix_send 1.000000 to led",
                              "Veltrix_send_float WriteFile(/dev/a, start) failed",
                              "Veltrix_send_float WriteFile(/dev/unplugged, start) failed"}));
}

TEST_F(Send, OnlyASenderTakesAFloat)
{
    t_Veltrix *others[] = {make({"receive", "led"}), make({"open", "/dev/a"}), make({"bad"})};
    const std::string what_takes_values =
        "error: Veltrix: [Veltrix receive led] only gives out what boards send under 'led'; "
        "[Veltrix send led] takes values in and sends them to the boards";
    for (t_Veltrix *x : others) {
        lines();
        fakepd::send_float(&x->x_obj, 3);
        Lines told = {"error: Veltrix: no method for 'float'"};
        if (x == others[0])
            told.push_back(what_takes_values);
        EXPECT_EQ(lines(), told);
    }
    fakepd::message(&others[0]->x_obj, "list", {"on"});
    EXPECT_EQ(lines(), (Lines{"error: Veltrix: no method for 'symbol'", what_takes_values}));
    EXPECT_EQ(fakepd::last_error_object(), others[0]);
    EXPECT_TRUE(fakepd::outlets().empty());
}

TEST_F(Send, AListSendsItsFirstNumberAndSaysSoOnce)
{
    t_Veltrix *other = make({"send", "led"});
    lines();
    for (t_Veltrix *x : {sender, sender, other})
        fakepd::message(&x->x_obj, "list", {1, 2});
    auto told = [&](t_Veltrix *x) {
        return "error: Veltrix_list " + addr(x) +
               " send led: a list came in; only its first number is sent (said once per sender; "
               "[unpack] splits a list)";
    };
    const std::string one = "Veltrix_send 1.000000 to led";
    EXPECT_EQ(lines(), (Lines{told(sender), one, one, told(other), one}));
    EXPECT_EQ(fakepd::take_outlets().size(), 3u);
    // The rest as Pd does it: an empty list is a bang, a word first no float.
    fakepd::message(&sender->x_obj, "list", {});
    fakepd::message(&sender->x_obj, "list", {"led", 1});
    EXPECT_EQ(lines(), (Lines{"Veltrix_bang!", "error: Veltrix: no method for 'bang'",
                              "error: Veltrix: no method for 'symbol'"}));
}

TEST_F(Send, LongTagGoesOutCutTo31)
{
    std::string tag(40, 'q');
    t_Veltrix *s = make({"send", tag.c_str()});
    auto &a = fakeserial::add("/dev/a");
    make({"open", "/dev/a"});
    fakepd::advance(0);
    fakepd::send_float(&s->x_obj, 0);
    ASSERT_EQ(a.write_calls.size(), 1u);
    EXPECT_EQ(a.write_calls[0].size(), 1u + 32u + 4u);
    EXPECT_EQ(a.write_calls[0][32], 0);
}

// Pd's float may be a double; the wire's is the nearest 32-bit float, and
// the outlet passes on the value as it came.
TEST_F(Send, TheWireCarriesTheNearest32BitFloat)
{
    auto &a = fakeserial::add("/dev/a");
    make({"open", "/dev/a"});
    fakepd::advance(0);
    const struct {
        double in;
        uint32_t wire;
    } cases[] = {
        {0.1, 0x3DCCCCCD},
        {16777217.0, 0x4B800000},            // 2^24 + 1: a tie, to even
        {0x1.fffffefffffffp127, 0x7F7FFFFF}, // just below halfway past the largest float
        {0x1.ffffffp127, 0x7F800000},
        {1e300, 0x7F800000},
        {-1e300, 0xFF800000},
        {-1e-300, 0x80000000},
        {-HUGE_VAL, 0xFF800000},
        {std::nan(""), 0x7FC00000},
        {-std::nan(""), 0xFFC00000},
    };
    for (const auto &c : cases) {
        // Straight from the double: a 32-bit Pd's float arrives rounded already.
        EXPECT_EQ(veltrix::frame_float_bits(veltrix::frame_value_of(c.in)), c.wire) << c.in;
        a.output.clear();
        const t_float in = static_cast<t_float>(c.in);
        fakepd::send_float(&sender->x_obj, in);
        ASSERT_EQ(a.output.size(), 9u);
        EXPECT_EQ(veltrix::frame_float_bits(veltrix::frame_get_value(&a.output[5])), c.wire)
            << c.in;
        auto out = sent();
        ASSERT_EQ(out.size(), 1u);
        if (std::isnan(in))
            EXPECT_TRUE(std::isnan(out[0]));
        else
            EXPECT_EQ(out[0], in);
    }
}

// A Pd with 32-bit floats writes the float's own four bytes: a NaN keeps its
// sign, payload and signalling bit, which a board may use as a marker.
TEST_F(Send, A32BitFloatGoesOutAsItsOwnBytes)
{
    if (sizeof(t_float) != sizeof(float))
        GTEST_SKIP() << "Pd's floats are doubles here: the wire takes the nearest float";
    auto &a = fakeserial::add("/dev/a");
    make({"open", "/dev/a"});
    fakepd::advance(0);
    for (uint32_t bits : {0x7FA00001u, 0xFFC12345u, 0x7FFFFFFFu, 0x80000001u}) {
        a.output.clear();
        fakepd::send_float(&sender->x_obj, veltrix::frame_bits_float(bits));
        const Bytes value = {uint8_t(bits), uint8_t(bits >> 8), uint8_t(bits >> 16),
                             uint8_t(bits >> 24)};
        ASSERT_EQ(a.output.size(), 9u);
        EXPECT_EQ(Bytes(a.output.begin() + 5, a.output.end()), value) << std::hex << bits;
    }
}
