// The shipped module on the fake host on an ARM1176 (tests/arm/run_arm1176.sh):
// it sets up, a board on a pseudo-terminal connects and its frame reaches a
// receiver's outlet, and a sender's float goes out as the exact frame.
#include "fake_pd.h"
#include "frame.h"
#include "pty.h"

#include <cstdio>

namespace {

int failures = 0;

void expect(bool ok, const char *what)
{
    printf("%s %s\n", ok ? "PASS" : "FAIL", what);
    failures += !ok;
}

bool posted(const std::vector<std::string> &lines, const std::string &text)
{
    for (const auto &l : lines)
        if (l.find(text) != std::string::npos)
            return true;
    return false;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int arm1176_run(void (*setup)(void))
{
    fakepd::setup(setup);
    expect(posted(fakepd::take_console(), "Veltrix_setup end"), "Veltrix_setup ran");

    Pty pty;
    t_object *receiver = fakepd::create({"receive", "led"});
    fakepd::create({"open", pty.slave().c_str()});
    t_object *sender = fakepd::create({"send", "led"});
    fakepd::advance(0);
    expect(posted(fakepd::take_console(), " connected " + pty.slave() + " ok!"),
           "a board connects to a pseudo-terminal");

    uint8_t frame[16];
    size_t n = veltrix::frame_encode("led", 0.75f, frame);
    pty.write(std::vector<uint8_t>(frame, frame + n));
    // The line's bytes reach the module as the kernel passes them on.
    for (int i = 0; i < 100 && fakepd::outlets().empty(); i++) {
        usleep(20000);
        fakepd::advance(100);
    }
    auto out = fakepd::take_outlets();
    expect(out.size() == 1 && out[0].owner == receiver && out[0].value == 0.75,
           "a frame from the board reaches the receiver as 0.75");

    fakepd::send_float(sender, -2.5f);
    n = veltrix::frame_encode("led", -2.5f, frame);
    expect(pty.read(n, 2000) == std::vector<uint8_t>(frame, frame + n),
           "a float sent goes to the board as its exact frame");
    fakepd::reset();
    return failures;
}
