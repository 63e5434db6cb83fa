// The board library (device/src/Veltrix.h) against the module's own codec
// (src/puredata/veltrix/link/frame.h): the same bytes out, the same frames in,
// over a corpus of tags and values and over noisy streams.
#include <Veltrix.h>
#include <frame.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

veltrix::t_frame_decoder module_decoder()
{
    veltrix::t_frame_decoder d{};
    d.inputBufferState = veltrix::frame_between;
    return d;
}

uint32_t bits_of(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

float float_of(uint32_t b)
{
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

std::string cut(const std::string &tag)
{
    return tag.substr(0, 31);
}

// The corpus the board libraries' tests share, read from FRAME_CORPUS: lines
// "tag <hex>" and "value <hex bits>...", '#' to the end of a line a comment.
struct Corpus {
    std::vector<std::string> tags;
    std::vector<uint32_t> values;
};

const Corpus &corpus()
{
    static const Corpus c = [] {
        Corpus read;
        std::ifstream in(FRAME_CORPUS);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream words(line.substr(0, line.find('#')));
            std::string kind, hex;
            words >> kind;
            if (kind == "value") {
                while (words >> hex)
                    read.values.push_back(static_cast<uint32_t>(std::stoul(hex, nullptr, 16)));
            } else if (kind == "tag") {
                words >> hex; // none for the empty tag
                std::string tag;
                for (size_t i = 0; i + 1 < hex.size(); i += 2)
                    tag.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
                read.tags.push_back(tag);
            }
        }
        EXPECT_GT(read.tags.size(), 20u) << FRAME_CORPUS;
        EXPECT_GT(read.values.size(), 20u) << FRAME_CORPUS;
        return read;
    }();
    return c;
}

std::vector<std::string> tag_corpus()
{
    return corpus().tags;
}

std::vector<uint32_t> value_corpus()
{
    return corpus().values;
}

Bytes device_encode(const std::string &tag, float value)
{
    uint8_t out[VELTRIX_FRAME_MAX + 8];
    std::memset(out, 0x55, sizeof out);
    size_t n = veltrixEncode(tag.c_str(), value, out);
    EXPECT_LE(n, size_t{VELTRIX_FRAME_MAX});
    for (size_t i = n; i < sizeof out; i++)
        EXPECT_EQ(out[i], 0x55) << "wrote past the frame at " << i;
    return Bytes(out, out + n);
}

Bytes module_encode(const std::string &tag, float value)
{
    uint8_t out[veltrix::frame_max];
    size_t n = veltrix::frame_encode(tag.c_str(), value, out);
    return Bytes(out, out + n);
}

struct Decoded {
    std::string tag;
    uint32_t bits;
};

// Feeds `bytes` to the module's decoder; returns every completed frame.
std::vector<Decoded> module_decode(const Bytes &bytes)
{
    veltrix::t_frame_decoder d = module_decoder();
    std::vector<Decoded> frames;
    for (uint8_t c : bytes) {
        if (veltrix::frame_step(d, c))
            frames.push_back({d.inputBufferTag, bits_of(d.inputBufferValue)});
    }
    return frames;
}

std::vector<Decoded> device_decode(const Bytes &bytes)
{
    VeltrixDecoder d;
    std::vector<Decoded> frames;
    for (uint8_t c : bytes) {
        if (d.feed(c))
            frames.push_back({d.tag(), bits_of(d.value())});
    }
    return frames;
}

std::string hex(const Bytes &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
        s += ' ';
    }
    return s;
}

// Arduino's Print, reduced to what the library uses: a base with virtual
// writes, the many-byte one made of the one-byte one.
class Print {
  public:
    virtual ~Print() = default;
    virtual size_t write(uint8_t c) = 0;
    virtual size_t write(const uint8_t *buffer, size_t size)
    {
        size_t n = 0;
        while (size--) {
            if (!write(*buffer++))
                break;
            n++;
        }
        return n;
    }
};

// A serial line in memory: what is written is kept, and read back by
// available()/read() as Arduino's Stream does. `limit` cuts writes short.
class Line : public Print {
  public:
    using Print::write;
    size_t write(uint8_t c) override
    {
        if (out.size() >= limit)
            return 0;
        out.push_back(c);
        return 1;
    }
    int available() const { return static_cast<int>(in.size() - readAt); }
    int read() { return readAt < in.size() ? in[readAt++] : -1; }

    Bytes out;
    Bytes in;
    size_t readAt = 0;
    size_t limit = SIZE_MAX;
};

// A writer with nothing but the many-byte write, counting its calls.
struct BufferWriter {
    size_t write(const uint8_t *data, size_t n)
    {
        calls++;
        bytes.insert(bytes.end(), data, data + n);
        return n;
    }
    Bytes bytes;
    int calls = 0;
};

} // namespace

TEST(DeviceFrame, TheBriefsExample)
{
    Bytes expected = {0xAA, 0x6C, 0x65, 0x64, 0x00, 0x00, 0x00, 0x80, 0x3F};
    EXPECT_EQ(device_encode("led", 1.0f), expected);
    EXPECT_EQ(module_encode("led", 1.0f), expected);
    std::vector<Decoded> frames = device_decode(expected);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].tag, "led");
    EXPECT_EQ(frames[0].bits, 0x3F800000u);
}

TEST(DeviceFrame, ValueIsLeastSignificantByteFirst)
{
    Bytes frame = device_encode("", float_of(0x12345678u));
    EXPECT_EQ(frame, (Bytes{0xAA, 0x00, 0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(veltrixFloatBits(float_of(0x12345678u)), 0x12345678u);
    EXPECT_EQ(bits_of(veltrixBitsFloat(0x7FA5A5A5u)), 0x7FA5A5A5u);
}

TEST(DeviceFrame, SizeIsTagPlusSix)
{
    EXPECT_EQ(device_encode("", 0).size(), 6u);
    EXPECT_EQ(device_encode("led", 0).size(), 9u);
    EXPECT_EQ(device_encode(std::string(31, 'a'), 0).size(), 37u);
    EXPECT_EQ(device_encode(std::string(40, 'a'), 0).size(), 37u); // cut to 31
}

static_assert(VELTRIX_FRAME_MAX == 37);
static_assert(size_t{VELTRIX_FRAME_MAX} == veltrix::frame_max);
static_assert(size_t{VELTRIX_TAG_MAX} == veltrix::frame_tag_max);

// Every frame of the corpus: the library writes the module's frame byte for
// byte, and the frames back to back read the same, tag and value bits, in
// both decoders.
TEST(DeviceFrame, CorpusFramesAreTheModulesAndReadTheSameInBoth)
{
    Bytes stream;
    std::vector<Decoded> expected;
    for (const std::string &tag : tag_corpus()) {
        for (uint32_t bits : value_corpus()) {
            Bytes frame = device_encode(tag, float_of(bits));
            ASSERT_EQ(frame, module_encode(tag, float_of(bits))) << hex(frame);
            stream.insert(stream.end(), frame.begin(), frame.end());
            expected.push_back({cut(tag), bits});
        }
    }
    for (const auto &frames : {device_decode(stream), module_decode(stream)}) {
        ASSERT_EQ(frames.size(), expected.size());
        for (size_t i = 0; i < frames.size(); i++) {
            EXPECT_EQ(frames[i].tag, expected[i].tag) << i;
            EXPECT_EQ(frames[i].bits, expected[i].bits) << i;
        }
    }
}

TEST(DeviceDecoder, FollowsTheStates)
{
    VeltrixDecoder d;
    EXPECT_EQ(d.state(), VeltrixDecoder::between);
    EXPECT_FALSE(d.feed(0x00));
    EXPECT_FALSE(d.feed(0x41));
    EXPECT_EQ(d.state(), VeltrixDecoder::between); // ignored between frames
    EXPECT_FALSE(d.feed(0xAA));
    EXPECT_EQ(d.state(), VeltrixDecoder::inTag);
    EXPECT_FALSE(d.feed(0xAA)); // a tag character, not a new frame
    EXPECT_EQ(d.state(), VeltrixDecoder::inTag);
    EXPECT_FALSE(d.feed(0x00));
    EXPECT_EQ(d.state(), VeltrixDecoder::inValue);
    EXPECT_FALSE(d.feed(0xAA));
    EXPECT_FALSE(d.feed(0x00));
    EXPECT_FALSE(d.feed(0xAA));
    EXPECT_EQ(d.state(), VeltrixDecoder::inValue);
    EXPECT_TRUE(d.feed(0xAA));
    EXPECT_EQ(d.state(), VeltrixDecoder::between);
    EXPECT_STREQ(d.tag(), "\xAA");
    // Value bytes AA 00 AA AA, least significant first:
    EXPECT_EQ(bits_of(d.value()), 0xAAAA00AAu);
}

TEST(DeviceDecoder, KeepsThirtyOneTagCharacters)
{
    std::string tag40 = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    Bytes frame = {0xAA};
    frame.insert(frame.end(), tag40.begin(), tag40.end());
    frame.push_back(0x00);
    Bytes value = {0x00, 0x00, 0x80, 0x3F};
    frame.insert(frame.end(), value.begin(), value.end());
    std::vector<Decoded> frames = device_decode(frame);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].tag, "abcdefghijklmnopqrstuvwxyz01234");
    EXPECT_EQ(frames[0].bits, 0x3F800000u);
    EXPECT_EQ(module_decode(frame)[0].tag, frames[0].tag);
}

TEST(DeviceDecoder, ResetDropsAHalfFrame)
{
    VeltrixDecoder d;
    Bytes frame = device_encode("led", 1.0f);
    for (size_t i = 0; i < 5; i++)
        d.feed(frame[i]);
    d.reset();
    EXPECT_EQ(d.state(), VeltrixDecoder::between);
    size_t done = 0;
    for (uint8_t c : frame)
        done += d.feed(c);
    EXPECT_EQ(done, 1u);
    EXPECT_STREQ(d.tag(), "led");
}

// Seeded pseudo-random streams: noise (rich in 0xAA and 0x00), whole frames,
// and frames cut short, fed to both decoders a byte at a time. They must
// agree on every byte: the same state, the same frames at the same places.
TEST(DeviceDecoder, NoisyStreamsDecodeAsInTheModule)
{
    const std::vector<std::string> tags = tag_corpus();
    const std::vector<uint32_t> values = value_corpus();
    size_t total_frames = 0;
    size_t clean_frames = 0;
    for (uint32_t seed = 1; seed <= 200; seed++) {
        std::mt19937 rng(seed);
        auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
        Bytes stream;
        // Where a frame we put in starts, with the tag and value it carries.
        std::vector<std::pair<size_t, Decoded>> placed;
        while (stream.size() < 4000) {
            switch (pick(4)) {
            case 0: { // noise
                size_t n = pick(48);
                for (size_t i = 0; i < n; i++) {
                    size_t kind = pick(8);
                    stream.push_back(kind == 0   ? 0xAA
                                     : kind == 1 ? 0x00
                                                 : static_cast<uint8_t>(rng()));
                }
                break;
            }
            case 1:
            case 2: { // a whole frame
                std::string tag = tags[pick(tags.size())];
                uint32_t bits =
                    pick(4) ? values[pick(values.size())] : static_cast<uint32_t>(rng());
                Bytes frame = pick(2) ? device_encode(tag, float_of(bits))
                                      : module_encode(tag, float_of(bits));
                placed.push_back({stream.size(), {cut(tag), bits}});
                stream.insert(stream.end(), frame.begin(), frame.end());
                break;
            }
            default: { // a frame cut short
                Bytes frame =
                    device_encode(tags[pick(tags.size())], float_of(static_cast<uint32_t>(rng())));
                stream.insert(stream.end(), frame.begin(),
                              frame.begin() + static_cast<long>(pick(frame.size())));
                break;
            }
            }
        }

        veltrix::t_frame_decoder m = module_decoder();
        VeltrixDecoder d;
        size_t next = 0;
        bool clean = false; // the frame starting here began between frames
        Decoded want{};
        for (size_t i = 0; i < stream.size(); i++) {
            if (next < placed.size() && placed[next].first == i) {
                clean = d.state() == VeltrixDecoder::between;
                want = placed[next].second;
                next++;
            }
            bool md = veltrix::frame_step(m, stream[i]);
            bool dd = d.feed(stream[i]);
            ASSERT_EQ(md, dd) << "seed " << seed << " byte " << i;
            ASSERT_EQ(m.inputBufferState, static_cast<uint8_t>(d.state()))
                << "seed " << seed << " byte " << i;
            if (!dd)
                continue;
            total_frames++;
            ASSERT_STREQ(m.inputBufferTag, d.tag()) << "seed " << seed << " byte " << i;
            ASSERT_EQ(bits_of(m.inputBufferValue), bits_of(d.value()))
                << "seed " << seed << " byte " << i;
            if (clean) {
                // A frame that started between frames arrives whole.
                EXPECT_EQ(d.tag(), want.tag) << "seed " << seed << " byte " << i;
                EXPECT_EQ(bits_of(d.value()), want.bits) << "seed " << seed << " byte " << i;
                clean_frames++;
                clean = false;
            }
        }
    }
    EXPECT_GT(total_frames, 10000u);
    EXPECT_GT(clean_frames, 5000u);
}

// Every byte value in every position of a short frame, in both decoders.
TEST(DeviceDecoder, EveryByteEverywhere)
{
    Bytes base = device_encode("ab", float_of(0x3F800000u)); // AA 61 62 00 00 00 80 3F
    for (size_t pos = 0; pos < base.size(); pos++) {
        for (int b = 0; b < 256; b++) {
            Bytes s = base;
            s[pos] = static_cast<uint8_t>(b);
            s.insert(s.end(), base.begin(), base.end()); // and a whole one after
            std::vector<Decoded> dev = device_decode(s);
            std::vector<Decoded> mod = module_decode(s);
            ASSERT_EQ(dev.size(), mod.size()) << pos << " " << b;
            for (size_t i = 0; i < dev.size(); i++) {
                EXPECT_EQ(dev[i].tag, mod[i].tag) << pos << " " << b;
                EXPECT_EQ(dev[i].bits, mod[i].bits) << pos << " " << b;
            }
        }
    }
}

TEST(DeviceSend, OneWriteOfTheWholeFrame)
{
    BufferWriter w;
    EXPECT_EQ(veltrixSend(w, "led", 1.0f), 9u);
    EXPECT_EQ(w.calls, 1);
    EXPECT_EQ(w.bytes, module_encode("led", 1.0f));
    EXPECT_EQ(veltrixSend(w, std::string(40, 'q').c_str(), -0.0f), 37u);
    EXPECT_EQ(module_decode(Bytes(w.bytes.begin() + 9, w.bytes.end()))[0].tag,
              std::string(31, 'q'));
}

TEST(DeviceSend, ThroughAPrintReference)
{
    Line line;
    Print &out = line;
    EXPECT_EQ(veltrixSend(out, "knob", 0.25f), 10u);
    EXPECT_EQ(line.out, module_encode("knob", 0.25f));
    // What a short write returned comes back.
    Line full;
    full.limit = 4;
    EXPECT_EQ(veltrixSend(full, "knob", 0.25f), 4u);
}

TEST(DeviceSend, TakesDoublesAndIntegers)
{
    BufferWriter w;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wfloat-conversion"
#pragma GCC diagnostic ignored "-Wconversion"
    veltrixSend(w, "a", 0.1);  // a double, as 0.1 is
    veltrixSend(w, "b", 1023); // an int, as analogRead() returns
#pragma GCC diagnostic pop
    std::vector<Decoded> frames = module_decode(w.bytes);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].bits, bits_of(0.1f));
    EXPECT_EQ(frames[1].bits, bits_of(1023.0f));
}

namespace {
std::vector<std::pair<std::string, uint32_t>> seen;
std::vector<uint32_t> seen_led, seen_knob, seen_long;
Line *echo_line;

void on_frame(const char *tag, float value)
{
    seen.push_back({tag, bits_of(value)});
}
void on_led(float value)
{
    seen_led.push_back(bits_of(value));
}
void on_knob(float value)
{
    seen_knob.push_back(bits_of(value));
}
void on_long(float value)
{
    seen_long.push_back(bits_of(value));
}
void echo(const char *tag, float value)
{
    veltrixSend(*echo_line, tag, value);
}

void clear_seen()
{
    seen.clear();
    seen_led.clear();
    seen_knob.clear();
    seen_long.clear();
}
} // namespace

TEST(DeviceReceiver, CallsTheFrameHandlerAndTheTagHandlers)
{
    clear_seen();
    VeltrixReceiver<4> rx;
    rx.onFrame(on_frame);
    EXPECT_TRUE(rx.on("led", on_led));
    EXPECT_TRUE(rx.on("knob", on_knob));
    Bytes s;
    for (const auto &f :
         {module_encode("led", 1.0f), module_encode("knob", 0.5f), module_encode("other", 2.0f),
          module_encode("le", 3.0f), module_encode("ledd", 4.0f)})
        s.insert(s.end(), f.begin(), f.end());
    EXPECT_EQ(rx.feed(s.data(), s.size()), 5u);
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[2].first, "other");
    EXPECT_EQ(seen[2].second, 0x40000000u);
    EXPECT_EQ(seen_led, std::vector<uint32_t>{0x3F800000u});
    EXPECT_EQ(seen_knob, std::vector<uint32_t>{0x3F000000u});
}

TEST(DeviceReceiver, TableIsFixedReplacesAndRemoves)
{
    clear_seen();
    VeltrixReceiver<2> rx;
    EXPECT_TRUE(rx.on("led", on_knob));
    EXPECT_TRUE(rx.on("knob", on_knob));
    EXPECT_FALSE(rx.on("third", on_knob)); // full
    EXPECT_TRUE(rx.on("led", on_led));     // replaced, not added
    Bytes f = module_encode("led", 1.0f);
    rx.feed(f.data(), f.size());
    EXPECT_EQ(seen_led.size(), 1u);
    EXPECT_TRUE(seen_knob.empty());
    EXPECT_TRUE(rx.on("led", nullptr));   // removed
    EXPECT_TRUE(rx.on("gone", nullptr));  // nothing to remove
    EXPECT_TRUE(rx.on("third", on_knob)); // its slot is free again
    rx.feed(f.data(), f.size());
    EXPECT_EQ(seen_led.size(), 1u);
    Bytes t = module_encode("third", 5.0f);
    rx.feed(t.data(), t.size());
    EXPECT_EQ(seen_knob, std::vector<uint32_t>{0x40A00000u});
}

TEST(DeviceReceiver, ALongTagMatchesAsItArrives)
{
    clear_seen();
    VeltrixReceiver<> rx;
    std::string tag40 = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    EXPECT_TRUE(rx.on(tag40.c_str(), on_long));
    Bytes f = module_encode(tag40, 7.0f); // the module cuts it to 31
    rx.feed(f.data(), f.size());
    Bytes g = module_encode(tag40.substr(0, 31), 8.0f);
    rx.feed(g.data(), g.size());
    Bytes h = module_encode(tag40.substr(0, 30), 9.0f); // one short: not it
    rx.feed(h.data(), h.size());
    EXPECT_EQ(seen_long, (std::vector<uint32_t>{0x40E00000u, 0x41000000u}));
    EXPECT_TRUE(veltrixTagIs("abc", "abc"));
    EXPECT_FALSE(veltrixTagIs("abc", "abcd"));
    EXPECT_FALSE(veltrixTagIs("abcd", "abc"));
    EXPECT_TRUE(veltrixTagIs("", ""));
}

TEST(DeviceReceiver, PollReadsWhatIsAvailable)
{
    clear_seen();
    VeltrixReceiver<> rx;
    rx.onFrame(on_frame);
    Line line;
    Bytes a = module_encode("a", 1.0f);
    Bytes b = module_encode("b", 2.0f);
    line.in = a;
    line.in.insert(line.in.end(), b.begin(), b.begin() + 3);
    EXPECT_EQ(rx.poll(line), 1u);
    EXPECT_EQ(line.available(), 0);
    EXPECT_EQ(rx.poll(line), 0u);
    line.in.insert(line.in.end(), b.begin() + 3, b.end());
    EXPECT_EQ(rx.poll(line), 1u);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].first, "b");
}

// The Echo example's logic: every frame goes back out as it came in.
TEST(DeviceReceiver, EchoSendsBackEveryFrame)
{
    Line line;
    echo_line = &line;
    VeltrixReceiver<1> rx;
    rx.onFrame(echo);
    Bytes expected;
    std::mt19937 rng(7);
    for (const std::string &tag : tag_corpus()) {
        Bytes f = module_encode(tag, float_of(static_cast<uint32_t>(rng())));
        line.in.insert(line.in.end(), f.begin(), f.end());
        line.in.push_back(0x55); // noise between frames
        expected.insert(expected.end(), f.begin(), f.end());
    }
    rx.poll(line);
    EXPECT_EQ(line.out, expected);
    echo_line = nullptr;
}

// A line that never runs dry: poll() takes what was there when it was
// called, and returns, so that loop() goes on.
TEST(DeviceReceiver, PollIsBounded)
{
    struct Endless {
        int available() const { return 5; }
        int read()
        {
            reads++;
            return 0xAA;
        }
        int reads = 0;
    } line;
    VeltrixReceiver<> rx;
    EXPECT_EQ(rx.poll(line), 0u);
    EXPECT_EQ(line.reads, 5);
    EXPECT_EQ(rx.decoder().state(), VeltrixDecoder::inTag);
    rx.reset();
    EXPECT_EQ(rx.decoder().state(), VeltrixDecoder::between);
}
