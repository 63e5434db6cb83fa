#include "sim.h"

#include <cmath>

// Ticks the port missed are skipped, not sent in a burst later.
void generate(t_sim &x, double start, double now)
{
    const t_options &o = x.x_opt;
    if (o.x_counter.empty() && o.x_sine.empty())
        return;
    auto due = static_cast<long long>((now - start) * o.x_rate) + 1;
    if (due <= x.x_ticks)
        return;
    x.x_ticks = due;
    // Frames the patch is not reading yet are dropped, not piled up.
    if (!x.x_port.x_held || out_pending(x) > 4096)
        return;
    if (!o.x_counter.empty())
        queue_frame(x, o.x_counter.c_str(), float(x.x_counter_value++));
    if (!o.x_sine.empty()) {
        double t = double(due - 1) / o.x_rate;
        // Rounded to a millionth, so that the zero crossings read 0 and not 1.2e-16.
        double v = std::round(std::sin(2 * M_PI * o.x_freq * t) * 1e6) / 1e6;
        queue_frame(x, o.x_sine.c_str(), float(v));
    }
}

void refill_sequence(t_sim &x, double now)
{
    const t_options &o = x.x_opt;
    if (o.x_sequence.empty() || !x.x_port.x_held)
        return;
    if (x.x_sequence_start < 0 && x.x_sequence_next < o.x_count)
        x.x_sequence_start = now;
    while (x.x_sequence_next < o.x_count && out_pending(x) < 65536)
        queue_frame(x, o.x_sequence.c_str(), float(x.x_sequence_next++));
}

bool sequence_written(const t_sim &x)
{
    return !x.x_opt.x_sequence.empty() && x.x_sequence_next == x.x_opt.x_count &&
           out_pending(x) == 0;
}
