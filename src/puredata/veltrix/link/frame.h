// The frame on the wire: 0xAA, the tag, 0x00, a 32-bit IEEE float with its
// least significant byte first. Header-only, allocation-free and free of
// host types, so that tools and tests share it with the module.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace veltrix {

constexpr uint8_t frame_start = 0xAA;
constexpr uint8_t frame_tag_end = 0x00;
constexpr size_t frame_tag_max = 31; // characters kept of a tag
constexpr size_t frame_value_size = 4;
constexpr size_t frame_max = 1 + frame_tag_max + 1 + frame_value_size;

enum : uint8_t { frame_between = 0, frame_in_tag = 1, frame_in_value = 2 };

inline uint32_t frame_float_bits(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline float frame_bits_float(uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A value of Pd's float, 32 or 64 bits wide, as the wire's 32-bit float: the
// nearest one, ties to even. Beyond the float's range it is the infinity of
// the same sign, as a single-precision Pd's own arithmetic would give; NaN
// stays NaN. Spelled out, as C++ leaves out-of-range conversions undefined.
inline float frame_value_of(double value)
{
    static_assert(std::numeric_limits<float>::is_iec559, "the wire's float is IEEE 754");
    // Halfway between the largest float and 2^128: from here on, infinity.
    constexpr double overflow = 0x1.ffffffp127;
    constexpr float inf = std::numeric_limits<float>::infinity();
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    if (std::isnan(value))
        return std::signbit(value) ? -nan : nan;
    if (std::fabs(value) >= overflow)
        return value > 0 ? inf : -inf;
    return static_cast<float>(value);
}

// The wire's bits for a value of Pd's float. A 32-bit float is the wire's
// float already: its own bits go out, NaN payloads included, never through a
// double (the promotion quiets a signalling NaN, and frame_value_of keeps no
// payload).
inline uint32_t frame_wire_bits(float value)
{
    return frame_float_bits(value);
}

inline uint32_t frame_wire_bits(double value)
{
    return frame_float_bits(frame_value_of(value));
}

// The four value bytes, least significant first whatever the host's order.
inline void frame_put_bits(uint32_t bits, uint8_t out[frame_value_size])
{
    for (size_t i = 0; i < frame_value_size; i++)
        out[i] = uint8_t(bits >> (8 * i));
}

inline void frame_put_value(float value, uint8_t out[frame_value_size])
{
    frame_put_bits(frame_float_bits(value), out);
}

inline float frame_get_value(const uint8_t in[frame_value_size])
{
    uint32_t bits = 0;
    for (size_t i = 0; i < frame_value_size; i++)
        bits |= uint32_t(in[i]) << (8 * i);
    return frame_bits_float(bits);
}

// Writes the whole frame for `tag` (cut to frame_tag_max characters) and the
// value of wire bits `bits` into `out`, which holds at least frame_max bytes;
// returns its length.
inline size_t frame_encode_bits(const char *tag, uint32_t bits, uint8_t *out)
{
    size_t n = 0;
    out[n++] = frame_start;
    for (size_t i = 0; i < frame_tag_max && tag[i]; i++)
        out[n++] = uint8_t(tag[i]);
    out[n++] = frame_tag_end;
    frame_put_bits(bits, out + n);
    return n + frame_value_size;
}

inline size_t frame_encode(const char *tag, float value, uint8_t *out)
{
    return frame_encode_bits(tag, frame_float_bits(value), out);
}

// The decoder's state: the one definition of its six fields. The board record
// keeps the same fields inline, in a layout of its own, and code that has no
// board uses this record as it is.
struct t_frame_decoder {
    char inputBufferTag[frame_tag_max + 1];
    float inputBufferValue;
    uint8_t inputBufferState;
    uint8_t inputBufferTagIdx;
    uint8_t *inputBufferValuePtr;
    uint8_t inputBufferValuePtrIdx;
};

// Whether `R` holds the decoder's fields under their names and with their
// types, wherever it places them.
template <class R, class D = t_frame_decoder> constexpr bool frame_holds_decoder()
{
    using std::is_same_v;
    return is_same_v<decltype(R::inputBufferTag), decltype(D::inputBufferTag)> &&
           is_same_v<decltype(R::inputBufferValue), decltype(D::inputBufferValue)> &&
           is_same_v<decltype(R::inputBufferState), decltype(D::inputBufferState)> &&
           is_same_v<decltype(R::inputBufferTagIdx), decltype(D::inputBufferTagIdx)> &&
           is_same_v<decltype(R::inputBufferValuePtr), decltype(D::inputBufferValuePtr)> &&
           is_same_v<decltype(R::inputBufferValuePtrIdx), decltype(D::inputBufferValuePtrIdx)>;
}

// One byte through the decoder whose fields live in `x` (a board record, or
// a t_frame_decoder). Returns true when the byte completed a frame:
// x.inputBufferTag then holds its tag and x.inputBufferValue its value, and
// the decoder is already back between frames.
template <class Decoder> bool frame_step(Decoder &x, uint8_t c)
{
    static_assert(frame_holds_decoder<Decoder>(), "a record without the decoder's fields");
    switch (x.inputBufferState) {
    case frame_between:
        if (c == frame_start) {
            x.inputBufferTagIdx = 0;
            x.inputBufferValuePtrIdx = 0;
            x.inputBufferValuePtr = reinterpret_cast<uint8_t *>(&x.inputBufferValue);
            x.inputBufferState = frame_in_tag;
        }
        return false;
    case frame_in_tag:
        if (c != frame_tag_end) {
            if (x.inputBufferTagIdx < frame_tag_max)
                x.inputBufferTag[x.inputBufferTagIdx++] = char(c);
        } else {
            x.inputBufferTag[x.inputBufferTagIdx++] = '\0';
            x.inputBufferState = frame_in_value;
        }
        return false;
    case frame_in_value:
        if (x.inputBufferValuePtrIdx < frame_value_size)
            x.inputBufferValuePtr[x.inputBufferValuePtrIdx++] = c;
        if (x.inputBufferValuePtrIdx < frame_value_size)
            return false;
        // The bytes sit in wire order; rebuild the float from them so that
        // a big-endian host reads the same value.
        x.inputBufferValue = frame_get_value(x.inputBufferValuePtr);
        x.inputBufferState = frame_between;
        return true;
    default:
        return false;
    }
}

} // namespace veltrix
