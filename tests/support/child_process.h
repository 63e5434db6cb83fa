// A program run by a test: its standard input on a pipe, and the lines of
// its standard output and error collected as they come.
#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

class ChildProcess {
  public:
    enum t_stream_id { out_stream = 0, err_stream = 1 };

    // Starts argv[0]. With `merged`, standard error goes where standard output
    // goes, and every line is on out_stream, in the order written.
    explicit ChildProcess(const std::vector<std::string> &argv, bool merged = false)
    {
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(merged ? out[1] : err[1], 2);
            std::vector<char *> args;
            for (auto &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        in_ = in[1];
        streams_[out_stream].fd = out[0];
        streams_[err_stream].fd = err[0];
    }
    ~ChildProcess()
    {
        stop();
        for (auto &s : streams_)
            if (s.fd >= 0)
                ::close(s.fd);
    }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool send(const std::string &line)
    {
        std::string text = line + "\n";
        return ::write(in_, text.data(), text.size()) == ssize_t(text.size());
    }
    void close_stdin()
    {
        if (in_ >= 0)
            ::close(in_);
        in_ = -1;
    }
    void signal(int sig) { kill(pid_, sig); }
    int pid() const { return pid_; }

    // Waits until a line of `stream` satisfies `match`, which sees every line
    // once, in order; true if one did within `ms`.
    bool wait_for(t_stream_id stream, const std::function<bool(const std::string &)> &match, int ms)
    {
        const auto &lines = streams_[stream].lines;
        size_t seen = 0;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            for (; seen < lines.size(); seen++)
                if (match(lines[seen]))
                    return true;
            if (std::chrono::steady_clock::now() >= until || !pump(20))
                return false;
        }
    }
    // Waits for the nth line of `stream` that contains `text`.
    bool wait_line(t_stream_id stream, const std::string &text, int ms, int nth = 1)
    {
        int n = 0;
        return wait_for(
            stream,
            [&](const std::string &l) { return l.find(text) != std::string::npos && ++n == nth; },
            ms);
    }
    int count(t_stream_id stream, const std::string &text) const
    {
        int n = 0;
        for (auto &l : streams_[stream].lines)
            n += l.find(text) != std::string::npos;
        return n;
    }
    const std::vector<std::string> &lines(t_stream_id stream) const
    {
        return streams_[stream].lines;
    }
    std::string log() const
    {
        std::string all;
        for (auto &s : streams_)
            for (auto &l : s.lines)
                all += l + "\n";
        return all;
    }
    // Reads for `ms`, however much comes.
    void collect(int ms)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until)
            if (!pump(10))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // Exit status once it ended by itself within `ms`, else -1.
    int wait_exit(int ms)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (pid_ > 0 && std::chrono::steady_clock::now() < until) {
            pump(10);
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                while (pump(0)) {
                }
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        return -1;
    }
    int stop()
    {
        if (pid_ <= 0)
            return -1;
        kill(pid_, SIGTERM);
        int rc = wait_exit(3000);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        close_stdin();
        return rc;
    }

  private:
    struct t_stream {
        int fd = -1;
        std::string partial;
        std::vector<std::string> lines;
    };

    // Reads what is there, waiting up to `ms`; false once every stream ended.
    bool pump(int ms)
    {
        pollfd p[2] = {{streams_[0].fd, POLLIN, 0}, {streams_[1].fd, POLLIN, 0}};
        if (poll(p, 2, ms) <= 0)
            return p[0].fd >= 0 || p[1].fd >= 0;
        for (int i = 0; i < 2; i++) {
            if (!(p[i].revents & (POLLIN | POLLHUP)))
                continue;
            auto &s = streams_[i];
            char buf[4096];
            ssize_t n = ::read(s.fd, buf, sizeof buf);
            if (n <= 0) {
                ::close(s.fd); // ended
                s.fd = -1;
                continue;
            }
            s.partial.append(buf, size_t(n));
            size_t nl;
            while ((nl = s.partial.find('\n')) != std::string::npos) {
                s.lines.push_back(s.partial.substr(0, nl));
                s.partial.erase(0, nl + 1);
            }
        }
        return streams_[0].fd >= 0 || streams_[1].fd >= 0;
    }

    pid_t pid_ = -1;
    int in_ = -1;
    t_stream streams_[2];
};
