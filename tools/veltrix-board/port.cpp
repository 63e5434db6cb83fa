// The two kinds of port behind one table of operations. The real port goes
// through the module's own serial code, the one file of the tool that uses it.
#include "port.h"

#include "serial.h"
#include "tool.h"
#include "pty_link.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

struct t_port_kind {
    bool (*open)(t_port &);
    bool (*held)(t_port &);
    long (*read)(t_port &, uint8_t *, size_t);
    long (*write)(t_port &, const uint8_t *, size_t);
    int (*wait)(t_port &, int, bool, int);
    double (*drained)(t_port &, double);
};

namespace {

// ---- a pseudo-terminal behind a link ----

bool pty_open(t_port &x)
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
    x.x_master = fd;
    x.x_held = false;
    x.x_drain_since = -1;
    std::string why;
    if (!pty_link_make(x.x_link, x.x_slave, &why)) {
        error("%s", why.c_str());
        close(fd);
        x.x_master = -1;
        return false;
    }
    status("%s -> %s", x.x_link.c_str(), x.x_slave.c_str());
    return true;
}

bool pty_held(t_port &x)
{
    pollfd p{x.x_master, 0, 0};
    poll(&p, 1, 0);
    bool held = !(p.revents & POLLHUP);
    if (held != x.x_held)
        status(held ? "the patch opened the port" : "the patch closed the port");
    x.x_held = held;
    return held;
}

long pty_read(t_port &x, uint8_t *buf, size_t size)
{
    for (;;) {
        ssize_t n = read(x.x_master, buf, size);
        if (n > 0) {
            if (!x.x_held)
                pty_held(x);
            return long(n);
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        // Nobody holds the slave: the patch has the port closed for now.
        if (n == 0 || errno == EIO) {
            pty_held(x);
            return 0;
        }
        error("read failed: %s", strerror(errno));
        return -1;
    }
}

long pty_write(t_port &x, const uint8_t *data, size_t size)
{
    while (x.x_held) {
        ssize_t n = write(x.x_master, data, size);
        if (n >= 0)
            return long(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (errno == EIO) {
            pty_held(x);
            return 0;
        }
        error("write failed: %s", strerror(errno));
        return -1;
    }
    return 0;
}

// While the patch has the port closed the master reports a hang-up without
// pause, so it is left out of the poll then.
int pty_wait(t_port &x, int ms, bool writing, int other)
{
    pollfd p[2] = {{x.x_held ? x.x_master : -1, POLLIN, 0}, {other, POLLIN, 0}};
    if (x.x_held && writing)
        p[0].events |= POLLOUT;
    if (poll(p, 2, ms) < 0 && errno != EINTR) {
        error("poll failed: %s", strerror(errno));
        return -1;
    }
    return (p[0].revents & (POLLIN | POLLHUP | POLLERR) ? port_input : 0) |
           (p[1].revents ? port_other : 0);
}

// The patch has read everything once the slave's queue stays empty a while:
// the kernel moves the bytes it still holds into the queue only as room frees.
double pty_drained(t_port &x, double now)
{
    int s = open(x.x_slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int queued = 0;
    if (s >= 0) {
        if (ioctl(s, FIONREAD, &queued) != 0)
            queued = 0;
        close(s);
    }
    if (queued > 0 || x.x_drain_since < 0)
        x.x_drain_since = queued > 0 ? -1 : now;
    return queued == 0 && now - x.x_drain_since >= 0.25 ? x.x_drain_since : -1;
}

// ---- a real serial port ----

// A write waits at most this long for room on the line; what is left waits
// for the next turn of the main loop.
constexpr uint32_t line_write_ms = 20;
// Without a descriptor to sleep on, the line is looked at this often.
constexpr int line_wait_ms = 5;

// Raw 8N1 at the rate asked for, as the module sets up a board's port, and
// writes bounded; false with the error printed.
bool line_setup(t_serial *port, const t_port &x)
{
    const char *name = x.x_device.c_str();
    t_commstate state{};
    if (!serial_getstate(port, &state)) {
        error("%s is not a serial port", name);
        return false;
    }
    state.baudrate = static_cast<int32_t>(x.x_baud);
    state.bytesize = 8;
    state.stopbits = serial_stop_one;
    state.parity = serial_parity_none;
    if (!serial_setstate(port, &state)) {
        error("cannot set %s to %ld 8N1", name, x.x_baud);
        return false;
    }
    t_commtimeouts timeouts{};
    timeouts.write_constant = line_write_ms;
    if (!serial_settimeouts(port, &timeouts)) {
        error("cannot set the timeouts of %s", name);
        return false;
    }
    return true;
}

bool line_open(t_port &x)
{
    const char *name = x.x_device.c_str();
    t_serial *port = serial_open(name);
    if (!port) {
        error("cannot open %s (missing, or in use by another program): %s", name, strerror(errno));
        return false;
    }
    if (!line_setup(port, x)) {
        serial_close(port);
        return false;
    }
    x.x_serial = port;
    x.x_held = true;
    x.x_line_free = 0;
    status("%s open at %ld 8N1", name, x.x_baud);
    return true;
}

bool line_held(t_port &)
{
    return true;
}

long line_read(t_port &x, uint8_t *buf, size_t size)
{
    size_t got = 0;
    while (got < size) {
        uint32_t count = 0;
        if (!serial_read(x.x_serial, buf + got, &count, serial_now)) {
            error("%s failed", x.x_device.c_str());
            return -1;
        }
        if (count == 0)
            break;
        got++;
    }
    return long(got);
}

// What a write leaves unsent it leaves for later; a line that is gone shows
// in the next read.
long line_write(t_port &x, const uint8_t *data, size_t size)
{
    int32_t written = 0;
    auto length = static_cast<int32_t>(std::min<size_t>(size, 1 << 20));
    serial_write(x.x_serial, data, length, &written);
    // Ten bits a byte leave at the line's rate, one after another.
    double now = now_seconds();
    x.x_line_free = std::max(x.x_line_free, now) + double(written) * 10 / double(x.x_baud);
    return written;
}

// The input is looked at after each slice; a pending write waits in the
// write itself, which is bounded.
int line_wait(t_port &, int ms, bool writing, int other)
{
    pollfd p{other, POLLIN, 0};
    if (poll(&p, 1, writing ? 0 : std::min(ms, line_wait_ms)) < 0 && errno != EINTR) {
        error("poll failed: %s", strerror(errno));
        return -1;
    }
    return port_input | (p.revents ? port_other : 0);
}

// The driver's queue cannot be seen through the serial interface: the line
// is done once it has had the time to send every byte it took.
double line_drained(t_port &x, double now)
{
    return now >= x.x_line_free ? x.x_line_free : -1;
}

const t_port_kind pty_kind = {pty_open, pty_held, pty_read, pty_write, pty_wait, pty_drained};
const t_port_kind line_kind = {line_open,  line_held, line_read,
                               line_write, line_wait, line_drained};

} // namespace

bool port_open(t_port &x)
{
    const t_port_kind *kind = x.x_link.empty() ? &line_kind : &pty_kind;
    if (!kind->open(x))
        return false;
    x.x_kind = kind;
    return true;
}

void port_close(t_port &x)
{
    if (x.x_serial)
        serial_close(x.x_serial);
    if (x.x_master >= 0)
        close(x.x_master);
    x.x_serial = nullptr;
    x.x_master = -1;
    x.x_kind = nullptr;
    pty_link_remove(x.x_link, x.x_slave);
    x.x_held = false;
}

bool port_held(t_port &x)
{
    return x.x_kind && x.x_kind->held(x);
}

long port_read(t_port &x, uint8_t *buf, size_t size)
{
    return x.x_kind ? x.x_kind->read(x, buf, size) : 0;
}

long port_write(t_port &x, const uint8_t *data, size_t size)
{
    return x.x_kind ? x.x_kind->write(x, data, size) : 0;
}

int port_wait(t_port &x, int ms, bool writing, int other)
{
    return x.x_kind ? x.x_kind->wait(x, ms, writing, other) : 0;
}

double port_drained(t_port &x, double now)
{
    return x.x_kind ? x.x_kind->drained(x, now) : now;
}
