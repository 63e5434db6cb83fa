// The module loaded on the fake host, for the benchmarks: objects made as an
// object box would make them, and a count of the frames that reached the
// patch.
#pragma once

#include "puredata/veltrix/Veltrix.h"
#include "fake_pd.h"
#include "frame.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

inline void load_module()
{
    fakepd::reset();
    fakepd::setup(Veltrix_setup);
    fakepd::take_console();
}

inline t_Veltrix *make(const std::vector<fakepd::t_arg> &args)
{
    return reinterpret_cast<t_Veltrix *>(fakepd::create(args));
}

// A board on `port` that ran its first tick; null when it did not connect.
inline t_Veltrix *connected_board(const std::string &port)
{
    t_Veltrix *b = make({"open", port.c_str()});
    fakepd::advance(0);
    return b && b->d.b.connected ? b : nullptr;
}

// The host keeps every line and value; long loops hand them back now and then.
inline void forget_output()
{
    fakepd::take_console();
    fakepd::take_outlets();
}

inline void append_frame(std::vector<uint8_t> &out, const char *tag, float value)
{
    uint8_t frame[veltrix::frame_max];
    size_t n = veltrix::frame_encode(tag, value, frame);
    out.insert(out.end(), frame, frame + n);
}

// `count` frames under `tag` carrying 0, 1, 2, ...
inline std::vector<uint8_t> frames(const char *tag, int count)
{
    std::vector<uint8_t> out;
    uint8_t frame[veltrix::frame_max];
    for (int i = 0; i < count; i++) {
        size_t n = veltrix::frame_encode(tag, float(i), frame);
        out.insert(out.end(), frame, frame + n);
    }
    return out;
}

} // namespace bench
