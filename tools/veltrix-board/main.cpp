// veltrix-board: a board for a patch to talk to when there is no hardware.
// It plays the device end of a pseudo-terminal (or of a real serial port):
// prints the frames the patch sends, sends frames typed on standard input or
// made by generators, and can hang up to exercise the patch's reconnection.
//   options.cpp     the command line
//   port.cpp        the pseudo-terminal or the real port
//   frames.cpp      frames in and out, standard input
//   generators.cpp  the counter, the sine and the sequence
#include "sim.h"
#include "tool.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>

const char tool_name[] = "veltrix-board";

namespace {

volatile sig_atomic_t quit_signal = 0;
volatile sig_atomic_t hangup_signal = 0;

void on_quit(int sig)
{
    quit_signal = sig;
}
void on_hangup(int)
{
    hangup_signal = 1;
}

bool open_board(t_sim &x)
{
    x.x_dec = veltrix::t_frame_decoder{};
    return port_open(x.x_port);
}

void hang_up(t_sim &x, double seconds)
{
    status("hanging up for %.3g s", seconds);
    port_close(x.x_port);
    drop_out(x);
    timespec ts;
    ts.tv_sec = time_t(seconds);
    ts.tv_nsec = long((seconds - double(ts.tv_sec)) * 1e9);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR && !quit_signal) {
    }
}

int run(t_sim &x)
{
    const t_options &o = x.x_opt;
    const double start = now_seconds();
    double hangup_at = o.x_hangup_after >= 0 ? start + o.x_hangup_after : -1;
    const double quit_at = o.x_quit_after >= 0 ? start + o.x_quit_after : -1;
    while (!quit_signal) {
        double now = now_seconds();
        if (quit_at >= 0 && now >= quit_at)
            break;
        if (hangup_signal || (hangup_at >= 0 && now >= hangup_at)) {
            hangup_signal = 0;
            hangup_at = -1;
            hang_up(x, o.x_hangup_for);
            if (quit_signal)
                break;
            if (!open_board(x))
                return 1;
            continue;
        }
        port_held(x.x_port);
        generate(x, start, now);
        refill_sequence(x, now);
        if (!flush_out(x))
            return 1;
        if (sequence_written(x)) {
            double done = port_drained(x.x_port, now);
            if (done >= 0) {
                double seconds = done - x.x_sequence_start;
                fprintf(stderr,
                        "veltrix-board: sequence %s: %lld frames in %.3f s, %.0f frames/s\n",
                        o.x_sequence.c_str(), o.x_count, seconds, double(o.x_count) / seconds);
                break;
            }
        }

        // Sleep until the port or standard input has something, a frame is
        // due, or a short while passes.
        double wake = now + 0.05;
        if (!o.x_counter.empty() || !o.x_sine.empty())
            wake = std::fmin(wake, start + double(x.x_ticks) / o.x_rate);
        if (quit_at >= 0)
            wake = std::fmin(wake, quit_at);
        if (hangup_at >= 0)
            wake = std::fmin(wake, hangup_at);
        if (sequence_written(x))
            wake = std::fmin(wake, now + 0.01);
        int ms = int(std::ceil(std::fmax(0, wake - now) * 1000));
        int ready = port_wait(x.x_port, ms, out_pending(x) > 0, x.x_stdin_done ? -1 : 0);
        if (ready < 0)
            return 1;
        if ((ready & port_input) && !read_port(x))
            return 1;
        if (ready & port_other)
            read_stdin(x);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    t_sim x;
    int rc = parse_options(argc, argv, &x.x_opt);
    if (rc)
        return rc < 0 ? 0 : rc;
    tool_quiet = x.x_opt.x_quiet;
    x.x_port.x_link = x.x_opt.x_link;
    x.x_port.x_device = x.x_opt.x_port;
    x.x_port.x_baud = x.x_opt.x_baud;

    struct sigaction sa {};
    sa.sa_handler = on_quit;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sa.sa_handler = on_hangup;
    sigaction(SIGUSR1, &sa, nullptr);
    // A reader of standard output that went away ends the board through a
    // failed write, which removes the link, rather than through SIGPIPE.
    signal(SIGPIPE, SIG_IGN);

    if (!open_board(x))
        return 1;
    rc = run(x);
    port_close(x.x_port);
    if (quit_signal)
        status("ending on signal %d", int(quit_signal));
    return rc;
}
