// The module on the fake host, on real pseudo-terminals.
#include "frame.h"
#include "module_fixture.h"
#include "pty.h"

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

namespace {

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes led_one = {0xAA, 0x6C, 0x65, 0x64, 0x00, 0x00, 0x00, 0x80, 0x3F};

} // namespace

class Link : public ModuleTest {
  protected:
    t_Veltrix *board_on(Pty &pty)
    {
        t_Veltrix *x = make({"open", pty.slave().c_str()});
        lines();
        fakepd::advance(0);
        return x;
    }
};

TEST_F(Link, ABoardConnectsReadsFramesAndReconnectsAfterAHangUp)
{
    auto pty = std::make_unique<Pty>();
    std::string path = pty->slave();
    t_Veltrix *r = make({"receive", "led"});
    t_Veltrix *x = board_on(*pty);
    std::string self = "Veltrix_tick " + addr(x);
    EXPECT_EQ(lines(),
              (Lines{self + " connecting " + path + " ...", self + " connected " + path + " ok!"}));

    ASSERT_TRUE(pty->write(Bytes{0x13, 0x0D} + led_one));
    usleep(20000);
    fakepd::advance(100);
    auto out = fakepd::take_outlets();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].outlet, r->d.r.f_out);
    EXPECT_EQ(out[0].value, 1.0);

    pty.reset(); // the cable is pulled
    fakepd::advance(100);
    EXPECT_EQ(lines(), (Lines{self + " ReadFile(" + path + ") failed, closing connection"}));
    EXPECT_EQ(x->d.b.connected, 0);
}

TEST_F(Link, ASecondBoardOnTheSamePortCannotConnect)
{
    Pty pty;
    t_Veltrix *first = board_on(pty);
    t_Veltrix *second = board_on(pty);
    EXPECT_EQ(first->d.b.connected, 1);
    EXPECT_EQ(second->d.b.connected, 0);
    Lines told = lines();
    ASSERT_GE(told.size(), 2u);
    EXPECT_EQ(told[told.size() - 2],
              "Veltrix_tick " + addr(second) + " CreateFile(" + pty.slave() + ") failed");
    // The lock says busy; the board knows by whom.
    EXPECT_EQ(told.back(),
              "error: Veltrix_tick " + addr(second) + " " + pty.slave() +
                  ": busy: [Veltrix open] " + addr(first) +
                  " in this Pd holds it; one board object per port ('info' tells it again)");
    destroy(first);
    fakepd::advance(1000);
    EXPECT_EQ(second->d.b.connected, 1);
}

TEST_F(Link, ASenderWritesTheExactFrameToEachBoardInSlotOrder)
{
    Pty a, b;
    board_on(a);
    board_on(b);
    t_Veltrix *s = make({"send", "led"});
    fakepd::send_float(&s->x_obj, 1);
    fakepd::send_float(&s->x_obj, -0.5f);
    uint8_t second[veltrix::frame_max];
    size_t n = veltrix::frame_encode("led", -0.5f, second);
    Bytes both = led_one + Bytes(second, second + n);
    EXPECT_EQ(a.read(both.size(), 2000), both);
    EXPECT_EQ(b.read(both.size(), 2000), both);
    auto out = fakepd::take_outlets();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].value, -0.5);
}

TEST_F(Link, DeletingAConnectedBoardClosesItsPort)
{
    Pty pty;
    t_Veltrix *x = board_on(pty);
    ASSERT_EQ(x->d.b.connected, 1);
    destroy(x);
    EXPECT_TRUE(pty.slave_closed(2000));
}

TEST_F(Link, AStuckDeviceFailsTheWriteInTimeStaysConnectedAndTakesFloatsOnceItReads)
{
    Pty pty;
    t_Veltrix *x = board_on(pty);
    t_Veltrix *s = make({"send", "led"});
    size_t queued = pty.fill_slave_output(); // and nothing read on the device's side
    ASSERT_GT(queued, 0u);
    lines();
    const std::string failed = "Veltrix_send_float WriteFile(" + pty.slave() + ", start) failed";
    for (int i = 0; i < 2; i++) { // the second meets a port known stuck
        auto start = std::chrono::steady_clock::now();
        fakepd::send_float(&s->x_obj, 1);
        // Far above the bound, far below the seconds a blocking write took.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
        EXPECT_EQ(lines(), (Lines{"Veltrix_send 1.000000 to led", failed}));
    }
    fakepd::advance(100);
    EXPECT_EQ(x->d.b.connected, 1);
    EXPECT_EQ(pty.read(queued, 5000).size(), queued);
    fakepd::send_float(&s->x_obj, 1);
    EXPECT_EQ(lines(), (Lines{"Veltrix_send 1.000000 to led"}));
    EXPECT_EQ(pty.read(led_one.size(), 2000), led_one);
}
