// Frames from a board, through the real poll loop, to the receivers.
#include "frame.h"
#include "fake_port_fixture.h"

#include <cmath>

using Bytes = std::vector<uint8_t>;

namespace {

Bytes frame(const std::string &tag, float value)
{
    uint8_t out[64];
    size_t n = veltrix::frame_encode(tag.c_str(), value, out);
    return Bytes(out, out + n);
}

// A frame with the tag as given, however long.
Bytes raw_frame(const std::string &tag, const Bytes &value)
{
    Bytes b{0xAA};
    for (char c : tag)
        b.push_back(uint8_t(c));
    b.push_back(0);
    b.insert(b.end(), value.begin(), value.end());
    return b;
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

class Frames : public FakePortTest {
  protected:
    void SetUp() override
    {
        FakePortTest::SetUp();
        board = connected_board("/dev/a");
    }
    // Polls until the bytes are read: the poll's time budget may leave some
    // to the next poll on a slow host (an emulator).
    void poll(const Bytes &bytes)
    {
        fakeserial::feed("/dev/a", bytes);
        auto &dev = fakeserial::get("/dev/a");
        fakepd::advance(100);
        for (int i = 0; i < 50 && dev.open && !dev.input.empty(); i++)
            fakepd::advance(100);
    }
    // The values each receiver got, in the order of output.
    std::vector<std::pair<t_Veltrix *, double>> outputs()
    {
        std::vector<std::pair<t_Veltrix *, double>> got;
        for (auto &e : fakepd::take_outlets())
            got.emplace_back(reinterpret_cast<t_Veltrix *>(e.owner), e.value);
        return got;
    }
    t_Veltrix *board = nullptr;
};

TEST_F(Frames, TheExampleFrameReachesOnlyItsTag)
{
    t_Veltrix *led = make({"receive", "led"});
    t_Veltrix *other = make({"receive", "le"});
    t_Veltrix *caps = make({"receive", "LED"});
    lines();
    poll({0xAA, 0x6C, 0x65, 0x64, 0x00, 0x00, 0x00, 0x80, 0x3F});
    EXPECT_EQ(outputs(), (std::vector<std::pair<t_Veltrix *, double>>{{led, 1.0}}));
    EXPECT_TRUE(lines().empty()); // dispatch posts nothing
    (void)other;
    (void)caps;
    EXPECT_EQ(board->d.b.inputBufferState, 0);
}

TEST_F(Frames, NoiseIsSkippedAndA0xAAInsideAFrameIsData)
{
    t_Veltrix *r = make({"receive", "a\xAA"});
    // 0xAA as a tag character and as a value byte: -3.0316488e-13 is AA AA AA AA.
    float v;
    uint32_t bits = 0xAAAAAAAA;
    memcpy(&v, &bits, 4);
    poll(Bytes{0x00, 0x61, 0x55, 0xFF} + frame("a\xAA", v));
    auto got = outputs();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].first, r);
    EXPECT_EQ(float(got[0].second), v);
}

TEST_F(Frames, SplitFrameIsDeliveredOnceWhenItsLastByteArrives)
{
    make({"receive", "knob"});
    Bytes f = frame("knob", 0.25f);
    poll(Bytes(f.begin(), f.begin() + 5)); // the tag and its NUL
    EXPECT_TRUE(outputs().empty());
    poll(Bytes(f.begin() + 5, f.end() - 1));
    EXPECT_TRUE(outputs().empty());
    poll(Bytes(f.end() - 1, f.end()));
    auto got = outputs();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].second, 0.25);
}

TEST_F(Frames, LongTagIsCutTo31AndEmptyTagIsATag)
{
    std::string tag40(40, 'x');
    t_Veltrix *cut = make({"receive", tag40.c_str()}); // its tag is cut too
    t_Veltrix *empty = make({"receive", ""});
    Bytes two = {0, 0, 0, 0x40};
    poll(raw_frame(tag40, two) + raw_frame("", Bytes{0, 0, 0x40, 0x40}));
    auto got = outputs();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], std::make_pair(cut, 2.0));
    EXPECT_EQ(got[1], std::make_pair(empty, 3.0));
}

TEST_F(Frames, ReceiversOfOneTagGetEachValueInSlotOrder)
{
    t_Veltrix *first = make({"receive", "t"});
    t_Veltrix *gap = make({"receive", "u"});
    t_Veltrix *second = make({"receive", "t"});
    destroy(gap);
    t_Veltrix *third = make({"receive", "t"}); // takes slot 1, before `second`
    poll(frame("t", 5) + frame("nobody", 6) + frame("t", 7));
    using Out = std::vector<std::pair<t_Veltrix *, double>>;
    EXPECT_EQ(outputs(),
              (Out{{first, 5}, {third, 5}, {second, 5}, {first, 7}, {third, 7}, {second, 7}}));
}

TEST_F(Frames, ValuesKeepTheirBitsThroughTheHostFloat)
{
    make({"receive", "v"});
    const float values[] = {0.0f,     -0.0f,     1e-45f, -3.4028235e38f,
                            INFINITY, -INFINITY, NAN,    123.456f};
    Bytes all;
    for (float v : values)
        all = all + frame("v", v);
    poll(all);
    auto got = outputs();
    ASSERT_EQ(got.size(), std::size(values));
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(veltrix::frame_float_bits(float(got[i].second)),
                  veltrix::frame_float_bits(values[i]));
    }
}

TEST_F(Frames, FrameCutByTheDeviceIsCompletedByWhatFollows)
{
    t_Veltrix *r = make({"receive", "ab"});
    // "ab" cut after its NUL and one value byte; the next frame's first
    // three bytes complete it, and the decoder finds its step at the next 0xAA.
    Bytes cut = {0xAA, 'a', 'b', 0, 0x11};
    poll(cut + frame("ab", 1) + frame("ab", 2));
    auto got = outputs();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], std::make_pair(r, 2.0));
}

TEST_F(Frames, ReconnectingAbandonsAHalfFrame)
{
    t_Veltrix *r = make({"receive", "k"});
    auto &dev = fakeserial::get("/dev/a");
    poll({0xAA, 'k', 0, 1, 2});
    dev.fail[fakeserial::op_read] = true;
    fakepd::advance(100);
    dev.fail[fakeserial::op_read] = false;
    fakepd::advance(100); // reconnects
    poll(frame("k", 9));
    EXPECT_EQ(outputs(), (std::vector<std::pair<t_Veltrix *, double>>{{r, 9}}));
}

// A patch may do anything from a receiver's outlet, synchronously.
class Reentry : public Frames {};

TEST_F(Reentry, DeletingThePolledBoardStopsItsPollAtOnce)
{
    t_Veltrix *r = make({"receive", "bye"});
    t_Veltrix *after = make({"receive", "bye"});
    auto &dev = fakeserial::get("/dev/a");
    fakepd::on_float(r->d.r.f_out, [&](t_float) { destroy(board); });
    poll(frame("bye", 1) + frame("bye", 2));
    // The walk went on to the later receiver; nothing else touched the board.
    EXPECT_EQ(outputs().size(), 2u);
    EXPECT_EQ(dev.closes, 1);
    EXPECT_EQ(dev.input.size(), frame("bye", 2).size());
    EXPECT_EQ(fakepd::live_clocks(), 0);
    EXPECT_EQ(Veltrix.boards[0], nullptr);
    fakepd::advance(1000);
    (void)after;
}

TEST_F(Reentry, DeletingOtherEndpointsAndCreatingNewOnesMidWalk)
{
    t_Veltrix *killer = make({"receive", "t"});
    t_Veltrix *victim = make({"receive", "t"});
    t_Veltrix *other_board = connected_board("/dev/b");
    t_Veltrix *born = nullptr;
    fakepd::on_float(killer->d.r.f_out, [&](t_float) {
        if (victim) {
            destroy(victim);
            victim = nullptr;
            destroy(other_board);
            born = make({"receive", "t"}); // takes the slot just freed, later in the walk
            make({"open", "/dev/c"});
        }
    });
    poll(frame("t", 4));
    auto got = outputs();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].first, killer);
    EXPECT_EQ(got[1].first, born);
    EXPECT_EQ(fakeserial::get("/dev/b").closes, 1);
}

TEST_F(Reentry, ASenderMayWriteToThePolledBoard)
{
    t_Veltrix *r = make({"receive", "ping"});
    t_Veltrix *s = make({"send", "pong"});
    fakepd::on_float(r->d.r.f_out, [&](t_float f) { fakepd::send_float(&s->x_obj, f + 1); });
    poll(frame("ping", 1) + frame("ping", 10));
    EXPECT_EQ(fakeserial::get("/dev/a").output, frame("pong", 2) + frame("pong", 11));
}
