// A pseudo-terminal standing in for a board: the module opens `slave` by
// name, the test plays the device on the master side.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

class Pty {
  public:
    // raw: set the line raw now, so bytes written before the module opens
    // the port are neither echoed nor held for a line.
    explicit Pty(bool raw = true)
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        slave_ = ptsname(master_);
        if (raw) {
            termios tio{};
            tcgetattr(master_, &tio);
            cfmakeraw(&tio);
            tcsetattr(master_, TCSANOW, &tio);
        }
    }
    ~Pty() { close(); }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    bool ok() const { return master_ >= 0 && !slave_.empty(); }
    const std::string &slave() const { return slave_; }
    int master() const { return master_; }
    void close()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    bool write(const std::vector<uint8_t> &bytes)
    {
        size_t done = 0;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (done < bytes.size()) {
            ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += size_t(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            if (std::chrono::steady_clock::now() > until)
                return false;
            pollfd p{master_, POLLOUT, 0};
            poll(&p, 1, 10);
        }
        return true;
    }

    // Reads until `count` bytes came or `ms` passed.
    std::vector<uint8_t> read(size_t count, int ms)
    {
        std::vector<uint8_t> got;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.size() < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0)
                break;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, int(left)) <= 0)
                continue;
            uint8_t buf[4096];
            ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - got.size()));
            if (n > 0)
                got.insert(got.end(), buf, buf + n);
            else if (n < 0 && errno == EIO)
                break; // nobody holds the slave
        }
        return got;
    }

    // True when the slave side is closed by everyone (the module let go).
    bool slave_closed(int ms)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        do {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 10) > 0 && (p.revents & POLLHUP))
                return true;
        } while (std::chrono::steady_clock::now() < until);
        return false;
    }

    // Plays a device that stopped reading: fills the slave's output queue
    // through an opening of its own until the queue stays full. Returns the
    // bytes queued, or 0 when the slave cannot be opened.
    size_t fill_slave_output()
    {
        int fd = ::open(slave_.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return 0;
        // The kernel moves bytes on toward the master behind our back.
        std::vector<uint8_t> junk(4096, 0x55);
        size_t queued = 0;
        for (bool took = true; took;) {
            took = false;
            for (size_t chunk : {junk.size(), size_t(1)}) {
                for (ssize_t n; (n = ::write(fd, junk.data(), chunk)) > 0; took = true)
                    queued += size_t(n);
            }
            usleep(20000);
        }
        ::close(fd);
        return queued;
    }

  private:
    int master_ = -1;
    std::string slave_;
};
