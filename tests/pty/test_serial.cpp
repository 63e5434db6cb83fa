// The POSIX backend against real pseudo-terminals.
#include "pty.h"
#include "serial.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>

using Bytes = std::vector<uint8_t>;

int64_t line_rate(int fd);

// A pseudo-terminal's driver counts no line errors, so the test plays a
// UART's: pty_tests link with --wrap=ioctl, and TIOCGICOUNT answers `icount`
// while `counting` is set.
namespace {
bool counting = false;
serial_icounter_struct icount{};
} // namespace

// Linux's poll() on a tty with nothing in its line discipline first waits
// for the tty's flush worker, which on a busy machine waits for a CPU: the
// backend must never call it. pty_tests link with --wrap=poll to count.
namespace {
int polls = 0;
} // namespace

extern "C" int __real_poll(pollfd *fds, nfds_t n, int timeout);
extern "C" int __wrap_poll(pollfd *fds, nfds_t n, int timeout)
{
    polls++;
    return __real_poll(fds, n, timeout);
}

// No read() may ask for more than FIONREAD last said waits (Linux's read()
// of more waits for the flush worker too): pty_tests link with --wrap=read.
namespace {
int fionread_told[1024];
int reads_past_fionread = 0;
} // namespace

// A wait looks at the port in steps with a sleep between: the looks, its
// FIONREADs and writes, are counted (pty_tests link with --wrap=write too).
namespace {
int fionreads = 0;
int writes = 0;
} // namespace

extern "C" ssize_t __real_write(int fd, const void *buf, size_t n);
extern "C" ssize_t __wrap_write(int fd, const void *buf, size_t n)
{
    writes++;
    return __real_write(fd, buf, n);
}

extern "C" int __real_ioctl(int fd, unsigned long request, ...);
extern "C" int __wrap_ioctl(int fd, unsigned long request, void *arg)
{
    if (counting && request == TIOCGICOUNT) {
        memcpy(arg, &icount, sizeof icount);
        return 0;
    }
    fionreads += request == FIONREAD;
    int result = __real_ioctl(fd, request, arg);
    if (request == FIONREAD && result == 0 && fd >= 0 && fd < 1024)
        fionread_told[fd] = *static_cast<int *>(arg);
    return result;
}

extern "C" ssize_t __real_read(int fd, void *buf, size_t n);
extern "C" ssize_t __wrap_read(int fd, void *buf, size_t n)
{
    if (fd >= 0 && fd < 1024) {
        reads_past_fionread += n > size_t(fionread_told[fd]);
        fionread_told[fd] = 0; // the next read needs a count of its own
    }
    return __real_read(fd, buf, n);
}

// The errors an open can meet, played for the names /errno/N: pty_tests link
// with --wrap=open64 (the build's 64-bit file offsets name open() so).
extern "C" int __real_open64(const char *path, int flags, ...);
extern "C" int __wrap_open64(const char *path, int flags, mode_t mode)
{
    if (!strncmp(path, "/errno/", 7)) {
        errno = atoi(path + 7);
        return -1;
    }
    return __real_open64(path, flags, mode);
}

namespace {

constexpr t_commtimeouts board_timeouts = {1, 1, 1, 1000, 5000};

// Opens and sets up the port as a board does.
t_serial *open_board(const std::string &path, int32_t rate = 115200)
{
    t_serial *port = serial_open(path.c_str());
    if (!port)
        return nullptr;
    t_commstate state{};
    t_commtimeouts timeouts{};
    if (!serial_getstate(port, &state) || !serial_gettimeouts(port, &timeouts)) {
        serial_close(port);
        return nullptr;
    }
    state.baudrate = rate;
    state.bytesize = 8;
    state.stopbits = serial_stop_one;
    state.parity = serial_parity_none;
    if (!serial_setstate(port, &state) || !serial_settimeouts(port, &board_timeouts)) {
        serial_close(port);
        return nullptr;
    }
    return port;
}

// The looks per millisecond that `wait` takes, beside its first and last. A
// step sleeps 200 us, so more than 5 spin: with a real-time thread's timer
// slack, which Pd may have, a sleep of nanoseconds is no sleep at all.
double looks_per_ms(const int &looks, const std::function<void()> &wait)
{
    prctl(PR_SET_TIMERSLACK, 1UL);
    int before = looks;
    auto start = std::chrono::steady_clock::now();
    wait();
    std::chrono::duration<double, std::milli> waited = std::chrono::steady_clock::now() - start;
    prctl(PR_SET_TIMERSLACK, 0UL); // the default again
    return (looks - before - 2) / waited.count();
}

// Reads until `count` bytes came or a read found nothing twice in a row.
Bytes drain(t_serial *port, size_t count)
{
    Bytes got;
    int empty = 0;
    while (got.size() < count && empty < 200) {
        uint8_t b;
        uint32_t n;
        if (!serial_read(port, &b, &n, serial_now))
            break;
        if (n)
            got.push_back(b), empty = 0;
        else
            empty++, usleep(1000);
    }
    return got;
}

} // namespace

TEST(PosixSerial, RawModeLetsEveryByteThroughBothWays)
{
    Pty pty(false); // as found: a cooked terminal that echoes and translates
    ASSERT_TRUE(pty.ok());
    t_serial *port = open_board(pty.slave());
    ASSERT_NE(port, nullptr);
    const Bytes special = {0x03, 0x0A, 0x0D, 0x11, 0x13, 0x7F, 0xFF, 0x04, 0x1A, 0x00};
    int32_t written = 0;
    ASSERT_TRUE(serial_write(port, special.data(), int32_t(special.size()), &written));
    EXPECT_EQ(written, int32_t(special.size()));
    EXPECT_EQ(pty.read(special.size(), 2000), special);
    ASSERT_TRUE(pty.write(special));
    EXPECT_EQ(drain(port, special.size()), special);
    EXPECT_TRUE(pty.read(1, 100).empty()); // nothing echoed back
    serial_close(port);
}

TEST(PosixSerial, LineSettingsAndNonStandardRates)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    t_serial *port = open_board(pty.slave(), 9600);
    ASSERT_NE(port, nullptr);
    t_commstate state{};
    ASSERT_TRUE(serial_getstate(port, &state));
    EXPECT_EQ(state.baudrate, 9600);
    EXPECT_EQ(state.bytesize, 8);
    EXPECT_EQ(state.stopbits, serial_stop_one);
    EXPECT_EQ(state.parity, serial_parity_none);

    for (int32_t rate : {250000, 1000000, 31250}) {
        state.baudrate = rate;
        ASSERT_TRUE(serial_setstate(port, &state)) << rate;
        EXPECT_EQ(line_rate(pty.master()), rate);
    }
    // Zero means hang up to a terminal, so no rate below 1 is taken.
    for (int32_t rate : {0, -5, INT32_MIN}) {
        state.baudrate = rate;
        EXPECT_FALSE(serial_setstate(port, &state)) << rate;
    }
    serial_close(port);
}

TEST(PosixSerial, APortIsHeldExclusivelyUntilClosed)
{
    Pty pty;
    t_serial *first = serial_open(pty.slave().c_str());
    ASSERT_NE(first, nullptr);
    t_serial_open_error why = serial_open_ok;
    // A refused open keeps no descriptor: a board retries every second.
    auto lowest_free_fd = [] {
        int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        close(fd);
        return fd;
    };
    int free_fd = lowest_free_fd();
    EXPECT_EQ(serial_open(pty.slave().c_str(), &why), nullptr);
    EXPECT_EQ(why, serial_open_busy);
    EXPECT_EQ(lowest_free_fd(), free_fd) << "the refused open kept its descriptor";
    serial_close(first);
    t_serial *again = serial_open(pty.slave().c_str());
    EXPECT_NE(again, nullptr);
    // A link to the port (/dev/serial/by-id/...) names the same device.
    std::string link = testing::TempDir() + "veltrix-by-id";
    unlink(link.c_str());
    ASSERT_EQ(symlink(pty.slave().c_str(), link.c_str()), 0);
    Pty other;
    EXPECT_TRUE(serial_same_device(again, link.c_str()));
    EXPECT_FALSE(serial_same_device(again, other.slave().c_str()));
    unlink(link.c_str());
    // So does another node of the same device, an inode of its own (where
    // the test may make one).
    std::string node = testing::TempDir() + "veltrix-node";
    struct stat tty {};
    unlink(node.c_str());
    if (stat(pty.slave().c_str(), &tty) == 0 &&
        mknod(node.c_str(), S_IFCHR | 0600, tty.st_rdev) == 0) {
        EXPECT_TRUE(serial_same_device(again, node.c_str()));
    }
    unlink(node.c_str());
    serial_close(again);
}

TEST(PosixSerial, WhatIsNotATerminalFailsAtTheSettings)
{
    t_serial_open_error why = serial_open_ok;
    EXPECT_EQ(serial_open("/nonexistent/port", &why), nullptr);
    EXPECT_EQ(why, serial_open_missing);
    EXPECT_EQ(serial_open("/tmp", &why), nullptr);
    EXPECT_EQ(why, serial_open_not_serial);
    // A user not in the port's group must not be told to close another
    // program; a tty whose device went away answers ENXIO.
    for (auto [error, told] : {std::pair{EACCES, serial_open_denied},
                               {EPERM, serial_open_denied},
                               {ENXIO, serial_open_missing},
                               {EBUSY, serial_open_busy}}) {
        EXPECT_EQ(serial_open(("/errno/" + std::to_string(error)).c_str(), &why), nullptr);
        EXPECT_EQ(int(why), int(told)) << strerror(error);
    }
    t_serial *port = serial_open("/dev/null");
    ASSERT_NE(port, nullptr);
    t_commstate state{};
    EXPECT_FALSE(serial_getstate(port, &state));
    serial_close(port);
}

// What Pd's check watches is readable from a byte's arrival until a read
// found nothing more, again at the next byte, and at a hang-up.
TEST(PosixSerial, ReadsAnswerNothingWhenIdleAndFailOnHangUp)
{
    Pty pty;
    t_serial *port = open_board(pty.slave());
    ASSERT_NE(port, nullptr);
    int watched = serial_descriptor(port);
    ASSERT_GE(watched, 0);
    auto readable = [&](int ms) {
        pollfd p{watched, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    };
    uint8_t b = 0;
    uint32_t n = 7;
    EXPECT_TRUE(serial_read(port, &b, &n, serial_now));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(readable(50));
    // A burst larger than one read of the OS comes out whole and in order.
    Bytes burst(10000);
    for (size_t i = 0; i < burst.size(); i++)
        burst[i] = uint8_t(i * 7);
    std::thread feeder([&] { pty.write(burst); });
    EXPECT_TRUE(readable(1000));
    EXPECT_EQ(drain(port, burst.size()), burst);
    feeder.join();
    EXPECT_TRUE(serial_read(port, &b, &n, serial_now) && n == 0);
    EXPECT_FALSE(readable(50));
    ASSERT_TRUE(pty.write({0x42}));
    EXPECT_TRUE(readable(1000));
    EXPECT_EQ(drain(port, 1), Bytes{0x42});
    EXPECT_TRUE(serial_read(port, &b, &n, serial_now) && n == 0);
    pty.close(); // the device is unplugged
    EXPECT_TRUE(readable(1000));
    EXPECT_FALSE(serial_read(port, &b, &n, serial_now));
    serial_close(port);
}

TEST(PosixSerial, AWriteThatCannotFinishInTimeFailsAndSaysHowFarItGot)
{
    Pty pty;
    t_serial *port = open_board(pty.slave());
    ASSERT_NE(port, nullptr);
    const t_commtimeouts quick = {1, 1, 1, 0, 50};
    ASSERT_TRUE(serial_settimeouts(port, &quick));
    Bytes big(1 << 20, 0x55); // far more than the line holds while nobody reads
    int32_t written = -1;
    EXPECT_FALSE(serial_write(port, big.data(), int32_t(big.size()), &written));
    EXPECT_GT(written, 0);
    EXPECT_LT(written, int32_t(big.size()));
    serial_close(port);
}

TEST(PosixSerial, AReadWaitsOnlyWhenAskedTo)
{
    Pty pty;
    t_serial *port = open_board(pty.slave());
    ASSERT_NE(port, nullptr);
    // A wait long enough that the byte written meanwhile always comes in it.
    const t_commtimeouts patient = {3000, 0, 0, 1000, 5000};
    ASSERT_TRUE(serial_settimeouts(port, &patient));
    std::thread device([&] {
        usleep(300000);
        pty.write({0xAA});
    });
    uint8_t b = 0;
    uint32_t n = 7;
    EXPECT_TRUE(serial_read(port, &b, &n, serial_now));
    EXPECT_EQ(n, 0u) << "a read not asked to wait waited";
    double looks =
        looks_per_ms(fionreads, [&] { EXPECT_TRUE(serial_read(port, &b, &n, serial_rest)); });
    EXPECT_EQ(n, 1u) << "a read asked to wait did not";
    EXPECT_LE(looks, 5) << "the wait spins";
    device.join();
    serial_close(port);
}

TEST(PosixSerial, APortStuckAtItsLastWriteIsNotWaitedForAgain)
{
    Pty pty;
    t_serial *port = open_board(pty.slave());
    ASSERT_NE(port, nullptr);
    const t_commtimeouts quick = {1, 1, 1, 0, 50};
    ASSERT_TRUE(serial_settimeouts(port, &quick));
    Bytes big(1 << 20, 0x55);
    int32_t written = 0;
    ASSERT_FALSE(serial_write(port, big.data(), int32_t(big.size()), &written));
    // With no bound, a write that waited for room would wait until the
    // device reads; it reads only if the write has not returned in 10 s.
    const t_commtimeouts unbounded = {1, 1, 1, 0, 0};
    ASSERT_TRUE(serial_settimeouts(port, &unbounded));
    std::atomic<bool> returned{false};
    std::thread device([&] {
        for (int i = 0; i < 1000 && !returned; i++)
            usleep(10000);
        while (!returned)
            pty.read(1 << 20, 100);
    });
    Bytes frame = {0xAA, 'a', 0, 0, 0, 0x80, 0x3F};
    EXPECT_FALSE(serial_write(port, frame.data(), int32_t(frame.size()), &written))
        << "waited for room on a port known stuck";
    EXPECT_EQ(written, 0);
    returned = true;
    device.join();
    serial_close(port);
}

TEST(PosixSerial, LineErrorsAreToldOnceEach)
{
    Pty pty;
    counting = true; // from the open on, which asks whether the driver counts
    icount = {};
    icount.overrun = 3;
    t_serial *port = open_board(pty.slave());
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(serial_line_errors(port), 0u) << "errors from before the open told";
    icount.buf_overrun = 1;
    icount.frame = 2;
    EXPECT_EQ(serial_line_errors(port), serial_error_overrun | serial_error_framing);
    EXPECT_EQ(serial_line_errors(port), 0u) << "the same errors told again";
    icount.parity = 1;
    EXPECT_EQ(serial_line_errors(port), serial_error_parity);
    counting = false;
    serial_close(port);
}

TEST(PosixSerial, NoReadOrWriteWaitsInPoll)
{
    Pty pty;
    t_serial *port = open_board(pty.slave());
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(pty.write({1, 2, 3}));
    usleep(20000);
    polls = 0;
    reads_past_fionread = 0;
    Bytes got;
    for (auto wait : {serial_now, serial_now, serial_now, serial_now, serial_rest}) {
        uint8_t b = 0;
        uint32_t n = 0;
        ASSERT_TRUE(serial_read(port, &b, &n, wait));
        if (n)
            got.push_back(b);
    }
    EXPECT_EQ(got, (Bytes{1, 2, 3}));
    EXPECT_EQ(reads_past_fionread, 0) << "a read asked for more than FIONREAD said waits";
    const t_commtimeouts quick = {1, 1, 1, 0, 20};
    ASSERT_TRUE(serial_settimeouts(port, &quick));
    Bytes big(1 << 20, 0x55); // more than the line holds: the write waits for room
    int32_t written = 0;
    double looks = looks_per_ms(writes, [&] {
        EXPECT_FALSE(serial_write(port, big.data(), int32_t(big.size()), &written));
    });
    EXPECT_EQ(polls, 0);
    EXPECT_LE(looks, 5) << "the wait spins";
    serial_close(port);
}
