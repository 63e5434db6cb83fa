// Runs a real `pd -nogui` on a patch and collects its console.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

// A fresh directory that is removed with its contents.
class TempDir {
  public:
    TempDir()
    {
        char name[] = "/tmp/veltrix-test-XXXXXX";
        if (mkdtemp(name))
            path_ = name;
    }
    ~TempDir()
    {
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string &path() const { return path_; }
    std::string write(const std::string &file, const std::string &text) const
    {
        std::string p = path_ + "/" + file;
        std::ofstream(p) << text;
        return p;
    }

  private:
    std::string path_;
};

class PdProcess {
  public:
    // Starts pd on `patch` with the module's folder on its search path.
    PdProcess(const std::string &patch, const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args = {PD_EXECUTABLE, "-nogui",   "-stderr", "-nosound",
                                         "-nomidi",     "-noprefs", "-path",   MODULE_DIR};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("-open");
        args.push_back(patch);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(out[1], 2);
            std::vector<char *> argv;
            for (auto &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(out[1]);
        fd_ = out[0];
        fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~PdProcess() { stop(); }
    PdProcess(const PdProcess &) = delete;
    PdProcess &operator=(const PdProcess &) = delete;

    // Waits until a line satisfies `match`; true if one did within `ms`.
    bool wait_for(const std::function<bool(const std::string &)> &match, int ms)
    {
        size_t seen = 0;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            for (; seen < lines_.size(); seen++)
                if (match(lines_[seen]))
                    return true;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0 || !pump(int(std::min<long>(left, 50))))
                return false;
        }
    }
    bool wait_line(const std::string &text, int ms)
    {
        return wait_for([&](const std::string &l) { return l.find(text) != std::string::npos; },
                        ms);
    }
    // Reads for `ms`, however much comes.
    void collect(int ms)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until)
            if (!pump(10))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // Waits for pd to exit by itself; its exit status, or -1.
    int wait_exit(int ms)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            pump(10);
            int status;
            if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                while (pump(0)) {
                }
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        return -1;
    }
    void stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            for (int i = 0; i < 100 && waitpid(pid_, nullptr, WNOHANG) == 0; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (fd_ >= 0) {
            while (pump(0)) {
            }
            ::close(fd_);
            fd_ = -1;
        }
    }
    const std::vector<std::string> &lines() const { return lines_; }
    int count(const std::string &text) const
    {
        int n = 0;
        for (auto &l : lines_)
            n += l.find(text) != std::string::npos;
        return n;
    }
    std::string console() const
    {
        std::string all;
        for (auto &l : lines_)
            all += l + "\n";
        return all;
    }

  private:
    // Reads what is there (waiting up to `ms`); false at end of output.
    bool pump(int ms)
    {
        if (fd_ < 0)
            return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return true;
        char buf[4096];
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n <= 0)
            return n < 0;
        partial_.append(buf, size_t(n));
        size_t nl;
        while ((nl = partial_.find('\n')) != std::string::npos) {
            lines_.push_back(partial_.substr(0, nl));
            partial_.erase(0, nl + 1);
        }
        return true;
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    std::string partial_;
    std::vector<std::string> lines_;
};

// A patch from object lines: each entry is one "#X ..." line without the
// trailing ";", in file order, so that connect indices are positions.
inline std::string pd_patch(const std::vector<std::string> &lines)
{
    std::string text = "#N canvas 0 0 600 400 12;\n";
    for (auto &l : lines)
        text += "#X " + l + ";\n";
    return text;
}
