// The reference the benchmarks compare against: the Windows design carried
// straight over to POSIX. One read system call per byte, a wait of about
// 2 ms (the read interval plus the total timeouts) whenever nothing is
// waiting, one write call per write, no buffering. Benchmarks only.
#include "serial.h"

#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

struct t_serial {
    int fd;
    t_commtimeouts timeouts;
};

static_assert(sizeof(termios) <= sizeof(t_commstate::platform));

namespace {

constexpr int idle_wait_ms = 2;

bool readable(int fd, int ms, bool *failed)
{
    pollfd pfd{fd, POLLIN, 0};
    int ready = poll(&pfd, 1, ms);
    *failed = ready < 0 && errno != EINTR;
    if (ready > 0 && !(pfd.revents & POLLIN))
        *failed = true;
    return ready > 0 && !*failed;
}

} // namespace

t_serial *serial_open(const char *name, t_serial_open_error *why)
{
    if (why)
        *why = serial_open_other;
    int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    auto *port = new (std::nothrow) t_serial{};
    if (!port) {
        ::close(fd);
        return nullptr;
    }
    port->fd = fd;
    return port;
}

int serial_getstate(t_serial *port, t_commstate *state)
{
    termios tio{};
    if (tcgetattr(port->fd, &tio) != 0)
        return 0;
    memcpy(state->platform, &tio, sizeof tio);
    state->baudrate = 115200;
    state->bytesize = 8;
    state->stopbits = serial_stop_one;
    state->parity = serial_parity_none;
    return 1;
}

int serial_setstate(t_serial *port, const t_commstate *state)
{
    termios tio;
    memcpy(&tio, state->platform, sizeof tio);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    return tcsetattr(port->fd, TCSANOW, &tio) == 0;
}

int serial_gettimeouts(t_serial *port, t_commtimeouts *timeouts)
{
    *timeouts = port->timeouts;
    return 1;
}

int serial_settimeouts(t_serial *port, const t_commtimeouts *timeouts)
{
    port->timeouts = *timeouts;
    return 1;
}

// The plain design waits on every empty read, whatever the reader asks.
int serial_read(t_serial *port, uint8_t *byte, uint32_t *count, t_serial_wait)
{
    *count = 0;
    for (int attempt = 0; attempt < 2; attempt++) {
        ssize_t n = ::read(port->fd, byte, 1);
        if (n == 1) {
            *count = 1;
            return 1;
        }
        // A raw terminal with VMIN and VTIME at 0 answers 0 when empty.
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return 0;
        if (attempt == 1)
            break;
        bool failed = false;
        if (!readable(port->fd, idle_wait_ms, &failed))
            return failed ? 0 : 1;
    }
    return 1;
}

uint32_t serial_line_errors(t_serial *)
{
    return 0;
}

int serial_write(t_serial *port, const uint8_t *data, int32_t length, int32_t *written)
{
    *written = 0;
    if (length < 0)
        return 0;
    ssize_t n = ::write(port->fd, data, size_t(length));
    if (n < 0)
        return 0;
    *written = static_cast<int32_t>(n);
    return n == length;
}

void serial_close(t_serial *port)
{
    if (!port)
        return;
    ::close(port->fd);
    delete port;
}

// The benchmarks give each port one board.
int serial_same_device(t_serial *, const char *)
{
    return 0;
}

// Read on the clock, as the plain design is.
bool serial_watchable()
{
    return false;
}

int serial_descriptor(t_serial *)
{
    return -1;
}

int64_t serial_clock_us()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}
