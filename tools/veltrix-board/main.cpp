// veltrix-board: a board for a patch to talk to when there is no hardware.
// It plays the device end of a pseudo-terminal (or of a real serial port):
// prints the frames the patch sends, sends frames typed on standard input or
// made by generators, and can hang up to exercise the patch's reconnection.
#include "frame.h"
#include "serial.h"
#include "serial_posix.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

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
  --baud RATE         rate of --port (default 115200).

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

struct t_options {
    std::string x_link;
    std::string x_port;
    long x_baud = 115200;
    std::string x_counter;
    std::string x_sine;
    double x_freq = 0.5;
    double x_rate = 10;
    std::string x_sequence;
    long long x_count = 1000;
    bool x_echo = false;
    double x_hangup_after = -1;
    double x_hangup_for = 0;
    double x_quit_after = -1;
    bool x_hex = false;
    bool x_quiet = false;
};

struct t_board {
    t_options x_opt;
    int x_fd = -1;
    t_serial *x_port = nullptr; // a real port, whose descriptor is x_fd
    std::string x_slave;        // the pseudo-terminal's slave path
    bool x_open = false;        // the patch holds the port
    veltrix::t_frame_decoder x_dec{};
    std::vector<uint8_t> x_raw; // the bytes of the frame being read
    std::vector<uint8_t> x_out; // frames waiting for the port
    size_t x_out_head = 0;
    std::string x_stdin;
    bool x_stdin_done = false;
    long long x_counter_value = 0;
    long long x_ticks = 0; // generator ticks so far
    long long x_sequence_next = 0;
    double x_sequence_start = -1;
    double x_drain_since = -1; // when the slave's queue was last seen empty
};

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

double now_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void status(const t_board &x, const char *format, ...)
{
    if (x.x_opt.x_quiet)
        return;
    va_list ap;
    va_start(ap, format);
    fputs("veltrix-board: ", stderr);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
    va_end(ap);
}

void error(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    fputs("veltrix-board: error: ", stderr);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
    va_end(ap);
}

// The shortest text that reads back as the same float, so that what is
// printed is exactly what came in and still reads well ("0.1", not
// "0.100000001").
std::string format_value(float value)
{
    char text[32];
    for (int digits = 6; digits <= 9; digits++) {
        snprintf(text, sizeof text, "%.*g", digits, double(value));
        float back = strtof(text, nullptr);
        if (back == value || (std::isnan(back) && std::isnan(value)))
            break;
    }
    return text;
}

// ---- arguments ----

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

// 0 to go on, otherwise the exit status (help printed, or a bad argument).
int parse_options(int argc, char **argv, t_options *o)
{
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
    return 0;
}

// ---- the port ----

bool link_to(const t_board &x)
{
    const std::string &link = x.x_opt.x_link;
    struct stat st;
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error("%s exists and is not a symbolic link; not replacing it", link.c_str());
        return false;
    }
    // A new link renamed over the old one: a patch polling the path never
    // finds it missing or half made.
    std::string tmp = link + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(x.x_slave.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        error("cannot make the link %s: %s", link.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

// Removes the link if it is still ours: another board may have taken it over.
void unlink_ours(const t_board &x)
{
    if (x.x_opt.x_link.empty() || x.x_slave.empty())
        return;
    char target[256];
    ssize_t n = readlink(x.x_opt.x_link.c_str(), target, sizeof target - 1);
    if (n < 0)
        return;
    target[n] = '\0';
    if (x.x_slave == target)
        unlink(x.x_opt.x_link.c_str());
}

bool open_pty(t_board &x)
{
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || !ptsname(fd)) {
        error("cannot open a pseudo-terminal: %s", strerror(errno));
        if (fd >= 0)
            close(fd);
        return false;
    }
    // Raw before anything is written: no echo, no line editing, no CR/LF
    // translation, every byte as it is.
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    x.x_slave = ptsname(fd);
    // Opening and closing the slave once marks the master hung up until the
    // patch opens it: from then on the master's POLLHUP tells whether the
    // patch holds the port.
    int s = open(x.x_slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s >= 0)
        close(s);
    x.x_fd = fd;
    x.x_open = false;
    x.x_dec = veltrix::t_frame_decoder{};
    if (!link_to(x)) {
        close(fd);
        x.x_fd = -1;
        return false;
    }
    status(x, "%s -> %s", x.x_opt.x_link.c_str(), x.x_slave.c_str());
    return true;
}

// A real port, opened and set up as the module sets up a board's.
bool open_port(t_board &x)
{
    const char *name = x.x_opt.x_port.c_str();
    t_serial *port = serial_open(name);
    if (!port) {
        error("cannot open %s (missing, or in use by another program): %s", name, strerror(errno));
        return false;
    }
    t_commstate state{};
    if (!serial_getstate(port, &state)) {
        error("%s is not a serial port", name);
        serial_close(port);
        return false;
    }
    state.baudrate = static_cast<int32_t>(x.x_opt.x_baud);
    state.bytesize = 8;
    state.stopbits = serial_stop_one;
    state.parity = serial_parity_none;
    if (!serial_setstate(port, &state)) {
        error("cannot set %s to %ld 8N1", name, x.x_opt.x_baud);
        serial_close(port);
        return false;
    }
    x.x_port = port;
    x.x_fd = serial_fd(port);
    x.x_open = true; // a real line has no way to tell; assume someone listens
    x.x_dec = veltrix::t_frame_decoder{};
    status(x, "%s open at %ld 8N1", name, x.x_opt.x_baud);
    return true;
}

bool open_board(t_board &x)
{
    return x.x_opt.x_link.empty() ? open_port(x) : open_pty(x);
}

void close_board(t_board &x)
{
    if (x.x_port)
        serial_close(x.x_port);
    else if (x.x_fd >= 0)
        close(x.x_fd);
    x.x_port = nullptr;
    x.x_fd = -1;
    unlink_ours(x);
    x.x_open = false;
}

// Whether the patch holds the pseudo-terminal; reports the changes.
void check_open(t_board &x)
{
    if (x.x_opt.x_link.empty() || x.x_fd < 0)
        return;
    pollfd p{x.x_fd, 0, 0};
    poll(&p, 1, 0);
    bool open = !(p.revents & POLLHUP);
    if (open != x.x_open)
        status(x, open ? "the patch opened the port" : "the patch closed the port");
    x.x_open = open;
}

// ---- frames ----

void queue_frame(t_board &x, const char *tag, float value)
{
    uint8_t frame[veltrix::frame_max];
    size_t n = veltrix::frame_encode(tag, value, frame);
    x.x_out.insert(x.x_out.end(), frame, frame + n);
}

size_t out_pending(const t_board &x)
{
    return x.x_out.size() - x.x_out_head;
}

// Writes what the port takes now; false when the port failed.
bool flush_out(t_board &x)
{
    while (x.x_open && out_pending(x) > 0) {
        ssize_t n = write(x.x_fd, x.x_out.data() + x.x_out_head, out_pending(x));
        if (n > 0) {
            x.x_out_head += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n < 0 && errno == EIO && !x.x_opt.x_link.empty()) {
            check_open(x);
            break;
        }
        error("write failed: %s", strerror(errno));
        return false;
    }
    if (x.x_out_head == x.x_out.size()) {
        x.x_out.clear();
        x.x_out_head = 0;
    }
    return true;
}

bool print_frame(t_board &x)
{
    std::string line = x.x_dec.inputBufferTag;
    line += ' ';
    line += format_value(x.x_dec.inputBufferValue);
    if (x.x_opt.x_hex) {
        line += " [";
        for (size_t i = 0; i < x.x_raw.size(); i++) {
            char hex[4];
            snprintf(hex, sizeof hex, i ? " %02x" : "%02x", x.x_raw[i]);
            line += hex;
        }
        line += ']';
    }
    line += '\n';
    // One line, flushed at once: the reader of standard output is often a
    // program waiting for it.
    return fputs(line.c_str(), stdout) >= 0 && fflush(stdout) == 0;
}

// Reads what the port has; false when the port or standard output failed.
bool read_port(t_board &x)
{
    uint8_t buf[4096];
    for (bool drained = false;; drained = true) {
        ssize_t n = read(x.x_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        // A raw terminal answers 0 when it has nothing more; only a first
        // read that finds nothing although the port looked ready is the end.
        if (n == 0 && drained && x.x_opt.x_link.empty())
            return true;
        if ((n < 0 && errno == EIO) || n == 0) {
            // On a pseudo-terminal: nobody holds the slave, the patch has
            // the port closed for now. On a real port: it is gone.
            if (!x.x_opt.x_link.empty()) {
                check_open(x);
                return true;
            }
            error("%s failed: %s", x.x_opt.x_port.c_str(), n ? strerror(errno) : "end of file");
            return false;
        }
        if (n < 0) {
            error("read failed: %s", strerror(errno));
            return false;
        }
        if (!x.x_open)
            check_open(x);
        for (ssize_t i = 0; i < n; i++) {
            if (x.x_dec.inputBufferState == veltrix::frame_between)
                x.x_raw.clear();
            x.x_raw.push_back(buf[i]);
            if (!veltrix::frame_step(x.x_dec, buf[i]))
                continue;
            if (!print_frame(x))
                return false;
            if (x.x_opt.x_echo)
                queue_frame(x, x.x_dec.inputBufferTag, x.x_dec.inputBufferValue);
        }
    }
}

void stdin_line(t_board &x, const std::string &line)
{
    char tag[256];
    char value[64];
    char rest[2];
    int n = sscanf(line.c_str(), " %255s %63s %1s", tag, value, rest);
    if (n <= 0)
        return; // blank line
    char *end = nullptr;
    float v = n == 2 ? strtof(value, &end) : 0;
    if (n != 2 || *end) {
        error("ignored '%s': lines are \"tag value\"", line.c_str());
        return;
    }
    queue_frame(x, tag, v);
}

// Called when poll found standard input readable, so the read does not block
// (standard input is left blocking: its file may be shared with a shell).
void read_stdin(t_board &x)
{
    char buf[4096];
    ssize_t n = read(0, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        if (!x.x_stdin.empty())
            stdin_line(x, x.x_stdin);
        x.x_stdin.clear();
        x.x_stdin_done = true;
        return;
    }
    x.x_stdin.append(buf, size_t(n));
    size_t nl;
    while ((nl = x.x_stdin.find('\n')) != std::string::npos) {
        stdin_line(x, x.x_stdin.substr(0, nl));
        x.x_stdin.erase(0, nl + 1);
    }
}

// The generators' frames for the ticks due by `now`. Ticks the port missed
// are skipped, not sent in a burst later.
void generate(t_board &x, double start, double now)
{
    const t_options &o = x.x_opt;
    if (o.x_counter.empty() && o.x_sine.empty())
        return;
    auto due = static_cast<long long>((now - start) * o.x_rate) + 1;
    if (due <= x.x_ticks)
        return;
    x.x_ticks = due;
    // Frames the patch is not reading yet are dropped, not piled up.
    if (!x.x_open || out_pending(x) > 4096)
        return;
    if (!o.x_counter.empty())
        queue_frame(x, o.x_counter.c_str(), float(x.x_counter_value++));
    if (!o.x_sine.empty()) {
        double t = double(due - 1) / o.x_rate;
        // Rounded to a millionth, so that the zero crossings read 0 and not 1.2e-16.
        double v = std::round(std::sin(2 * M_PI * o.x_freq * t) * 1e6) / 1e6;
        queue_frame(x, o.x_sine.c_str(), float(v));
    }
}

// Keeps the sequence's next frames ready while the patch holds the port.
void refill_sequence(t_board &x, double now)
{
    const t_options &o = x.x_opt;
    if (o.x_sequence.empty() || !x.x_open)
        return;
    if (x.x_sequence_start < 0 && x.x_sequence_next < o.x_count)
        x.x_sequence_start = now;
    while (x.x_sequence_next < o.x_count && out_pending(x) < 65536)
        queue_frame(x, o.x_sequence.c_str(), float(x.x_sequence_next++));
}

// After the last frame of the sequence is written: true once the patch has
// read it all from the slave's queue. The queue must stay empty a while, as
// the kernel moves the bytes it still holds into the queue only as room frees.
bool sequence_drained(t_board &x, double now)
{
    if (x.x_opt.x_link.empty()) {
        tcdrain(x.x_fd);
        return true;
    }
    int s = open(x.x_slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int queued = 0;
    if (s >= 0) {
        if (ioctl(s, FIONREAD, &queued) != 0)
            queued = 0;
        close(s);
    }
    if (queued > 0 || x.x_drain_since < 0)
        x.x_drain_since = queued > 0 ? -1 : now;
    return queued == 0 && now - x.x_drain_since >= 0.25;
}

void hang_up(t_board &x, double seconds)
{
    status(x, "hanging up for %.3g s", seconds);
    close_board(x);
    x.x_out.clear();
    x.x_out_head = 0;
    timespec ts;
    ts.tv_sec = time_t(seconds);
    ts.tv_nsec = long((seconds - double(ts.tv_sec)) * 1e9);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR && !quit_signal) {
    }
}

int run(t_board &x)
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
        check_open(x);
        generate(x, start, now);
        refill_sequence(x, now);
        if (!flush_out(x))
            return 1;
        if (!o.x_sequence.empty() && x.x_sequence_next == o.x_count && out_pending(x) == 0 &&
            sequence_drained(x, now)) {
            double seconds = x.x_drain_since - x.x_sequence_start;
            fprintf(stderr, "veltrix-board: sequence %s: %lld frames in %.3f s, %.0f frames/s\n",
                    o.x_sequence.c_str(), o.x_count, seconds, double(o.x_count) / seconds);
            break;
        }

        // Sleep until the port or standard input has something, a frame is
        // due, or a short while passes: while the patch has the port closed
        // the master reports a hang-up without pause, so it is left out of
        // the poll and looked at again each time round.
        double wake = now + 0.05;
        if (!o.x_counter.empty() || !o.x_sine.empty())
            wake = std::fmin(wake, start + double(x.x_ticks) / o.x_rate);
        if (quit_at >= 0)
            wake = std::fmin(wake, quit_at);
        if (hangup_at >= 0)
            wake = std::fmin(wake, hangup_at);
        if (!o.x_sequence.empty() && x.x_sequence_next == o.x_count && out_pending(x) == 0)
            wake = std::fmin(wake, now + 0.01);
        pollfd p[2] = {{x.x_open ? x.x_fd : -1, POLLIN, 0}, {x.x_stdin_done ? -1 : 0, POLLIN, 0}};
        if (x.x_open && out_pending(x) > 0)
            p[0].events |= POLLOUT;
        int ms = int(std::ceil(std::fmax(0, wake - now) * 1000));
        if (poll(p, 2, ms) < 0 && errno != EINTR) {
            error("poll failed: %s", strerror(errno));
            return 1;
        }
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (!read_port(x))
                return 1;
        }
        if (p[1].revents)
            read_stdin(x);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    t_board x;
    int rc = parse_options(argc, argv, &x.x_opt);
    if (rc)
        return rc < 0 ? 0 : rc;

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
    close_board(x);
    if (quit_signal)
        status(x, "ending on signal %d", int(quit_signal));
    return rc;
}
