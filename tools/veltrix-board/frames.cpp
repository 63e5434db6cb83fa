#include "sim.h"

#include "tool.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace {

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

bool print_frame(t_sim &x)
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

void stdin_line(t_sim &x, const std::string &line)
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

} // namespace

// Standard input is left blocking, its file may be shared with a shell: the
// caller reads only once poll found it readable.
void read_stdin(t_sim &x)
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

void queue_frame(t_sim &x, const char *tag, float value)
{
    uint8_t frame[veltrix::frame_max];
    size_t n = veltrix::frame_encode(tag, value, frame);
    x.x_out.insert(x.x_out.end(), frame, frame + n);
}

size_t out_pending(const t_sim &x)
{
    return x.x_out.size() - x.x_out_head;
}

void drop_out(t_sim &x)
{
    x.x_out.clear();
    x.x_out_head = 0;
}

bool flush_out(t_sim &x)
{
    while (out_pending(x) > 0) {
        long n = port_write(x.x_port, x.x_out.data() + x.x_out_head, out_pending(x));
        if (n < 0)
            return false;
        if (n == 0)
            break;
        x.x_out_head += size_t(n);
    }
    if (x.x_out_head == x.x_out.size())
        drop_out(x);
    return true;
}

bool read_port(t_sim &x)
{
    uint8_t buf[4096];
    for (;;) {
        long n = port_read(x.x_port, buf, sizeof buf);
        if (n <= 0)
            return n == 0;
        for (long i = 0; i < n; i++) {
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
