// The board library's example sketches, compiled for the Uno, running on the
// emulated board (veltrix-uno) against the module in a real pd -nogui.
#include <gtest/gtest.h>

#include "pd_process.h"

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int wait_ms = 10000; // the emulator slows down on a loaded host

class Uno : public ChildProcess {
  public:
    Uno(const std::string &sketch, const std::string &link, std::vector<std::string> args = {})
        : ChildProcess(command(sketch, link, args))
    {
    }
    bool wait_err(const std::string &text, int ms) { return wait_line(err_stream, text, ms); }

    // The duty cycles reported for `pin` so far.
    std::vector<double> duties(int pin) const
    {
        std::vector<double> d;
        std::string head = "pwm " + std::to_string(pin) + " ";
        for (auto &l : lines(out_stream))
            if (l.rfind(head, 0) == 0)
                d.push_back(std::atof(l.c_str() + head.size()));
        return d;
    }

  private:
    static std::vector<std::string> command(const std::string &sketch, const std::string &link,
                                            std::vector<std::string> args)
    {
        std::vector<std::string> all = {UNO_EXECUTABLE, "--link", link};
        all.insert(all.end(), args.begin(), args.end());
        if (!sketch.empty())
            all.push_back(std::string(FIRMWARE_DIR "/") + sketch);
        return all;
    }
};

// The value of the last "<name>: <value>" line, or NaN.
double last_value(const PdProcess &pd, const std::string &name)
{
    double v = NAN;
    for (auto &l : pd.lines())
        if (l.rfind(name + ": ", 0) == 0)
            v = std::atof(l.c_str() + name.size() + 2);
    return v;
}

bool wait_value(PdProcess &pd, const std::string &name, double want, double tolerance, int ms)
{
    return pd.wait_for(
        [&](const std::string &l) {
            return l.rfind(name + ": ", 0) == 0 &&
                   std::fabs(std::atof(l.c_str() + name.size() + 2) - want) <= tolerance;
        },
        ms);
}

// Echo: `count` floats sent every `period_ms` come back each once and in
// order; a value lost or repeated shows as a mismatch with the count so far.
void echo_every_float_in_order(const std::string &board_message)
{
    TempDir dir;
    std::string link = dir.path() + "/uno";
    Uno uno("Echo.elf", link);
    ASSERT_TRUE(uno.wait_err(link, wait_ms)) << uno.log();
    constexpr int count = 600;
    const std::string n = std::to_string(count);
    // 200 frames a second each way: 10 bytes a frame, a sixth of 115200 baud.
    std::vector<std::string> lines = {"obj 10 10 Veltrix open " + link,  // 0
                                      "obj 10 40 loadbang",              // 1
                                      "msg 200 40 " + board_message,     // 2
                                      "obj 10 70 delay 1000",            // 3
                                      "obj 10 100 metro 5",              // 4
                                      "obj 10 130 f",                    // 5
                                      "obj 60 130 + 1",                  // 6
                                      "obj 10 160 moses " + n,           // 7
                                      "obj 10 190 Veltrix send echo",    // 8
                                      "msg 100 190 stop",                // 9
                                      "obj 300 10 Veltrix receive echo", // 10
                                      "obj 300 40 t f b",                // 11
                                      "obj 400 70 f",                    // 12
                                      "obj 450 70 + 1",                  // 13
                                      "obj 300 100 !=",                  // 14
                                      "obj 300 130 sel 1",               // 15
                                      "obj 300 160 print MISMATCH",      // 16
                                      "obj 450 130 sel " + n,            // 17
                                      "obj 450 160 print ALL",           // 18
                                      "connect 1 0 2 0",
                                      "connect 1 0 3 0",
                                      "connect 3 0 4 0",
                                      "connect 4 0 5 0",
                                      "connect 5 0 6 0",
                                      "connect 6 0 5 1",
                                      "connect 5 0 7 0",
                                      "connect 7 0 8 0",
                                      "connect 7 1 9 0",
                                      "connect 9 0 4 0",
                                      "connect 10 0 11 0",
                                      "connect 11 1 12 0",
                                      "connect 12 0 13 0",
                                      "connect 13 0 12 1",
                                      "connect 12 0 14 1",
                                      "connect 11 0 14 0",
                                      "connect 14 0 15 0",
                                      "connect 15 0 16 0",
                                      "connect 13 0 17 0",
                                      "connect 17 0 18 0"};
    if (!board_message.empty())
        lines.push_back("connect 2 0 0 0");
    std::string patch = dir.write("p.pd", pd_patch(lines));
    PdProcess pd(patch);
    EXPECT_TRUE(pd.wait_line("ALL: bang", 30000)) << pd.console() << uno.log();
    pd.collect(300);
    EXPECT_EQ(pd.count("MISMATCH"), 0) << pd.console();
    EXPECT_EQ(pd.count("connected " + link + " ok!"), 1) << pd.console();
    EXPECT_EQ(uno.count(ChildProcess::err_stream, "warning"), 0) << uno.log();
}

TEST(Firmware, EchoSendsBackEveryFloatInOrder)
{
    echo_every_float_in_order("");
}

// A board that has no poll method yet only complains, and still works.
TEST(Firmware, EchoSendsBackEveryFloatInOrderPolledEveryMillisecond)
{
    echo_every_float_in_order("poll 1");
}

// AnalogSensor sends floor(V / 5 V * 1023) / 1023, and skips changes of one
// step: a reading is within 2 / 1023 of V / 5 V. Loaded from the Intel HEX
// file that the Arduino IDE exports.
TEST(Firmware, AnalogSensorSendsTheVoltageOnA0AsKnob)
{
    TempDir dir;
    std::string link = dir.path() + "/uno";
    Uno uno("AnalogSensor.hex", link, {"--analog", "A0=2.5"});
    ASSERT_TRUE(uno.wait_err(link, wait_ms)) << uno.log();
    std::string patch = dir.write(
        "p.pd", pd_patch({"obj 10 10 Veltrix open " + link, "obj 10 40 Veltrix receive knob",
                          "obj 10 70 print knob", "connect 1 0 2 0"}));
    PdProcess pd(patch);
    const double tolerance = 2.0 / 1023;
    for (double volts : {2.5, 1.2, 5.0, 0.0, 3.3}) {
        char line[32];
        snprintf(line, sizeof line, "A0 %g", volts);
        uno.send(line);
        EXPECT_TRUE(wait_value(pd, "knob", volts / 5, tolerance, wait_ms))
            << volts << " V, last knob " << last_value(pd, "knob") << "\n"
            << pd.console() << uno.log();
    }
}

// PwmLed: a float on "led" sets pin 9's duty cycle, in 255 steps.
TEST(Firmware, PwmLedSetsTheDutyCycleOfPin9)
{
    TempDir dir;
    std::string link = dir.path() + "/uno";
    Uno uno("PwmLed.elf", link, {"--pwm", "9"});
    ASSERT_TRUE(uno.wait_err(link, wait_ms)) << uno.log();
    const std::vector<double> sent = {0.25, 1, 0, 0.6, 0.002, -3};
    std::vector<std::string> lines = {"obj 10 10 Veltrix open " + link, "obj 10 40 loadbang",
                                      "obj 10 130 Veltrix send led"};
    // One value every 300 ms, after the port is open: a delay and a message each.
    for (size_t i = 0; i < sent.size(); i++) {
        std::string delay = std::to_string(3 + 2 * i), msg = std::to_string(4 + 2 * i);
        lines.insert(lines.begin() + 3 + 2 * i, {"obj 10 70 delay " + std::to_string(500 + 300 * i),
                                                 "msg 10 100 " + std::to_string(sent[i])});
        lines.insert(lines.end(),
                     {"connect 1 0 " + delay + " 0", "connect " + delay + " 0 " + msg + " 0",
                      "connect " + msg + " 0 2 0"});
    }
    PdProcess pd(dir.write("p.pd", pd_patch(lines)));
    // 0.002 rounds to level 1 (1/255); -3 turns the pin off.
    const std::vector<double> want = {0, 64 / 255.0, 1, 0, 153 / 255.0, 1 / 255.0, 0};
    ASSERT_TRUE(uno.wait_for(
        ChildProcess::out_stream,
        [&](const std::string &) { return uno.duties(9).size() >= want.size(); }, wait_ms))
        << uno.log() << pd.console();
    std::vector<double> got = uno.duties(9);
    ASSERT_EQ(got.size(), want.size()) << uno.log();
    for (size_t i = 0; i < want.size(); i++)
        EXPECT_NEAR(got[i], want[i], 1e-5) << i << "\n" << uno.log();
}

// The help's recipe after a pull and a replug: the Uno resets as the port
// opens and its bootloader loses what comes in its first second, so the
// sketch's "ready" brings the slider's last value again.
TEST(Firmware, PwmLedGetsTheSlidersLastValueAgainAfterAReplug)
{
    TempDir dir;
    std::string link = dir.path() + "/uno";
    const std::vector<std::string> args = {"--pwm", "9", "--reset-on-open"};
    auto uno = std::make_unique<Uno>("PwmLed.elf", link, args);
    ASSERT_TRUE(uno->wait_err(link, wait_ms)) << uno->log();
    std::vector<std::string> patch = {"obj 10 10 Veltrix open " + link,
                                      "obj 10 40 Veltrix receive ready",
                                      "obj 10 70 sel 1",
                                      "obj 10 100 f",
                                      "obj 10 130 Veltrix send led",
                                      "obj 200 10 loadbang",
                                      "obj 200 40 delay 500",
                                      "msg 200 70 0.6",
                                      "connect 1 0 2 0",
                                      "connect 2 0 3 0",
                                      "connect 3 0 4 0",
                                      "connect 5 0 6 0",
                                      "connect 6 0 7 0",
                                      "connect 7 0 4 0",
                                      "connect 7 0 3 1"};
    PdProcess pd(dir.write("p.pd", pd_patch(patch)));
    auto shows_last = [&] { // the slider's 0.6, in the sketch's 255 steps
        return uno->wait_for(
            ChildProcess::out_stream,
            [&](const std::string &) { return std::fabs(uno->duties(9).back() - 0.6) < 0.002; },
            wait_ms);
    };
    ASSERT_TRUE(shows_last()) << uno->log() << pd.console();
    uno.reset(); // pulled out, and plugged in again: a fresh Uno, its LED off
    uno = std::make_unique<Uno>("PwmLed.elf", link, args);
    EXPECT_TRUE(shows_last()) << uno->log() << pd.console();
}

// Opening the port: a reset when asked, as a real Uno's; a warning for a baud
// rate that a real line would garble; and the closing seen when Pd ends.
TEST(Emulator, TellsWhenThePatchOpensThePortAndAtWhatRate)
{
    TempDir dir;
    std::string link = dir.path() + "/uno";
    Uno uno("Echo.elf", link, {"--reset-on-open"});
    ASSERT_TRUE(uno.wait_err(link, wait_ms)) << uno.log();
    {
        PdProcess pd(dir.write("p.pd", pd_patch({"obj 10 10 Veltrix open " + link + " 9600"})));
        EXPECT_TRUE(uno.wait_err("the patch opened the port", wait_ms)) << uno.log();
        EXPECT_TRUE(uno.wait_err("veltrix-uno: reset", wait_ms)) << uno.log();
        EXPECT_TRUE(uno.wait_err("warning: the port is set to 9600 baud, the firmware's serial "
                                 "to 115200 (117647 on a 16 MHz Uno)",
                                 wait_ms))
            << uno.log();
    }
    EXPECT_TRUE(uno.wait_err("the patch closed the port", wait_ms)) << uno.log();
}

TEST(Emulator, EndsOnASignalAndRemovesItsLinks)
{
    TempDir dir;
    std::string link = dir.path() + "/uno";
    for (int sig : {SIGINT, SIGTERM}) {
        Uno uno("Echo.elf", link);
        ASSERT_TRUE(uno.wait_err(link, wait_ms)) << uno.log();
        char target[256] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        uno.signal(sig);
        EXPECT_EQ(uno.wait_exit(wait_ms), 0) << uno.log();
        struct stat st;
        EXPECT_NE(lstat(link.c_str(), &st), 0) << "link left after signal " << sig;
        char part[256] = {};
        readlink("/tmp/simavr-uart0", part, sizeof part - 1);
        EXPECT_STRNE(part, target) << "the part's link left after signal " << sig;
    }
}

TEST(Emulator, RefusesBadArgumentsAndFirmwareItCannotRun)
{
    TempDir dir;
    std::string link = dir.path() + "/uno";
    std::string text = dir.write("text.elf", "not an ELF file");
    struct {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{}, 2},
        {{"--analog", "A6=1", FIRMWARE_DIR "/Echo.elf"}, 2},
        {{"--analog", "A0=5.5", FIRMWARE_DIR "/Echo.elf"}, 2},
        {{"--pwm", "4", FIRMWARE_DIR "/Echo.elf"}, 2},
        {{"--quit-after", "x", FIRMWARE_DIR "/Echo.elf"}, 2},
        {{"--bogus", FIRMWARE_DIR "/Echo.elf"}, 2},
        {{text}, 1},
        {{dir.path() + "/missing.elf"}, 1},
    };
    for (auto &c : cases) {
        Uno uno("", link, c.args);
        std::string args;
        for (auto &a : c.args)
            args += a + " ";
        EXPECT_EQ(uno.wait_exit(wait_ms), c.status) << args << "\n" << uno.log();
        EXPECT_GT(uno.count(ChildProcess::err_stream, "error:"), 0) << args;
    }
    // Every option the help lists, the parser takes as listed: a flag alone
    // leaves only the missing firmware to complain of, an option shown with
    // a value wants one.
    Uno help("", link, {"--help"});
    EXPECT_EQ(help.wait_exit(wait_ms), 0);
    const std::regex listed("^ +(--[a-z-]+)( [A-Z])?");
    int options = 0;
    for (auto &l : help.lines(ChildProcess::out_stream)) {
        std::smatch m;
        if (!std::regex_search(l, m, listed) || m[1] == "--help")
            continue;
        options++;
        Uno run("", link, {m[1]});
        run.wait_exit(wait_ms);
        const char *want = m[2].matched ? "needs a value" : "no firmware given";
        EXPECT_EQ(run.count(ChildProcess::err_stream, want), 1) << m[1] << "\n" << run.log();
    }
    EXPECT_GE(options, 5) << help.log();
}

} // namespace
