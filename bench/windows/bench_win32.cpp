// What a board costs Pd's scheduler on a Windows API (wine), on COM ports
// that tests/windows/host/device.cpp plays on pseudo-terminals. Built twice:
// with the module's Win32 backend and with the one-byte-per-ReadFile
// baseline (bench/serial_win32_baseline.cpp), so both run the same loops.
//
//   bench_win32     (ports: COM12, COM5 and COM21 to COM28 on the device)
//
// Prints one line per figure: name, value and unit, separated by tabs.
#include "Veltrix.h"
#include "host_api.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

double now_ms()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

void figure(const std::string &name, double value, const char *unit)
{
    printf("%s\t%.6g\t%s\n", name.c_str(), value, unit);
    fflush(stdout);
}

t_Veltrix *make(const std::string &args)
{
    return static_cast<t_Veltrix *>(host_create(args.c_str()));
}

void destroy_all(const std::vector<t_Veltrix *> &objects)
{
    for (auto *x : objects)
        host_destroy(x);
    host_outlets_clear();
    host_console_clear();
}

// A board on `port` after its first tick, or null.
t_Veltrix *board_on(const char *port)
{
    t_Veltrix *b = make(std::string("open ") + port);
    host_advance(0);
    if (b && b->d.b.connected)
        return b;
    fprintf(stderr, "bench_win32: %s did not connect\n", port);
    return nullptr;
}

// a. One tick of a connected board with nothing waiting: the median of
// five batches of a quarter of a second.
void idle_tick()
{
    t_Veltrix *b = board_on("COM12");
    if (!b)
        return;
    Veltrix_tick(b);
    std::vector<double> means;
    for (int batch = 0; batch < 5; batch++) {
        int n = 0;
        double start = now_ms(), end = start;
        while (end - start < 250) {
            Veltrix_tick(b);
            n++;
            end = now_ms();
        }
        means.push_back((end - start) * 1000 / n);
    }
    std::sort(means.begin(), means.end());
    figure("a. idle board tick", means[2], "us");
    destroy_all({b});
}

// b. A burst of frames from the device, drained by ticks back to back; the
// device refills the line (about 4 KiB) as fast as the ticks empty it.
void burst_drain(int frames)
{
    t_Veltrix *b = board_on("COM12");
    t_Veltrix *s = make("send burst");
    t_Veltrix *r = make("receive seq");
    if (!b)
        return;
    host_send_float(s, frames);
    int received = 0;
    double start = now_ms();
    while (received < frames && now_ms() - start < 60000) {
        Veltrix_tick(b);
        received += host_outlet_count();
        host_outlets_clear();
    }
    double ms = now_ms() - start;
    if (received != frames)
        fprintf(stderr, "bench_win32: %d of %d burst frames\n", received, frames);
    figure("b. burst of " + std::to_string(frames) + " frames, per frame", ms * 1000 / frames,
           "us");
    figure("b. burst of " + std::to_string(frames) + " frames, rate", frames / (ms / 1000),
           "frames/s");
    destroy_all({r, s, b});
}

// c. Boards streaming without pause at a line rate for `seconds`, polled
// every 100 ms of real time as Pd would: what arrives, the most bytes the
// line had delivered that were not yet read, and how much of the
// scheduler's time the polls took.
void stream(const char *name, const std::vector<const char *> &ports, int baud, int seconds)
{
    std::vector<t_Veltrix *> objects;
    for (const char *port : ports) {
        t_Veltrix *b = board_on(port);
        if (!b) {
            destroy_all(objects);
            return;
        }
        objects.push_back(b);
    }
    t_Veltrix *rate = make("send rate");
    t_Veltrix *go = make("send stream");
    t_Veltrix *seq = make("receive seq");
    t_Veltrix *end = make("receive end");
    t_Veltrix *behind = make("receive behind");
    objects.insert(objects.end(), {rate, go, seq, end, behind});
    host_send_float(rate, baud);
    host_send_float(go, seconds);
    double start = now_ms(), last = start, busy = 0;
    double received = 0, out_of_order = 0, expected = 0, waiting = 0;
    std::vector<double> sent, summaries;
    while (summaries.size() < ports.size() && now_ms() - start < seconds * 1000.0 + 10000) {
        Sleep(1);
        double t = now_ms();
        // Delivered by the line and not yet read, per board: frames "seq"
        // are 9 bytes.
        double due = std::min(t - start, seconds * 1000.0) / 1000 * baud / 10;
        waiting = std::max(waiting, due - received * 9 / ports.size());
        host_advance(t - last);
        last = t;
        busy += now_ms() - t;
        for (int i = 0; i < host_outlet_count(); i++) {
            void *owner = host_outlet_owner(i);
            double v = host_outlet_value(i);
            if (owner == seq) {
                received++;
                // One board's values come in order; several boards interleave.
                out_of_order += ports.size() == 1 && v != expected++;
            } else if (owner == end) {
                sent.push_back(v);
            } else if (owner == behind) {
                summaries.push_back(v);
            }
        }
        host_outlets_clear();
    }
    double elapsed = now_ms() - start, total = 0;
    for (double v : sent)
        total += v;
    figure(std::string("c. ") + name + ", frames lost", total - received, "frames");
    if (ports.size() == 1)
        figure(std::string("c. ") + name + ", out of order", out_of_order, "frames");
    figure(std::string("c. ") + name + ", received against the line", received / total * 100, "%");
    figure(std::string("c. ") + name + ", most bytes waiting per board", waiting, "bytes");
    figure(std::string("c. ") + name + ", scheduler time in polls", busy / elapsed * 100, "%");
    destroy_all(objects);
}

} // namespace

int main()
{
    host_setup(Veltrix_setup);
    host_console_clear();
    idle_tick();
    burst_drain(20000);
    stream("1 board at 115200 baud", {"COM5"}, 115200, 5);
    stream("1 board at 1 Mbaud", {"COM5"}, 1000000, 5);
    stream("8 boards at 115200 baud",
           {"COM21", "COM22", "COM23", "COM24", "COM25", "COM26", "COM27", "COM28"}, 115200, 5);
    return 0;
}
