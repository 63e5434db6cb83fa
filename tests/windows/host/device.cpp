// Linux side of the Windows tests: plays a board on pseudo-terminals that a
// wine prefix sees as COM ports, while it runs the Windows test program.
//
//   device DOSDEVICES NAME... -- COMMAND [ARG...]
//
// For each NAME (e.g. com12) a pseudo-terminal is made and DOSDEVICES/NAME
// links to it. Then COMMAND runs; its exit status is the driver's. Meanwhile
// every frame the host writes to a port is answered on that port with
//   0x55 (noise between frames), one frame "rx" per raw byte of the frame
//   received (so the host can check them byte for byte), and the frame
//   "echo" with the received value, bit for bit;
// except these tags:
//   "hangup"  the device closes its end for good;
//   "stall"   the device fills the port's output queue and reads nothing for
//             <value> seconds; then it drains the queue and answers the
//             frame "resumed";
//   "stream"  for <value> seconds the device sends frames "seq" 0, 1, 2, ...
//             paced at 115200 baud (11,520 bytes a second), then one frame
//             "end" with their count and one "behind" with the most bytes
//             that waited for the host at any moment (sent and not yet
//             read, or due and not yet taken by the line);
//   "later"   the frame "late" 1 goes out <value> ms later;
//   "rate"    later streams are paced at <value> baud (10 bits a byte);
//   "burst"   <value> frames "seq" 0, 1, 2, ... as fast as the line takes them.
#include "frame.h"
#include "pty.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sys/ioctl.h>
#include <sys/wait.h>

namespace {

constexpr int run_limit_ms = 120000;
constexpr double default_baud = 115200;

using steady = std::chrono::steady_clock;

struct t_port {
    std::string name;
    std::unique_ptr<Pty> pty;
    int slave_fd = -1; // held so that the master sees no hang-up between opens
    veltrix::t_frame_decoder decoder{};
    std::vector<uint8_t> raw; // bytes of the frame being received
    std::vector<uint8_t> out; // due, not yet taken by the line
    size_t behind = 0;        // the most bytes waiting for the host
    // A stream in progress: frames sent so far, and when it started and ends.
    double bytes_per_second = default_baud / 10;
    bool streaming = false;
    uint32_t streamed = 0;
    steady::time_point stream_start, stream_end;
    std::vector<std::pair<steady::time_point, std::vector<uint8_t>>> later;
    steady::time_point stalled_until{};
};

void append_frame(std::vector<uint8_t> &out, const char *tag, float value)
{
    uint8_t frame[veltrix::frame_max];
    size_t n = veltrix::frame_encode(tag, value, frame);
    out.insert(out.end(), frame, frame + n);
}

void hang_up(t_port &p)
{
    fprintf(stderr, "device %s: hanging up\n", p.name.c_str());
    p.pty->close();
    if (p.slave_fd >= 0)
        close(p.slave_fd);
    p.slave_fd = -1;
}

void on_byte(t_port &p, uint8_t c)
{
    if (p.decoder.inputBufferState == veltrix::frame_between)
        p.raw.clear();
    p.raw.push_back(c);
    if (!veltrix::frame_step(p.decoder, c))
        return;
    std::string tag = p.decoder.inputBufferTag;
    std::vector<uint8_t> raw;
    // Bytes ahead of the start byte are noise, not frame.
    for (size_t i = 0; i < p.raw.size(); i++) {
        if (p.raw[i] == veltrix::frame_start) {
            raw.assign(p.raw.begin() + long(i), p.raw.end());
            break;
        }
    }
    fprintf(stderr, "device %s: frame '%s' (%zu bytes)\n", p.name.c_str(), tag.c_str(), raw.size());
    if (tag == "hangup") {
        hang_up(p);
        return;
    }
    if (tag == "stall") {
        size_t queued = p.pty->fill_slave_output();
        fprintf(stderr, "device %s: stalled, %zu bytes queued\n", p.name.c_str(), queued);
        std::vector<uint8_t> reply;
        append_frame(reply, "stalled", 1);
        p.pty->write(reply);
        p.stalled_until =
            steady::now() + std::chrono::milliseconds(int(p.decoder.inputBufferValue * 1000));
        return;
    }
    if (tag == "stream") {
        p.streaming = true;
        p.streamed = 0;
        p.behind = 0;
        p.stream_start = steady::now();
        p.stream_end =
            p.stream_start + std::chrono::milliseconds(int64_t(p.decoder.inputBufferValue * 1000));
        return;
    }
    if (tag == "rate") {
        p.bytes_per_second = p.decoder.inputBufferValue / 10;
        return;
    }
    if (tag == "burst") {
        for (int i = 0; i < int(p.decoder.inputBufferValue); i++)
            append_frame(p.out, "seq", float(i));
        return;
    }
    if (tag == "later") {
        std::vector<uint8_t> late;
        append_frame(late, "late", 1);
        p.later.emplace_back(
            steady::now() + std::chrono::milliseconds(int64_t(p.decoder.inputBufferValue)), late);
        return;
    }
    std::vector<uint8_t> reply{0x55};
    for (uint8_t b : raw)
        append_frame(reply, "rx", b);
    append_frame(reply, "echo", p.decoder.inputBufferValue);
    if (!p.pty->write(reply))
        fprintf(stderr, "device %s: reply failed\n", p.name.c_str());
}

// Moves what is due into `out` and as much of it as the line takes.
void send_due(t_port &p)
{
    auto now = steady::now();
    for (size_t i = 0; i < p.later.size();) {
        if (p.later[i].first <= now) {
            p.out.insert(p.out.end(), p.later[i].second.begin(), p.later[i].second.end());
            p.later.erase(p.later.begin() + long(i));
        } else {
            i++;
        }
    }
    if (p.streaming) {
        auto until = std::min(now, p.stream_end);
        double seconds = std::chrono::duration<double>(until - p.stream_start).count();
        auto due = uint64_t(seconds * p.bytes_per_second);
        uint8_t frame[veltrix::frame_max];
        size_t size = veltrix::frame_encode("seq", 0, frame);
        while (uint64_t(p.streamed + 1) * size <= due)
            append_frame(p.out, "seq", float(p.streamed++));
        if (now >= p.stream_end) {
            p.streaming = false;
            append_frame(p.out, "end", float(p.streamed));
            append_frame(p.out, "behind", float(p.behind));
        }
    }
    if (!p.out.empty()) {
        ssize_t n = ::write(p.pty->master(), p.out.data(), p.out.size());
        if (n > 0)
            p.out.erase(p.out.begin(), p.out.begin() + n);
    }
    int queued = 0;
    if (p.streaming && ioctl(p.slave_fd, FIONREAD, &queued) == 0)
        p.behind = std::max(p.behind, size_t(queued) + p.out.size());
}

// Reads what the stall queued until the queue stays empty, then says so.
void resume(t_port &p)
{
    p.stalled_until = {};
    size_t drained = 0;
    for (size_t got = 1; got;) {
        got = 0;
        uint8_t buf[4096];
        for (ssize_t n; (n = read(p.pty->master(), buf, sizeof buf)) > 0;)
            got += size_t(n);
        drained += got;
        usleep(20000);
    }
    fprintf(stderr, "device %s: resumed, %zu bytes drained\n", p.name.c_str(), drained);
    std::vector<uint8_t> reply;
    append_frame(reply, "resumed", 1);
    p.pty->write(reply);
}

bool make_port(const std::string &dosdevices, t_port &p)
{
    p.pty = std::make_unique<Pty>(true);
    if (!p.pty->ok())
        return false;
    p.slave_fd = open(p.pty->slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::string link = dosdevices + "/" + p.name;
    unlink(link.c_str());
    if (p.slave_fd < 0 || symlink(p.pty->slave().c_str(), link.c_str()) != 0) {
        perror(link.c_str());
        return false;
    }
    fprintf(stderr, "device %s: %s\n", p.name.c_str(), p.pty->slave().c_str());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int sep = 1;
    while (sep < argc && strcmp(argv[sep], "--"))
        sep++;
    if (argc < 4 || sep < 3 || sep + 1 >= argc) {
        fprintf(stderr, "usage: device DOSDEVICES NAME... -- COMMAND [ARG...]\n");
        return 2;
    }
    std::string dosdevices = argv[1];
    std::vector<t_port> ports(size_t(sep - 2));
    for (size_t i = 0; i < ports.size(); i++) {
        ports[i].name = argv[2 + i];
        if (!make_port(dosdevices, ports[i]))
            return 2;
    }

    pid_t child = fork();
    if (child == 0) {
        execvp(argv[sep + 1], argv + sep + 1);
        perror(argv[sep + 1]);
        _exit(127);
    }
    if (child < 0) {
        perror("fork");
        return 2;
    }

    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(run_limit_ms);
    for (;;) {
        if (waitpid(child, &status, WNOHANG) == child)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            fprintf(stderr, "device: %s still running after %d ms, killing it\n", argv[sep + 1],
                    run_limit_ms);
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return 1;
        }
        for (auto &p : ports) {
            if (p.pty->master() >= 0)
                send_due(p);
        }
        std::vector<pollfd> fds;
        std::vector<t_port *> owners;
        for (auto &p : ports) {
            if (p.stalled_until != steady::time_point{} && steady::now() >= p.stalled_until)
                resume(p);
            if (p.pty->master() >= 0 && steady::now() >= p.stalled_until) {
                // Woken as soon as the line takes more, when bytes are due.
                fds.push_back({p.pty->master(), short(POLLIN | (p.out.empty() ? 0 : POLLOUT)), 0});
                owners.push_back(&p);
            }
        }
        if (poll(fds.data(), fds.size(), 1) <= 0)
            continue;
        for (size_t i = 0; i < fds.size(); i++) {
            if (!(fds[i].revents & POLLIN))
                continue;
            uint8_t buf[256];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            for (ssize_t k = 0; k < n; k++) {
                on_byte(*owners[i], buf[k]);
                if (owners[i]->pty->master() < 0)
                    break;
            }
        }
    }
    for (auto &p : ports) {
        unlink((dosdevices + "/" + p.name).c_str());
        if (p.slave_fd >= 0)
            close(p.slave_fd);
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    fprintf(stderr, "device: %s ended by a signal\n", argv[sep + 1]);
    return 1;
}
