// What a board costs Pd's scheduler on real pseudo-terminals. Built twice
// from this source: with the module's serial backend, and with the
// byte-at-a-time baseline, so that both run the same loops on the same kind
// of port.
#include "bench_host.h"
#include "pty.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

using steady = std::chrono::steady_clock;

constexpr int burst_frames = 10000;
constexpr int send_boards = 8;
// Console lines and outlet values pile up in the fake host; this many
// iterations between clearings keeps memory flat at a negligible cost.
constexpr int64_t clear_every = 4096;

// Plays a device that sends `bytes` as fast as the pseudo-terminal takes them.
void feed(int master, const std::vector<uint8_t> *bytes)
{
    size_t done = 0;
    auto until = steady::now() + std::chrono::seconds(30);
    while (done < bytes->size() && steady::now() < until) {
        ssize_t n = ::write(master, bytes->data() + done, bytes->size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        pollfd p{master, POLLOUT, 0};
        poll(&p, 1, 10);
    }
}

// Reads what the boards write, so that their queues never fill.
struct t_drain {
    std::atomic<bool> stop{false};
    std::thread thread;

    explicit t_drain(const std::vector<std::unique_ptr<Pty>> &ptys)
    {
        std::vector<pollfd> fds;
        for (auto &p : ptys)
            fds.push_back({p->master(), POLLIN, 0});
        thread = std::thread([this, fds]() mutable {
            uint8_t buf[4096];
            while (!stop.load(std::memory_order_relaxed)) {
                if (poll(fds.data(), fds.size(), 10) <= 0)
                    continue;
                for (auto &f : fds) {
                    if (f.revents & POLLIN)
                        while (::read(f.fd, buf, sizeof buf) > 0) {
                        }
                }
            }
        });
    }
    ~t_drain()
    {
        stop = true;
        thread.join();
    }
};

void destroy(t_Veltrix *x)
{
    if (x)
        fakepd::destroy(&x->x_obj);
}

// One tick of a connected board with nothing waiting: what an idle board
// takes from the scheduler every 100 ms.
void a_idle_tick(benchmark::State &state)
{
    bench::load_module();
    Pty pty;
    t_Veltrix *b = pty.ok() ? bench::connected_board(pty.slave()) : nullptr;
    if (!b) {
        state.SkipWithError("the board did not connect");
        return;
    }
    Veltrix_tick(b); // the first read after connecting is not an idle one
    for (auto _ : state) {
        Veltrix_tick(b);
        if (state.iterations() % clear_every == 0) {
            state.PauseTiming();
            bench::forget_output();
            state.ResumeTiming();
        }
    }
    destroy(b);
    fakepd::reset();
}
BENCHMARK(a_idle_tick)->UseRealTime()->Unit(benchmark::kMicrosecond);

// One tick that finds one frame waiting: what a board trickling values
// costs the scheduler at each poll.
void a_tick_one_frame(benchmark::State &state)
{
    bench::load_module();
    Pty pty;
    t_Veltrix *b = pty.ok() ? bench::connected_board(pty.slave()) : nullptr;
    // A second reader of the slave, only to see when the frame has arrived.
    int watch = pty.ok() ? ::open(pty.slave().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK) : -1;
    if (!b || watch < 0) {
        state.SkipWithError("the board did not connect");
        if (watch >= 0)
            ::close(watch);
        return;
    }
    const auto frame = bench::frames("seq", 1);
    for (auto _ : state) {
        state.PauseTiming();
        pty.write(frame);
        pollfd p{watch, POLLIN, 0};
        poll(&p, 1, 1000);
        if (state.iterations() % clear_every == 0)
            bench::forget_output();
        state.ResumeTiming();
        Veltrix_tick(b);
    }
    ::close(watch);
    destroy(b);
    fakepd::reset();
}
BENCHMARK(a_tick_one_frame)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A burst of frames drained through the poll loop, ticks back to back, while
// another thread plays the device: the pseudo-terminal queue holds only
// about 4 KiB.
void b_burst_drain(benchmark::State &state)
{
    bench::load_module();
    Pty pty;
    t_Veltrix *b = pty.ok() ? bench::connected_board(pty.slave()) : nullptr;
    t_Veltrix *r = bench::make({"receive", "seq"});
    if (!b || !r) {
        state.SkipWithError("the board did not connect");
        return;
    }
    int received = 0;
    fakepd::on_float(r->d.r.f_out, [&](t_float) { received++; });
    const auto burst = bench::frames("seq", burst_frames);
    for (auto _ : state) {
        received = 0;
        std::thread device(feed, pty.master(), &burst);
        auto until = steady::now() + std::chrono::seconds(30);
        while (received < burst_frames && b->d.b.connected && steady::now() < until)
            Veltrix_tick(b);
        device.join();
        state.PauseTiming();
        bench::forget_output();
        bool whole = received == burst_frames;
        state.ResumeTiming();
        if (!whole) {
            state.SkipWithError("frames were lost");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * burst_frames);
    destroy(r);
    destroy(b);
    fakepd::reset();
}
BENCHMARK(b_burst_drain)->UseRealTime()->Unit(benchmark::kMillisecond);

// Eight connected boards whose devices read everything they are sent.
struct t_eight_boards {
    std::vector<std::unique_ptr<Pty>> ptys;
    std::vector<t_Veltrix *> boards;

    t_eight_boards()
    {
        for (int i = 0; i < send_boards; i++) {
            ptys.push_back(std::make_unique<Pty>());
            auto &p = *ptys.back();
            t_Veltrix *b = p.ok() ? bench::connected_board(p.slave()) : nullptr;
            if (b)
                boards.push_back(b);
        }
    }
    ~t_eight_boards()
    {
        for (auto *b : boards)
            destroy(b);
    }
    bool ok() const { return boards.size() == send_boards; }
};

// One float from a sender to eight connected boards.
void e_send_8_boards(benchmark::State &state)
{
    bench::load_module();
    {
        t_eight_boards eight;
        t_Veltrix *s = bench::make({"send", "led"});
        if (eight.ok() && s) {
            t_drain drain(eight.ptys);
            t_float value = 0;
            for (auto _ : state) {
                Veltrix_send_float(s, value);
                value += 1;
                if (state.iterations() % clear_every == 0) {
                    state.PauseTiming();
                    bench::forget_output();
                    state.ResumeTiming();
                }
            }
        } else {
            state.SkipWithError("a board did not connect");
        }
        destroy(s);
    }
    fakepd::reset();
}
BENCHMARK(e_send_8_boards)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same frame written to the same eight ports in one write each instead
// of three (start byte, tag, value): what the sender would cost that way.
void e_one_write_8_boards(benchmark::State &state)
{
    bench::load_module();
    {
        t_eight_boards eight;
        if (eight.ok()) {
            t_drain drain(eight.ptys);
            uint8_t frame[veltrix::frame_max];
            float value = 0;
            for (auto _ : state) {
                auto size = int32_t(veltrix::frame_encode("led", value, frame));
                for (auto *b : eight.boards) {
                    int32_t written = 0;
                    Veltrix_send_raw(b, frame, size, &written);
                }
                value += 1;
            }
        } else {
            state.SkipWithError("a board did not connect");
        }
    }
    fakepd::reset();
}
BENCHMARK(e_one_write_8_boards)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A device streaming frames tagged `tag` without pause at `baud` (10 bits a
// byte) for `seconds`, as a line paces them. `due` counts the bytes the line
// has delivered by now, whether or not the port took them yet.
struct t_paced_device {
    std::thread thread;
    std::atomic<uint64_t> due_bytes{0};
    int sent = 0;

    t_paced_device(Pty &pty, std::string tag, int baud, double seconds)
    {
        thread = std::thread([this, &pty, tag, baud, seconds] {
            std::vector<uint8_t> due;
            uint8_t frame[veltrix::frame_max];
            size_t size = veltrix::frame_encode(tag.c_str(), 0, frame);
            auto start = steady::now();
            for (;;) {
                double t = std::chrono::duration<double>(steady::now() - start).count();
                auto bytes = uint64_t(std::min(t, seconds) * baud / 10);
                while (uint64_t(sent + 1) * size <= bytes)
                    bench::append_frame(due, tag.c_str(), float(sent++));
                due_bytes = uint64_t(sent) * size;
                ssize_t n = due.empty() ? 0 : ::write(pty.master(), due.data(), due.size());
                if (n > 0)
                    due.erase(due.begin(), due.begin() + n);
                if (t >= seconds && due.empty())
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    ~t_paced_device() { finish(); }
    void finish()
    {
        if (thread.joinable())
            thread.join();
    }
};

// f. Boards streaming without pause at a line rate for two seconds, each
// polled at its interval (100 ms, or 1 ms after `poll 1`) of real time as in
// Pd: what was lost, the most bytes that waited for a poll, and the share of
// the scheduler's time the polls took.
void f_stream(benchmark::State &state)
{
    const int baud = int(state.range(0));
    const int boards = int(state.range(1));
    const auto interval = t_float(state.range(2));
    constexpr double seconds = 2;
    bench::load_module();
    std::vector<std::unique_ptr<Pty>> ptys;
    std::vector<t_Veltrix *> objects;
    std::vector<int> received(boards), out_of_order(boards);
    for (int i = 0; i < boards; i++) {
        ptys.push_back(std::make_unique<Pty>());
        t_Veltrix *b = ptys.back()->ok() ? bench::connected_board(ptys.back()->slave()) : nullptr;
        t_Veltrix *r = bench::make({"receive", ("s" + std::to_string(i)).c_str()});
        if (!b || !r) {
            state.SkipWithError("a board did not connect");
            return;
        }
        t_atom ms;
        SETFLOAT(&ms, interval);
        Veltrix_poll(b, nullptr, 1, &ms);
        fakepd::on_float(r->d.r.f_out, [&received, &out_of_order, i](t_float v) {
            out_of_order[i] += v != t_float(received[i]++);
        });
        objects.insert(objects.end(), {b, r});
    }
    // The poll already due keeps its time: let it pass, so that the streams
    // start at the interval asked for.
    fakepd::advance(100);
    double lost = 0, disorder = 0, waiting = 0, busy = 0;
    for (auto _ : state) {
        std::vector<std::unique_ptr<t_paced_device>> devices;
        for (int i = 0; i < boards; i++)
            devices.push_back(
                std::make_unique<t_paced_device>(*ptys[i], "s" + std::to_string(i), baud, seconds));
        auto start = steady::now(), last = start;
        std::chrono::duration<double> in_polls{};
        // Until every device is done, and two polls after that.
        while (steady::now() - start < std::chrono::duration<double>(seconds + 0.25)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            // Delivered by the line and not yet read: in the port or the device.
            for (int i = 0; i < boards; i++) {
                size_t frame = 3 + std::to_string(i).size() + veltrix::frame_value_size;
                double unread = double(devices[i]->due_bytes) - double(received[i]) * frame;
                waiting = std::max(waiting, unread);
            }
            auto now = steady::now();
            fakepd::advance(std::chrono::duration<double, std::milli>(now - last).count());
            last = now;
            in_polls += steady::now() - now;
            bench::forget_output();
        }
        busy = in_polls / (steady::now() - start) * 100;
        for (auto &d : devices)
            d->finish();
        fakepd::advance(100); // what the last paced bytes left
        fakepd::advance(100);
        for (int i = 0; i < boards; i++) {
            lost += devices[i]->sent - received[i];
            disorder += out_of_order[i];
        }
    }
    state.counters["busy"] = busy;
    state.counters["lost"] = lost;
    state.counters["out_of_order"] = disorder;
    state.counters["waiting"] = waiting;
    for (auto *x : objects)
        destroy(x);
    fakepd::reset();
}
BENCHMARK(f_stream)
    ->ArgNames({"baud", "boards", "poll"})
    ->ArgsProduct({{115200, 1000000}, {1}, {100, 1}})
    ->Args({115200, 8, 100})
    ->Args({115200, 8, 1})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
