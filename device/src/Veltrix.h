// Veltrix for boards: the frames that the Veltrix Pd external reads and
// writes on a serial line, one float value under a text tag per frame.
//
// On the wire a frame is: the start byte 0xAA, the tag's characters (none of
// them 0x00), a 0x00 terminator, then the value as an IEEE 754 single-precision
// float in four bytes, least significant first. No handshake, checksum or
// escaping: 0xAA marks a frame only between frames, and inside one it is an
// ordinary tag or value byte. Bytes between frames other than 0xAA are
// ignored. Tags are cut to 31 characters, by the writer and by the reader.
//
// Header-only, no dynamic allocation, no Arduino header needed: the same code
// builds for 8-bit AVR, 32-bit ARM and a desktop host.
//
//   veltrixSend(Serial, "knob", 0.5f);     // one frame out, to any Print-like
//   VeltrixReceiver<> veltrix;             // decoder plus handler table
//   veltrix.on("led", setLed);             // setLed(float) for tag "led"
//   veltrix.onFrame(echo);                 // echo(const char *, float), all
//   veltrix.poll(Serial);                  // in loop(): feed what arrived
#ifndef VELTRIX_DEVICE_H
#define VELTRIX_DEVICE_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if defined(__AVR__)
#include <avr/pgmspace.h>
class __FlashStringHelper; // Arduino's type for F("...") strings
#endif

#define VELTRIX_START 0xAA   // first byte of every frame
#define VELTRIX_TAG_END 0x00 // ends the tag
#define VELTRIX_TAG_MAX 31   // characters kept of a tag
#define VELTRIX_VALUE_SIZE 4 // bytes of the value
#define VELTRIX_FRAME_MAX (1 + VELTRIX_TAG_MAX + 1 + VELTRIX_VALUE_SIZE) // 37

#if __cplusplus >= 201103L
#define VELTRIX_NULL nullptr
#else
#define VELTRIX_NULL 0
#endif

#if __cplusplus >= 201103L
static_assert(sizeof(float) == 4, "Veltrix needs a 32-bit float");
static_assert(sizeof(uint32_t) == 4, "Veltrix needs a 32-bit uint32_t");
#else
typedef char veltrix_float_is_32_bits[sizeof(float) == 4 ? 1 : -1];
#endif

// The float's bits as an integer, and back: by memcpy, never through a
// pointer cast, so that any compiler and any byte order gets it right.
inline uint32_t veltrixFloatBits(float value)
{
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline float veltrixBitsFloat(uint32_t bits)
{
    float value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

// Writes the frame for `tag` (cut to VELTRIX_TAG_MAX characters) and `value`
// into `out`, which holds at least VELTRIX_FRAME_MAX bytes. Returns its length,
// the tag's length plus 6.
inline size_t veltrixEncode(const char *tag, float value, uint8_t *out)
{
    size_t n = 0;
    out[n++] = VELTRIX_START;
    for (uint8_t i = 0; i < VELTRIX_TAG_MAX && tag[i] != '\0'; i++)
        out[n++] = static_cast<uint8_t>(tag[i]);
    out[n++] = VELTRIX_TAG_END;
    uint32_t bits = veltrixFloatBits(value);
    out[n++] = static_cast<uint8_t>(bits); // least significant byte first
    out[n++] = static_cast<uint8_t>(bits >> 8);
    out[n++] = static_cast<uint8_t>(bits >> 16);
    out[n++] = static_cast<uint8_t>(bits >> 24);
    return n;
}

// Sends one frame to `out`: anything with a write(const uint8_t *, size_t),
// such as Arduino's Serial or any other Print. The frame goes out in one
// write. Returns what that write returned: the frame's length when all of it
// was taken.
template <class Out> size_t veltrixSend(Out &out, const char *tag, float value)
{
    uint8_t frame[VELTRIX_FRAME_MAX];
    size_t n = veltrixEncode(tag, value, frame);
    return out.write(frame, n);
}

#if defined(__AVR__)
// The same with a tag kept in flash on AVR: veltrixSend(Serial, F("knob"), v).
template <class Out> size_t veltrixSend(Out &out, const __FlashStringHelper *tag, float value)
{
    char copy[VELTRIX_TAG_MAX + 1];
    const char *p = reinterpret_cast<const char *>(tag);
    uint8_t n = 0;
    for (char c; n < VELTRIX_TAG_MAX && (c = static_cast<char>(pgm_read_byte(p + n))) != '\0'; n++)
        copy[n] = c;
    copy[n] = '\0';
    return veltrixSend(out, copy, value);
}
#endif

// The reader: takes the received bytes one at a time and says when one
// completed a frame. Its rules are the Pd module's, state for state:
//   between frames: 0xAA starts a frame, any other byte is ignored;
//   in the tag: a nonzero byte is kept while fewer than 31 are, and dropped
//     after; 0x00 ends the tag;
//   in the value: four bytes, least significant first, then the frame is
//     complete and the reader is between frames again.
class VeltrixDecoder {
  public:
    enum State { between = 0, inTag = 1, inValue = 2 };

    VeltrixDecoder() { reset(); }

    // Back between frames, dropping any frame half read.
    void reset()
    {
        state_ = between;
        tagIdx_ = 0;
        valueIdx_ = 0;
        tag_[0] = '\0';
        value_ = 0;
    }

    // One received byte. Returns true when it completed a frame, whose tag()
    // and value() then hold until the next frame starts.
    bool feed(uint8_t c)
    {
        switch (state_) {
        case between:
            if (c == VELTRIX_START) {
                tagIdx_ = 0;
                valueIdx_ = 0;
                state_ = inTag;
            }
            return false;
        case inTag:
            if (c != VELTRIX_TAG_END) {
                if (tagIdx_ < VELTRIX_TAG_MAX)
                    tag_[tagIdx_++] = static_cast<char>(c);
            } else {
                tag_[tagIdx_] = '\0';
                state_ = inValue;
            }
            return false;
        case inValue: {
            bytes_[valueIdx_++] = c;
            if (valueIdx_ < VELTRIX_VALUE_SIZE)
                return false;
            // Rebuilt from the wire order by shifts, then copied into the
            // float: the same value on a host of either byte order.
            uint32_t bits =
                static_cast<uint32_t>(bytes_[0]) | static_cast<uint32_t>(bytes_[1]) << 8 |
                static_cast<uint32_t>(bytes_[2]) << 16 | static_cast<uint32_t>(bytes_[3]) << 24;
            value_ = veltrixBitsFloat(bits);
            state_ = between;
            return true;
        }
        default:
            reset();
            return false;
        }
    }

    // The last complete frame's tag (at most 31 characters) and value.
    const char *tag() const { return tag_; }
    float value() const { return value_; }

    // Where the reader is: between frames, or in a frame's tag or value.
    State state() const { return static_cast<State>(state_); }

  private:
    char tag_[VELTRIX_TAG_MAX + 1];
    uint8_t bytes_[VELTRIX_VALUE_SIZE];
    float value_;
    uint8_t state_;
    uint8_t tagIdx_;
    uint8_t valueIdx_;
};

// True when a frame's tag `received` is the one of `wanted`: equal, once
// `wanted` is cut to 31 characters as its writer would have cut it.
inline bool veltrixTagIs(const char *received, const char *wanted)
{
    return strncmp(received, wanted, VELTRIX_TAG_MAX) == 0;
}

// A decoder that calls handlers: one for every frame (onFrame), and one per
// tag (on) from a table of Slots entries fixed at compile time.
//
//   void setLed(float v) { analogWrite(9, ...); }
//   VeltrixReceiver<4> veltrix;     // room for 4 tags (default 8)
//   veltrix.on("led", setLed);      // in setup()
//   veltrix.poll(Serial);           // in loop()
//
// Handlers run inside feed() and poll(); the tag they get is the receiver's
// own buffer, valid until the handler returns. They may send frames.
template <uint8_t Slots = 8> class VeltrixReceiver {
#if __cplusplus >= 201103L
    static_assert(Slots > 0, "a VeltrixReceiver needs at least one slot");
#endif

  public:
    typedef void (*FrameHandler)(const char *tag, float value);
    typedef void (*TagHandler)(float value);

    VeltrixReceiver() : frameHandler_(VELTRIX_NULL)
    {
        for (uint8_t i = 0; i < Slots; i++) {
            tags_[i] = VELTRIX_NULL;
            handlers_[i] = VELTRIX_NULL;
        }
    }

    // The handler for every complete frame (0 for none).
    void onFrame(FrameHandler handler)
    {
        frameHandler_ = handler;
    }

    // Registers `handler` for frames tagged `tag`, which must stay valid (a
    // string literal does): a tag already registered gets the new handler, a
    // 0 handler removes it. Returns false when the table is full.
    bool on(const char *tag, TagHandler handler)
    {
        uint8_t empty = Slots;
        for (uint8_t i = 0; i < Slots; i++) {
            if (tags_[i] && veltrixTagIs(tags_[i], tag)) {
                if (!handler)
                    tags_[i] = VELTRIX_NULL;
                handlers_[i] = handler;
                return true;
            }
            if (!tags_[i] && empty == Slots)
                empty = i;
        }
        if (!handler)
            return true;
        if (empty == Slots)
            return false;
        tags_[empty] = tag;
        handlers_[empty] = handler;
        return true;
    }

    // One received byte; a frame it completes goes to the frame handler,
    // then to the handler of its tag. Returns true when it completed one.
    bool feed(uint8_t c)
    {
        if (!decoder_.feed(c))
            return false;
        const char *tag = decoder_.tag();
        float value = decoder_.value();
        if (frameHandler_)
            frameHandler_(tag, value);
        for (uint8_t i = 0; i < Slots; i++) {
            if (tags_[i] && handlers_[i] && veltrixTagIs(tag, tags_[i]))
                handlers_[i](value);
        }
        return true;
    }

    // Received bytes from a buffer. Returns how many frames they completed.
    size_t feed(const uint8_t *data, size_t length)
    {
        size_t frames = 0;
        for (size_t i = 0; i < length; i++)
            frames += feed(data[i]);
        return frames;
    }

    // Reads what `in` (Arduino's Serial, any Stream: available() and read())
    // has at the call, no more, so a busy line cannot hold loop() for good.
    // Returns how many frames completed.
    template <class In> uint16_t poll(In &in)
    {
        uint16_t frames = 0;
        for (int n = in.available(); n > 0; n--) {
            int c = in.read();
            if (c < 0)
                break;
            frames += feed(static_cast<uint8_t>(c));
        }
        return frames;
    }

    // Drops any frame half read.
    void reset()
    {
        decoder_.reset();
    }

    const VeltrixDecoder &decoder() const
    {
        return decoder_;
    }

  private:
    VeltrixDecoder decoder_;
    FrameHandler frameHandler_;
    const char *tags_[Slots];
    TagHandler handlers_[Slots];
};

#endif // VELTRIX_DEVICE_H
