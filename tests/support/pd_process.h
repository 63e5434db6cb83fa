// Runs a real `pd -nogui` on a patch and collects its console.
#pragma once

#include "child_process.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// The Pd the tests run and the folder its module comes from: the build's,
// unless the environment names others, so that one build's tests run in
// other Pds too (scripts/test-hosts, scripts/test-trust).
inline std::string test_pd()
{
    const char *pd = getenv("VELTRIX_TEST_PD");
    return pd && *pd ? pd : PD_EXECUTABLE;
}
inline std::string test_module_dir()
{
    const char *dir = getenv("VELTRIX_TEST_MODULE_DIR");
    return dir && *dir ? dir : MODULE_DIR;
}

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

class PdProcess : public ChildProcess {
  public:
    // Starts pd on `patch` with the module's folder on its search path.
    PdProcess(const std::string &patch, const std::vector<std::string> &extra = {})
        : ChildProcess(arguments(patch, extra), true)
    {
    }

    // Waits until a console line satisfies `match`; true if one did within `ms`.
    bool wait_for(const std::function<bool(const std::string &)> &match, int ms)
    {
        return ChildProcess::wait_for(out_stream, match, ms);
    }
    bool wait_line(const std::string &text, int ms)
    {
        return ChildProcess::wait_line(out_stream, text, ms);
    }
    const std::vector<std::string> &lines() const { return ChildProcess::lines(out_stream); }
    int count(const std::string &text) const { return ChildProcess::count(out_stream, text); }
    std::string console() const { return log(); }

    // CPU seconds pd has used, with its descendants': a wrapper may run it.
    double cpu_seconds() const { return cpu_seconds(pid()); }
    static double cpu_seconds(int pid)
    {
        std::string dir = "/proc/" + std::to_string(pid), stat;
        std::getline(std::ifstream(dir + "/stat"), stat);
        if (stat.rfind(')') == std::string::npos)
            return 0;
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string f;
        double seconds = 0;
        for (int i = 3; i <= 15 && fields >> f; i++)
            seconds += i >= 14 ? std::stod(f) / sysconf(_SC_CLK_TCK) : 0; // utime, stime
        std::ifstream children(dir + "/task/" + std::to_string(pid) + "/children");
        for (int child; children >> child;)
            seconds += cpu_seconds(child);
        return seconds;
    }

  private:
    static std::vector<std::string> arguments(const std::string &patch,
                                              const std::vector<std::string> &extra)
    {
        std::vector<std::string> args = {test_pd(), "-nogui",   "-stderr", "-nosound",
                                         "-nomidi", "-noprefs", "-path",   test_module_dir()};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("-open");
        args.push_back(patch);
        return args;
    }
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
