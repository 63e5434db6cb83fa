// The module's own work with no port behind it: the frame decoder alone, the
// poll loop's decode and dispatch to 512 receivers, the ports message, and
// the resolution of a usb: name.
#include "bench_host.h"
#include "ports.h"
#include "serial_memory.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

constexpr int batch_frames = 1000;

void c_decode(benchmark::State &state)
{
    // Tags of the lengths patches use, from a letter to the longest kept.
    const char *tags[] = {"x", "led", "pot12", "sensor_left", "a_tag_of_thirty_one_characters_"};
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 4096; i++) {
        auto f = bench::frames(tags[i % 5], 1);
        bytes.insert(bytes.end(), f.begin(), f.end());
    }
    veltrix::t_frame_decoder d{};
    int64_t frames = 0;
    for (auto _ : state) {
        for (uint8_t c : bytes)
            frames += veltrix::frame_step(d, c);
        benchmark::DoNotOptimize(d.inputBufferValue);
    }
    benchmark::DoNotOptimize(frames);
    state.SetBytesProcessed(state.iterations() * int64_t(bytes.size()));
}
BENCHMARK(c_decode);

// Frames under "tag000" through the board's poll loop, with `receivers`
// receivers of which `matching` listen to that tag.
void d_dispatch(benchmark::State &state)
{
    const int receivers = int(state.range(0));
    const int matching = int(state.range(1));
    bench::load_module();
    t_Veltrix *b = bench::connected_board(serial_memory_name);
    std::vector<t_Veltrix *> rs;
    for (int i = 0; i < receivers; i++) {
        char tag[Veltrix_tag_size];
        snprintf(tag, sizeof tag, "tag%03d", i < matching ? 0 : i);
        rs.push_back(bench::make({"receive", tag}));
    }
    if (!b) {
        state.SkipWithError("the board did not connect");
        return;
    }
    const auto batch = bench::frames("tag000", batch_frames);
    for (auto _ : state) {
        serial_memory_feed(batch.data(), batch.size());
        while (serial_memory_left())
            Veltrix_tick(b);
        state.PauseTiming();
        bench::forget_output();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * batch_frames);
    for (auto *r : rs)
        fakepd::destroy(&r->x_obj);
    fakepd::destroy(&b->x_obj);
    fakepd::reset();
}
BENCHMARK(d_dispatch)
    ->ArgNames({"receivers", "matching"})
    ->Args({512, 1})
    ->Args({512, 8})
    ->Args({1, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// g. The ports message on this machine's own /sys and /dev, lines posted: how
// long a click on [ports( holds Pd.
void g_ports(benchmark::State &state)
{
    bench::load_module();
    t_Veltrix *x = bench::make({"send", "led"});
    for (auto _ : state) {
        fakepd::send_message(&x->x_obj, "ports");
        state.PauseTiming();
        bench::forget_output();
        state.ResumeTiming();
    }
    fakepd::destroy(&x->x_obj);
    fakepd::reset();
}
BENCHMARK(g_ports)->UseRealTime()->Unit(benchmark::kMicrosecond);

// h. A usb: name resolved against this machine's ports, as each connection
// attempt of a board opened by one does: what that costs Pd per attempt.
void h_usb_resolve(benchmark::State &state)
{
    t_usb_name id;
    usb_name_parse("usb:2341:0043", &id);
    char chosen[ports_name_size], others[256];
    for (auto _ : state)
        benchmark::DoNotOptimize(ports_resolve(id, chosen, others, sizeof others));
}
BENCHMARK(h_usb_resolve)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
