#include "options.h"

#include "tool.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char *usage_text =
    R"(usage: veltrix-board (--link PATH | --port DEVICE [--baud RATE]) [options]

Plays a board for [Veltrix open ...]: prints every frame the patch sends as a
line "tag value" on standard output, and sends a frame for every line
"tag value" read on standard input.

Where the board is:
  --link PATH         open a pseudo-terminal and make PATH a symbolic link to
                      it; give PATH to [Veltrix open PATH]. A leftover link is
                      replaced; the link is removed on exit.
  --port DEVICE       use a real serial port instead (raw 8N1), e.g. a USB
                      serial adapter wired to the one the patch opens.
  --baud RATE         rate of --port (default 115200); a pseudo-terminal
                      (--link) has no rate.

What it sends:
  --counter TAG       0, 1, 2, ... on TAG, --rate frames per second.
  --sine TAG          a sine of amplitude 1 on TAG, --rate frames per second.
  --freq HZ           frequency of --sine (default 0.5).
  --rate FPS          frames per second of --counter and --sine (default 10).
  --sequence TAG      0, 1, 2, ... on TAG as fast as the patch reads them,
  --count N           N frames (default 1000), then a summary line on
                      standard error (frames, seconds, frames per second).
  --echo              send every frame received back to the patch.

Line trouble on purpose:
  --hangup-after S    hang up once after S seconds: close the port, then come
                      back on the same path. SIGUSR1 hangs up at any time.
  --hangup-for S      how long a hang-up lasts, the link absent (default 0).

How it ends (exit status 0): SIGINT (Ctrl-C), SIGTERM or SIGHUP; after
--quit-after seconds; with --sequence, once the patch has read the whole
sequence. The end of standard input only stops reading it.
  --quit-after S      exit after S seconds.

Output:
  --hex               follow each received frame with its bytes in hex.
  --quiet             no status lines on standard error (errors still are).
  --help              this text.

Frames are written only while the patch has the pseudo-terminal open: the
generators skip their frames in the meantime, and lines from standard input
and the sequence wait. Exit status 2 for bad arguments, 1 when the port
cannot be opened or fails.
)";

bool parse_double(const char *text, double low, double *out)
{
    char *end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno || end == text || *end || !std::isfinite(v) || v < low)
        return false;
    *out = v;
    return true;
}

bool parse_integer(const char *text, long long low, long long high, long long *out)
{
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno || end == text || *end || v < low || v > high)
        return false;
    *out = v;
    return true;
}

bool valid_tag(const std::string &tag)
{
    if (tag.empty())
        return false;
    for (char c : tag) {
        if (c == ' ' || c == '\t' || c == '\n')
            return false;
    }
    return true;
}

} // namespace

int parse_options(int argc, char **argv, t_options *o)
{
    bool baud_given = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(usage_text, stdout);
            return -1;
        }
        if (a == "--echo" || a == "--hex" || a == "--quiet") {
            (a == "--echo" ? o->x_echo : a == "--hex" ? o->x_hex : o->x_quiet) = true;
            continue;
        }
        if (i + 1 >= argc) {
            error("%s needs a value (see --help)", a.c_str());
            return 2;
        }
        const char *v = argv[++i];
        bool ok = true;
        long long n = 0;
        if (a == "--link") {
            o->x_link = v;
            ok = !o->x_link.empty();
        } else if (a == "--port") {
            o->x_port = v;
            ok = !o->x_port.empty();
        } else if (a == "--baud") {
            ok = parse_integer(v, 1, 4000000, &n);
            o->x_baud = long(n);
            baud_given = true;
        } else if (a == "--counter") {
            o->x_counter = v;
            ok = valid_tag(v);
        } else if (a == "--sine") {
            o->x_sine = v;
            ok = valid_tag(v);
        } else if (a == "--sequence") {
            o->x_sequence = v;
            ok = valid_tag(v);
        } else if (a == "--freq") {
            ok = parse_double(v, 0, &o->x_freq);
        } else if (a == "--rate") {
            ok = parse_double(v, 0, &o->x_rate) && o->x_rate > 0 && o->x_rate <= 100000;
        } else if (a == "--count") {
            ok = parse_integer(v, 1, 1LL << 24, &o->x_count); // integers a float holds exactly
        } else if (a == "--hangup-after") {
            ok = parse_double(v, 0, &o->x_hangup_after);
        } else if (a == "--hangup-for") {
            ok = parse_double(v, 0, &o->x_hangup_for);
        } else if (a == "--quit-after") {
            ok = parse_double(v, 0, &o->x_quit_after);
        } else {
            error("unknown option %s (see --help)", a.c_str());
            return 2;
        }
        if (!ok) {
            error("bad value '%s' for %s (see --help)", v, a.c_str());
            return 2;
        }
    }
    if (o->x_link.empty() == o->x_port.empty()) {
        error("give either --link PATH or --port DEVICE (see --help)");
        return 2;
    }
    // A pseudo-terminal takes any rate the patch sets and passes every byte
    // whole: a rate that does not match shows only on a real line.
    if (baud_given && !o->x_link.empty())
        status("warning: --baud does nothing with --link: a pseudo-terminal has no rate, so the "
               "patch's rate always matches; to try a wrong rate, use --port on a USB-serial "
               "adapter wired to the patch's");
    return 0;
}
