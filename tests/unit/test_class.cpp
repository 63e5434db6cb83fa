// The class on the fake host: setup, the creation forms, the limits,
// destruction and bang.
#include "fake_port_fixture.h"

#include <cmath>
#include <limits>

using Lines = std::vector<std::string>;

TEST(Setup, RegistersTheClassAndPostsItsLines)
{
    fakepd::reset();
    fakepd::setup(Veltrix_setup);
    EXPECT_EQ(fakepd::take_console(), (Lines{"Veltrix_setup start", "Veltrix_setup end"}));
    t_class *c = fakepd::last_class();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(fakepd::class_name(c), "Veltrix");
    EXPECT_EQ(fakepd::help_symbol(c), "help-Veltrix");
    EXPECT_TRUE(fakepd::has_float_method(c));
    fakepd::reset();
}

class Creation : public FakePortTest {};

TEST_F(Creation, BoardWithPortAloneRunsAt115200)
{
    t_Veltrix *x = make({"open", "/dev/ttyUSB0"});
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(lines(),
              (Lines{"Veltrix_new start", "Veltrix_new 'open' " + addr(x), "Veltrix_new end"}));
    EXPECT_EQ(x->endpoint_type, ep_none);
    EXPECT_STREQ(x->d.b.tty, "/dev/ttyUSB0");
    EXPECT_EQ(x->d.b.baudrate, 115200);
    EXPECT_EQ(x->d.b.connected, 0);
    EXPECT_EQ(Veltrix.boards[0], x);
    EXPECT_EQ(fakepd::live_outlets(), 0);
}

TEST_F(Creation, BoardTakesTheRateAndIgnoresLaterArguments)
{
    t_Veltrix *x = make({"open", "COM3", 9600, "extra", 7});
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->d.b.baudrate, 9600);
    EXPECT_EQ(lines().size(), 3u);
}

TEST_F(Creation, RateIsTruncatedTowardZeroAndOutOfRangeIsTheLowestInteger)
{
    EXPECT_EQ(Veltrix_baudrate(9600.9), 9600);
    EXPECT_EQ(Veltrix_baudrate(-5.5), -5);
    EXPECT_EQ(Veltrix_baudrate(2147483647.0), 2147483647);
    EXPECT_EQ(Veltrix_baudrate(-2147483648.9), INT32_MIN);
    EXPECT_EQ(Veltrix_baudrate(2147483648.0), INT32_MIN);
    EXPECT_EQ(Veltrix_baudrate(-2147483649.0), INT32_MIN);
    EXPECT_EQ(Veltrix_baudrate(1e30), INT32_MIN);
    EXPECT_EQ(Veltrix_baudrate(std::numeric_limits<double>::infinity()), INT32_MIN);
    EXPECT_EQ(Veltrix_baudrate(std::nan("")), INT32_MIN);
    // A symbol where the rate goes reads as 0, as in Pd, and is told.
    lines();
    t_Veltrix *x = make({"open", "COM3", "fast"});
    EXPECT_EQ(x->d.b.baudrate, 0);
    EXPECT_EQ(lines()[3], "error: Veltrix: 'fast' is not a baud rate, so 0 is tried; give a "
                          "number, as in [Veltrix open COM3 115200]");
    EXPECT_EQ(fakepd::last_error_object(), x);
}

TEST_F(Creation, SenderAndReceiverGetATagAndAnOutlet)
{
    t_Veltrix *s = make({"send", "led"});
    t_Veltrix *r = make({"receive", "knob"});
    ASSERT_NE(s, nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(lines(),
              (Lines{"Veltrix_new start", "Veltrix_new 'send' " + addr(s), "Veltrix_new end",
                     "Veltrix_new start", "Veltrix_new 'receive' " + addr(r), "Veltrix_new end"}));
    EXPECT_EQ(s->endpoint_type, ep_send);
    EXPECT_STREQ(s->d.s.endpoint_tag, "led");
    EXPECT_NE(s->d.s.f_out, nullptr);
    EXPECT_EQ(r->endpoint_type, ep_receive);
    EXPECT_STREQ(r->d.r.endpoint_tag, "knob");
    EXPECT_EQ(Veltrix.receivers[0], r);
    EXPECT_EQ(fakepd::live_outlets(), 2);
    for (auto *slot : Veltrix.boards)
        EXPECT_EQ(slot, nullptr);
}

TEST_F(Creation, LongNamesAreCut)
{
    std::string tag(40, 't');
    std::string port = "/dev/" + std::string(200, 'p');
    t_Veltrix *s = make({"send", tag.c_str()});
    t_Veltrix *b = make({"open", port.c_str()});
    EXPECT_EQ(std::string(s->d.s.endpoint_tag), tag.substr(0, 31));
    EXPECT_EQ(std::string(b->d.b.tty), port.substr(0, 127));
}

TEST_F(Creation, NumbersAsNamesAreTheirText)
{
    EXPECT_STREQ(make({"receive", 3.5})->d.r.endpoint_tag, "3.5");
    EXPECT_STREQ(make({"open", 5})->d.b.tty, "5");
}

TEST_F(Creation, WrongArgumentsGiveAnInvalidObject)
{
    // Each form, and after the creation lines the one that says what is wrong,
    // an error Pd's Find Last Error leads back from.
    const std::vector<std::pair<std::vector<fakepd::t_arg>, std::string>> forms = {
        {{},
         "[Veltrix] needs open, send or receive, as in [Veltrix open /dev/ttyACM0], "
         "[Veltrix send led] or [Veltrix receive knob]"},
        {{"open"},
         "[Veltrix open] needs a port name, as in [Veltrix open /dev/ttyACM0] or "
         "[Veltrix open COM3]; 'ports' lists the ports present"},
        {{"send", "led", 1},
         "[Veltrix send led 1] takes one tag, a single word, as in "
         "[Veltrix send led]"},
        {{"receive"}, "[Veltrix receive] needs a tag, as in [Veltrix receive knob]"},
        {{"Open", "/dev/ttyUSB0"},
         "[Veltrix Open /dev/ttyUSB0]: 'Open' is not open, send or "
         "receive (they are written in lower case)"},
        {{"listen", "x"}, "[Veltrix listen x]: 'listen' is not open, send or receive"},
        // Pd names a float atom "float", which is no command.
        {{3, "led"}, "[Veltrix 3 led]: '3' is not open, send or receive"},
    };
    for (const auto &[args, why] : forms) {
        t_Veltrix *x = make(args);
        ASSERT_NE(x, nullptr);
        EXPECT_EQ(x->endpoint_type, ep_invalid);
        EXPECT_EQ(lines(),
                  (Lines{"Veltrix_new start",
                         "error: Veltrix: unknown or missing arguments: <open|send|receive> [...]",
                         "Veltrix_new end", "error: Veltrix: " + why}));
        EXPECT_EQ(fakepd::last_error_object(), x);
    }
    EXPECT_EQ(fakepd::live_outlets(), 0);
    EXPECT_EQ(fakepd::live_clocks(), 0);
}

class Limits : public FakePortTest {};

TEST_F(Limits, NinthBoardIsRefusedAndLeavesNothingBehind)
{
    std::vector<t_Veltrix *> boards;
    for (int i = 0; i < 8; i++)
        boards.push_back(make({"open", ("/dev/ttyS" + std::to_string(i)).c_str()}));
    lines();
    int objects = fakepd::live_objects(), clocks = fakepd::live_clocks();
    EXPECT_EQ(make({"open", "/dev/ttyS9"}), nullptr);
    auto posted = lines();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0], "Veltrix_new start");
    EXPECT_EQ(posted[1].rfind("Veltrix_new 'open' ", 0), 0u);
    EXPECT_EQ(fakepd::live_objects(), objects);
    EXPECT_EQ(fakepd::live_clocks(), clocks);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(Veltrix.boards[i], boards[i]);
    for (t_Veltrix *x : boards)
        destroy(x);
    EXPECT_EQ(fakepd::live_clocks(), 0) << "a board's slot was not freed";
}

TEST_F(Limits, FreedBoardSlotGoesToTheNextBoard)
{
    std::vector<t_Veltrix *> boards;
    for (int i = 0; i < 8; i++)
        boards.push_back(make({"open", ("/dev/ttyS" + std::to_string(i)).c_str()}));
    destroy(boards[5]);
    destroy(boards[2]);
    t_Veltrix *a = make({"open", "/dev/a"});
    t_Veltrix *b = make({"open", "/dev/b"});
    EXPECT_EQ(Veltrix.boards[2], a);
    EXPECT_EQ(Veltrix.boards[5], b);
}

TEST_F(Limits, Receiver513IsRefusedAndItsOutletGivenBack)
{
    for (int i = 0; i < 512; i++)
        ASSERT_NE(make({"receive", "r"}), nullptr);
    lines();
    EXPECT_EQ(fakepd::live_outlets(), 512);
    EXPECT_EQ(make({"receive", "r"}), nullptr);
    auto posted = lines();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[1].rfind("Veltrix_new 'receive' ", 0), 0u);
    EXPECT_EQ(fakepd::live_outlets(), 512);
    EXPECT_EQ(fakepd::live_objects(), 512);
    destroy(Veltrix.receivers[100]);
    t_Veltrix *r = make({"receive", "r"});
    EXPECT_EQ(Veltrix.receivers[100], r);
}

TEST_F(Limits, SendersTakeNoSlot)
{
    for (int i = 0; i < 1000; i++)
        ASSERT_NE(make({"send", "s"}), nullptr);
    for (auto *slot : Veltrix.receivers)
        EXPECT_EQ(slot, nullptr);
}

class Destruction : public FakePortTest {};

TEST_F(Destruction, BoardPostsItsLinesAndLeavesItsSlot)
{
    make({"open", "/dev/a"});
    t_Veltrix *x = make({"open", "/dev/b"});
    lines();
    destroy(x);
    EXPECT_EQ(lines(), (Lines{"Veltrix_free " + addr(x), "Veltrix_free CloseHandle(/dev/b)",
                              "Veltrix_free Veltrix.boards[1] = NULL"}));
    EXPECT_EQ(Veltrix.boards[1], nullptr);
    EXPECT_EQ(fakepd::live_clocks(), 1);
}

TEST_F(Destruction, ReceiverSenderAndInvalidObjects)
{
    make({"receive", "a"});
    make({"receive", "b"});
    t_Veltrix *r = make({"receive", "c"});
    t_Veltrix *s = make({"send", "c"});
    t_Veltrix *bad = make({});
    lines();
    destroy(r);
    EXPECT_EQ(lines(),
              (Lines{"Veltrix_free " + addr(r), "Veltrix_free Veltrix.receivers[2] = NULL"}));
    EXPECT_EQ(Veltrix.receivers[2], nullptr);
    destroy(s);
    EXPECT_EQ(lines(), (Lines{"Veltrix_free " + addr(s)}));
    destroy(bad);
    EXPECT_EQ(lines(), (Lines{"Veltrix_free " + addr(bad)}));
    EXPECT_EQ(fakepd::live_outlets(), 2);
}

class Bang : public FakePortTest {};

TEST_F(Bang, OnlyABoardTakesIt)
{
    t_Veltrix *b = make({"open", "/dev/a"});
    lines();
    fakepd::bang(&b->x_obj);
    EXPECT_EQ(lines(), (Lines{"Veltrix_bang!"}));
    for (auto *x : {make({"send", "s"}), make({"receive", "r"}), make({"nonsense"})}) {
        lines();
        fakepd::bang(&x->x_obj);
        EXPECT_EQ(lines(), (Lines{"Veltrix_bang!", "error: Veltrix: no method for 'bang'"}));
    }
    EXPECT_TRUE(fakepd::outlets().empty());
}
