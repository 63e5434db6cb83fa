// POSIX termios backend: exclusive, raw, non-blocking ports with reads served
// from a small buffer, so that a burst costs few system calls.
//
// No call here polls the port or reads more than is waiting. When nothing
// waits in Linux's line discipline, its poll(), and a read() asking for more
// than is there, first wait for the tty's flush worker, a kernel thread that
// on a busy machine itself waits for a CPU: seconds, with Pd stopped in the
// call. FIONREAD answers from the line discipline's count without that wait,
// and a read() of that many bytes returns without it too; bytes the worker
// has not moved yet are read at the next poll. Nor may Pd's own check for
// input (select()) ask the port on Linux: a thread of the port's does (see
// t_watcher).
#include "serial.h"
#include "serial_posix.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#include <pthread.h>
#include <signal.h>
// glibc 2.34 moved pthread_create into libc under a new version; the module
// asks for the first one, which older glibcs (Debian 10 and 11) have in the
// libpthread Pd loads, and newer ones keep. A static program has no versions.
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 34) && !defined(VELTRIX_STATIC_PROGRAM)
#if defined(__x86_64__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.2.5");
#elif defined(__aarch64__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.17");
#elif defined(__arm__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.4");
#endif
#endif
#endif

struct t_serial {
    int fd;
    int wake;     // what Pd's check watches (Linux: the watching thread's pipe), -1 until asked
    int rearm;    // Linux: a byte lets the watching thread look at the port again
    bool counted; // the driver counts line errors (real UARTs; not pseudo-terminals)
    bool stuck;   // the last write ran out of time: the device stopped reading
    uint32_t errors[3]; // the driver's overrun, framing and parity counts, as last seen
    uint16_t head;
    uint16_t tail;
    t_commtimeouts timeouts;
    uint8_t buffer[4096]; // a pseudo-terminal's whole queue
};

static_assert(sizeof(termios) <= sizeof(t_commstate::platform));

namespace {

struct t_speed {
    speed_t code;
    int32_t rate;
};

constexpr t_speed speeds[] = {
    {B50, 50},           {B75, 75},         {B110, 110},       {B134, 134},     {B150, 150},
    {B200, 200},         {B300, 300},       {B600, 600},       {B1200, 1200},   {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},     {B9600, 9600},     {B19200, 19200}, {B38400, 38400},
    {B57600, 57600},     {B115200, 115200}, {B230400, 230400},
#ifdef B460800
    {B460800, 460800},
#endif
#ifdef B500000
    {B500000, 500000},
#endif
#ifdef B576000
    {B576000, 576000},
#endif
#ifdef B921600
    {B921600, 921600},
#endif
#ifdef B1000000
    {B1000000, 1000000},
#endif
#ifdef B1152000
    {B1152000, 1152000},
#endif
#ifdef B1500000
    {B1500000, 1500000},
#endif
#ifdef B2000000
    {B2000000, 2000000},
#endif
};

bool speed_code(int32_t rate, speed_t *code)
{
    for (const auto &s : speeds) {
        if (s.rate == rate) {
            *code = s.code;
            return true;
        }
    }
    return false;
}

int32_t speed_rate(speed_t code)
{
    for (const auto &s : speeds) {
        if (s.code == code)
            return s.rate;
    }
    return 0;
}

tcflag_t size_flag(uint8_t bits)
{
    switch (bits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

// Raw binary mode: any of the terminal's line processing would corrupt frames.
void make_raw(termios &tio)
{
    tio.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                             IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~tcflag_t(OPOST);
    tio.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

// The driver's counts of overruns (its own and the UART's), framing and
// parity errors; false when it keeps none.
bool line_error_counts(int fd, uint32_t counts[3])
{
#if defined(__linux__) && defined(TIOCGICOUNT)
    serial_icounter_struct c{};
    if (ioctl(fd, TIOCGICOUNT, &c) != 0)
        return false;
    counts[0] = uint32_t(c.overrun) + uint32_t(c.buf_overrun);
    counts[1] = uint32_t(c.frame);
    counts[2] = uint32_t(c.parity);
    return true;
#else
    (void)fd;
    (void)counts;
    return false;
#endif
}

t_serial_open_error open_error(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO: // a tty whose device went away
        return serial_open_missing;
    case EACCES:
    case EPERM:
        return serial_open_denied;
    case EBUSY:
        return serial_open_busy;
    case EISDIR:
    case ENOTDIR:
    case ENOTTY:
        return serial_open_not_serial;
    default:
        return serial_open_other;
    }
}

} // namespace

t_serial *serial_open(const char *name, t_serial_open_error *why)
{
    t_serial_open_error ignored;
    if (!why)
        why = &ignored;
    *why = serial_open_ok;
    int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = open_error(errno);
        return nullptr;
    }
    // flock holds against root too, where TIOCEXCL does not.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *why = errno == EWOULDBLOCK ? serial_open_busy : serial_open_other;
        ::close(fd);
        return nullptr;
    }
    // calloc and clock_gettime rather than new and <chrono>'s clocks: the
    // module then needs no C++ runtime library, on macOS libSystem alone.
    auto *port = static_cast<t_serial *>(calloc(1, sizeof(t_serial)));
    if (!port) {
        *why = serial_open_other;
        ::close(fd);
        return nullptr;
    }
    port->fd = fd;
    port->wake = port->rearm = -1;
    port->counted = line_error_counts(fd, port->errors);
    return port;
}

int serial_getstate(t_serial *port, t_commstate *state)
{
    termios tio{};
    if (tcgetattr(port->fd, &tio) != 0)
        return 0;
    memcpy(state->platform, &tio, sizeof tio);
    state->baudrate = speed_rate(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        state->bytesize = 5;
        break;
    case CS6:
        state->bytesize = 6;
        break;
    case CS7:
        state->bytesize = 7;
        break;
    default:
        state->bytesize = 8;
    }
    state->stopbits = (tio.c_cflag & CSTOPB) ? serial_stop_two : serial_stop_one;
    state->parity = !(tio.c_cflag & PARENB)  ? serial_parity_none
                    : (tio.c_cflag & PARODD) ? serial_parity_odd
                                             : serial_parity_even;
    return 1;
}

int serial_setstate(t_serial *port, const t_commstate *state)
{
    // A zero rate means "hang up" to a POSIX terminal.
    if (state->baudrate <= 0 || state->bytesize < 5 || state->bytesize > 8 ||
        state->parity > serial_parity_even ||
        (state->stopbits != serial_stop_one && state->stopbits != serial_stop_two))
        return 0;
    termios tio;
    memcpy(&tio, state->platform, sizeof tio);
    make_raw(tio);
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB);
    tio.c_cflag |= size_flag(state->bytesize);
    if (state->stopbits == serial_stop_two)
        tio.c_cflag |= CSTOPB;
    if (state->parity != serial_parity_none) {
        tio.c_cflag |= PARENB | (state->parity == serial_parity_odd ? PARODD : 0);
        tio.c_iflag |= INPCK;
    }
    speed_t code;
    bool standard = speed_code(state->baudrate, &code);
    if (standard && (cfsetispeed(&tio, code) != 0 || cfsetospeed(&tio, code) != 0))
        return 0;
    if (tcsetattr(port->fd, TCSANOW, &tio) != 0)
        return 0;
    return standard || serial_set_custom_rate(port->fd, state->baudrate);
}

// The timeouts are this backend's own record, kept for the reads and writes
// to follow: there is nothing to ask the system, and nothing that can fail.
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

namespace {

// How often a wait looks again at the port: a byte at 115200 baud takes 87 us.
constexpr int64_t wait_step_us = 200;

// Sleeps a step, never past `deadline` (serial_clock_us).
void wait_step(int64_t deadline)
{
    int64_t us = std::min(wait_step_us, deadline - serial_clock_us());
    if (us <= 0)
        return;
    timespec ts{0, static_cast<long>(us * 1000)};
    nanosleep(&ts, nullptr);
}

// Nothing waits: the watching thread's word is taken, and it looks again.
void rearm(t_serial *port)
{
    char c[8];
    if (port->rearm >= 0 && ::read(port->wake, c, sizeof c) > 0)
        (void)!::write(port->rearm, "", 1);
}

// Bytes waiting in the line discipline; false when the port failed (a tty
// that was hung up, a cable pulled, answers EIO).
bool waiting(int fd, int *count)
{
    *count = 0;
    while (ioctl(fd, FIONREAD, count) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

} // namespace

int serial_read(t_serial *port, uint8_t *byte, uint32_t *count, t_serial_wait wait)
{
    *count = 0;
    if (port->head == port->tail) {
        int ready = 0;
        if (!waiting(port->fd, &ready))
            return 0;
        if (ready == 0 && wait == serial_rest) {
            // The rest of a frame is given the read interval, spent looking
            // at the count, not in a poll() that would wait for the worker.
            int64_t deadline = serial_clock_us() + int64_t(port->timeouts.read_interval) * 1000;
            while (ready == 0 && serial_clock_us() < deadline) {
                wait_step(deadline);
                if (!waiting(port->fd, &ready))
                    return 0;
            }
        }
        if (ready <= 0) {
            rearm(port);
            return 1;
        }
        size_t want = std::min(static_cast<size_t>(ready), sizeof port->buffer);
        ssize_t n = ::read(port->fd, port->buffer, want);
        if (n == 0)
            return 0; // end of file: the other end is gone
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return 0; // EIO, ENXIO: unplugged
            return 1;
        }
        port->head = 0;
        port->tail = static_cast<uint16_t>(n);
    }
    *byte = port->buffer[port->head++];
    *count = 1;
    return 1;
}

#if defined(__linux__)
namespace {

// On Linux a tty's select() waits for the terminal layer's worker, as a read()
// does, when nothing waits in the line discipline and bytes are on their way:
// with the port itself in its check, Pd stood still for up to 228 ms under
// load. So Pd's check watches a pipe, and a thread of the port's, which may
// wait, watches the port: once it finds the port readable (bytes, or a
// hang-up), it says so on the pipe, and looks again only once Pd's thread has
// read all that waited.
struct t_watcher {
    int tty;        // the thread's own descriptor of the port, and of its lock
    int wake[2];    // [1]: a byte when the port has something
    int control[2]; // [0]: a byte to look again; the end of the file to end
};

void *watch(void *arg)
{
    auto *w = static_cast<t_watcher *>(arg);
    for (bool armed = true;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(w->control[0], &set);
        if (armed)
            FD_SET(w->tty, &set);
        if (select(std::max(w->tty, w->control[0]) + 1, &set, nullptr, nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        char c[16];
        ssize_t n = FD_ISSET(w->control[0], &set) ? ::read(w->control[0], c, sizeof c) : -1;
        if (n == 0)
            break; // the port was closed
        if (n > 0)
            armed = true;
        else if (FD_ISSET(w->tty, &set)) {
            armed = false;
            (void)!::write(w->wake[1], "", 1);
        }
    }
    for (int fd : {w->tty, w->wake[1], w->control[0]})
        ::close(fd);
    free(w);
    return nullptr;
}

// The thread that watches `port`, its pipes' other ends into the port; false
// when any part could not be made.
bool watcher_start(t_serial *port)
{
    auto *w = static_cast<t_watcher *>(calloc(1, sizeof(t_watcher)));
    if (!w)
        return false;
    w->tty = fcntl(port->fd, F_DUPFD_CLOEXEC, 0);
    bool made = w->tty >= 0;
    bool wake = made && pipe2(w->wake, O_CLOEXEC | O_NONBLOCK) == 0;
    bool control = wake && pipe2(w->control, O_CLOEXEC | O_NONBLOCK) == 0;
    // select(), the thread's and Pd's, takes descriptors below FD_SETSIZE only.
    bool selectable = control && std::max({w->tty, w->wake[0], w->control[0]}) < FD_SETSIZE;
    int wake_in = w->wake[0], control_out = w->control[1];
    pthread_attr_t attr;
    bool started = false;
    if (selectable && pthread_attr_init(&attr) == 0) {
        // Signals are Pd's threads' to take, and nobody waits for this one.
        sigset_t all, old;
        sigfillset(&all);
        sigprocmask(SIG_SETMASK, &all, &old);
        pthread_t thread;
        started = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0 &&
                  pthread_create(&thread, &attr, watch, w) == 0;
        sigprocmask(SIG_SETMASK, &old, nullptr);
        pthread_attr_destroy(&attr);
    }
    if (started) {
        port->wake = wake_in;
        port->rearm = control_out;
        return true;
    }
    for (int fd : {made ? w->tty : -1, wake ? w->wake[0] : -1, wake ? w->wake[1] : -1,
                   control ? w->control[0] : -1, control ? w->control[1] : -1})
        if (fd >= 0)
            ::close(fd);
    free(w);
    return false;
}

} // namespace
#endif

uint32_t serial_line_errors(t_serial *port)
{
    uint32_t now[3];
    if (!port->counted || !line_error_counts(port->fd, now))
        return 0;
    uint32_t seen = 0;
    for (int i = 0; i < 3; i++) {
        if (now[i] != port->errors[i])
            seen |= 1u << i;
        port->errors[i] = now[i];
    }
    return seen;
}

int serial_write(t_serial *port, const uint8_t *data, int32_t length, int32_t *written)
{
    using t_clock = t_serial_clock;
    *written = 0;
    if (length < 0)
        return 0;
    const t_commtimeouts &t = port->timeouts;
    // Zero in both fields means no bound, as on Windows.
    bool bounded = t.write_constant || t.write_multiplier;
    auto deadline =
        t_clock::now() + std::chrono::milliseconds(int64_t(t.write_constant) +
                                                   int64_t(t.write_multiplier) * int64_t(length));
    while (*written < length) {
        ssize_t n = ::write(port->fd, data + *written, size_t(length - *written));
        if (n > 0) {
            *written += static_cast<int32_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return 0;
        // A port whose last write ran out of time and that still takes
        // nothing is not waited for again: a slider on a device that stopped
        // reading costs one call per value. A frame begun is given its time.
        if (port->stuck && *written == 0)
            return 0;
        // Room is waited for in steps, not in a poll() (see above); a tty
        // hung up meanwhile fails the next write with EIO.
        int64_t until = std::numeric_limits<int64_t>::max();
        if (bounded) {
            if (t_clock::now() >= deadline) {
                port->stuck = true;
                return 0;
            }
            until = deadline.time_since_epoch().count();
        }
        wait_step(until);
    }
    port->stuck = false;
    return 1;
}

void serial_close(t_serial *port)
{
    if (!port)
        return;
    // The watching thread's copy of the descriptor stays open until the
    // thread sees it should end; the lock goes now, so that the port opens
    // again at once (a board retyped in its box is deleted and made anew).
    if (port->rearm >= 0)
        flock(port->fd, LOCK_UN);
    ::close(port->fd); // drops the lock with it
    if (port->rearm >= 0) {
        ::close(port->wake);
        ::close(port->rearm); // ends the thread
    }
    free(port);
}

bool serial_watchable()
{
    return true;
}

int serial_descriptor(t_serial *port)
{
#if defined(__linux__)
    if (port->wake < 0 && !watcher_start(port))
        return -1;
    return port->wake;
#else
    return port->fd < FD_SETSIZE ? port->fd : -1; // the most Pd's select() takes
#endif
}

int64_t serial_clock_us()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

namespace {

// What makes a file itself: a device node's device number, any other file's
// file system and inode.
struct t_file_id {
    bool node;
    uint64_t major, minor, inode;
};

// The file of `fd`, or of `name` when it is given. On Linux by statx: glibc
// 2.33 gave stat and fstat new symbols, which older glibcs (Debian 11,
// Ubuntu 20.04, Raspberry Pi OS bullseye) refuse to load, and statx has been
// there unchanged since 2.28.
bool file_id(int fd, const char *name, t_file_id *id)
{
#if defined(__linux__)
    struct statx st;
    if (statx(name ? AT_FDCWD : fd, name ? name : "", name ? 0 : AT_EMPTY_PATH, STATX_BASIC_STATS,
              &st) != 0)
        return false;
    id->node = S_ISCHR(st.stx_mode);
    id->major = id->node ? st.stx_rdev_major : st.stx_dev_major;
    id->minor = id->node ? st.stx_rdev_minor : st.stx_dev_minor;
    id->inode = id->node ? 0 : st.stx_ino;
#else
    struct stat st;
    if ((name ? stat(name, &st) : fstat(fd, &st)) != 0)
        return false;
    id->node = S_ISCHR(st.st_mode);
    id->major = uint64_t(id->node ? st.st_rdev : st.st_dev);
    id->minor = 0;
    id->inode = id->node ? 0 : uint64_t(st.st_ino);
#endif
    return true;
}

} // namespace

// The device number of a device node, the file's identity otherwise: a link
// (/dev/serial/by-id/...) and the node it points to are one port.
int serial_same_device(t_serial *port, const char *name)
{
    t_file_id held, named;
    if (!port || !file_id(port->fd, nullptr, &held) || !file_id(-1, name, &named))
        return 0;
    return held.node == named.node && held.major == named.major && held.minor == named.minor &&
           held.inode == named.inode;
}
