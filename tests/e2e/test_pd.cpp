// The built module loaded into a real `pd -nogui`.
#include "pd_process.h"
#include "ports.h"
#include "pty.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>

using Bytes = std::vector<uint8_t>;

namespace {

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes led_one = {0xAA, 0x6C, 0x65, 0x64, 0x00, 0x00, 0x00, 0x80, 0x3F};

// Lines of `pd` that match `pattern`, in order.
std::vector<std::string> matching(const PdProcess &pd, const std::string &pattern)
{
    std::vector<std::string> out;
    std::regex re(pattern);
    for (auto &l : pd.lines())
        if (std::regex_search(l, re))
            out.push_back(l);
    return out;
}

} // namespace

TEST(RealPd, LoadsAndCreatesEveryForm)
{
    TempDir dir;
    std::string patch = dir.write("forms.pd", pd_patch({
                                                  "obj 10 10 Veltrix open /nonexistent/port 9600",
                                                  "obj 10 40 Veltrix send led",
                                                  "obj 10 70 Veltrix receive knob",
                                                  "obj 10 100 Veltrix",
                                                  "obj 10 130 Veltrix send a b",
                                              }));
    PdProcess pd(patch);
    ASSERT_TRUE(pd.wait_line("CreateFile(/nonexistent/port) failed", 5000)) << pd.console();
    const std::string p = "0x[0-9a-f]+";
    std::vector<std::string> ours = matching(pd, "^(Veltrix_|error: Veltrix)");
    std::vector<std::string> expected = {
        "Veltrix_setup start",
        "Veltrix_setup end",
        "Veltrix_new start",
        "Veltrix_new 'open' " + p,
        "Veltrix_new end",
        "Veltrix_new start",
        "Veltrix_new 'send' " + p,
        "Veltrix_new end",
        "Veltrix_new start",
        "Veltrix_new 'receive' " + p,
        "Veltrix_new end",
        "Veltrix_new start",
        "error: Veltrix: unknown or missing arguments: <open\\|send\\|receive> \\[\\.\\.\\.\\]",
        "Veltrix_new end",
        "error: Veltrix: \\[Veltrix\\] needs open, send or receive, .*",
        "Veltrix_new start",
        "error: Veltrix: unknown or missing arguments: <open\\|send\\|receive> \\[\\.\\.\\.\\]",
        "Veltrix_new end",
        "error: Veltrix: \\[Veltrix send a b\\] takes one tag, .*",
        "Veltrix_tick " + p + " connecting /nonexistent/port \\.\\.\\.",
        "Veltrix_tick " + p + " CreateFile\\(/nonexistent/port\\) failed",
    };
    ASSERT_GE(ours.size(), expected.size()) << pd.console();
    for (size_t i = 0; i < expected.size(); i++)
        EXPECT_TRUE(std::regex_match(ours[i], std::regex(expected[i])))
            << "line " << i << ": " << ours[i] << "\nexpected: " << expected[i];
    EXPECT_EQ(pd.count("couldn't create"), 0) << pd.console();
}

TEST(RealPd, AMissingPortIsRetriedOnceASecond)
{
    TempDir dir;
    PdProcess pd(dir.write("missing.pd", pd_patch({"obj 10 10 Veltrix open /nonexistent/tty"})));
    ASSERT_TRUE(pd.wait_line("CreateFile(/nonexistent/tty) failed", 5000)) << pd.console();
    // 3.5 s hold three more attempts; a retry every 100 ms would give 35.
    pd.collect(3500);
    int attempts = pd.count("CreateFile(/nonexistent/tty) failed");
    EXPECT_GE(attempts, 3) << pd.console();
    EXPECT_LE(attempts, 5) << pd.console();
    EXPECT_EQ(pd.count("connecting /nonexistent/tty ..."), attempts);
}

TEST(RealPd, EveryObjectAnswersPortsWithThisMachinesPorts)
{
    TempDir dir;
    // A board, a sender, a receiver and an object that only complains.
    PdProcess pd(dir.write(
        "ports.pd",
        pd_patch({"obj 10 10 loadbang", "obj 10 40 t b b", "msg 10 70 ports",
                  "obj 10 100 Veltrix open /nonexistent/port", "obj 10 130 Veltrix send led",
                  "obj 10 160 Veltrix receive knob", "obj 10 190 Veltrix", "msg 100 70 listed",
                  "obj 100 100 print", "connect 0 0 1 0", "connect 1 1 2 0", "connect 2 0 3 0",
                  "connect 2 0 4 0", "connect 2 0 5 0", "connect 2 0 6 0", "connect 1 0 7 0",
                  "connect 7 0 8 0"})));
    ASSERT_TRUE(pd.wait_line("print: listed", 5000)) << pd.console();
    std::vector<std::string> lines = matching(pd, "^Veltrix_ports ");
    ASSERT_FALSE(lines.empty()) << pd.console();
    ASSERT_EQ(lines.size() % 4, 0u) << pd.console();
    size_t each = lines.size() / 4;
    for (size_t k = 1; k < 4; k++)
        EXPECT_TRUE(std::equal(lines.begin(), lines.begin() + each, lines.begin() + k * each))
            << pd.console();
    // The ports the lister finds from this test, outside Pd.
    static t_portinfo ports[ports_max];
    int n = std::min(ports_list(ports, ports_max), ports_max);
    std::set<std::string> present, listed;
    for (int i = 0; i < n; i++)
        present.insert(ports[i].name);
    const std::regex port("^Veltrix_ports (.+?): ");
    for (size_t i = 0; i < each; i++) {
        std::smatch m;
        if (std::regex_search(lines[i], m, port))
            listed.insert(m[1]);
    }
    EXPECT_EQ(listed, present) << pd.console();
    if (present.empty()) {
        EXPECT_EQ(lines[0], "Veltrix_ports no serial ports found");
    }
    EXPECT_EQ(pd.count("no method for 'ports'"), 0) << pd.console();
}

TEST(RealPd, FramesFlowBothWaysThroughAPseudoTerminal)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    TempDir dir;
    std::string patch = dir.write("flow.pd", pd_patch({
                                                 "obj 10 10 Veltrix open " + pty.slave(),
                                                 "obj 10 40 Veltrix receive led",
                                                 "obj 10 70 print got-led",
                                                 "obj 200 40 Veltrix receive other",
                                                 "obj 200 70 print got-other",
                                                 "obj 10 100 loadbang",
                                                 "obj 10 130 delay 500",
                                                 "msg 10 160 1",
                                                 "obj 10 190 Veltrix send led",
                                                 "obj 10 220 print passed",
                                                 "connect 1 0 2 0",
                                                 "connect 3 0 4 0",
                                                 "connect 5 0 6 0",
                                                 "connect 6 0 7 0",
                                                 "connect 7 0 8 0",
                                                 "connect 8 0 9 0",
                                             }));
    PdProcess pd(patch);
    ASSERT_TRUE(pd.wait_line("connected " + pty.slave() + " ok!", 5000)) << pd.console();
    // Patch to board: the frame arrives byte-exact, and the float goes on.
    EXPECT_EQ(pty.read(led_one.size(), 3000), led_one);
    EXPECT_TRUE(pd.wait_line("passed: 1", 3000)) << pd.console();
    EXPECT_EQ(pd.count("Veltrix_send 1.000000 to led"), 1);
    // Board to patch: a frame reaches the receivers of its tag only.
    ASSERT_TRUE(pty.write(Bytes{0x00, 0x13} + led_one));
    EXPECT_TRUE(pd.wait_line("got-led: 1", 3000)) << pd.console();
    pd.collect(300);
    EXPECT_EQ(pd.count("got-other"), 0);
}

TEST(RealPd, PollOneAndADeviceThatStopsReading)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    TempDir dir;
    std::string patch = dir.write("live.pd", pd_patch({
                                                 "obj 10 10 Veltrix open " + pty.slave(),
                                                 "obj 10 40 loadbang",
                                                 "msg 10 70 poll 1",
                                                 "obj 200 10 metro 20",
                                                 "obj 200 40 Veltrix send led",
                                                 "obj 10 100 Veltrix receive knob",
                                                 "obj 10 130 print got-knob",
                                                 "obj 200 25 f 1",
                                                 "connect 1 0 2 0",
                                                 "connect 2 0 0 0",
                                                 "connect 1 0 3 0",
                                                 "connect 3 0 7 0",
                                                 "connect 7 0 4 0",
                                                 "connect 5 0 6 0",
                                             }));
    PdProcess pd(patch);
    ASSERT_TRUE(pd.wait_line("connected " + pty.slave() + " ok!", 5000)) << pd.console();
    EXPECT_TRUE(pd.wait_line(pty.slave() + " every 1 ms", 2000)) << pd.console();
    ASSERT_GT(pty.fill_slave_output(), 0u); // the device stops reading
    const std::string failed = "WriteFile(" + pty.slave() + ", ";
    ASSERT_TRUE(pd.wait_for([&](const std::string &l) { return l.find(failed) != l.npos; }, 3000))
        << pd.console();
    // Pd keeps running: a value from the device still comes through.
    const Bytes knob = {0xAA, 'k', 'n', 'o', 'b', 0x00, 0x00, 0x00, 0x80, 0x3F};
    ASSERT_TRUE(pty.write(knob));
    EXPECT_TRUE(pd.wait_line("got-knob: 1", 3000)) << pd.console();
}
