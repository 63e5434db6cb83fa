// The board library checked on the board: scripts/test-device builds this for
// an ATmega328P (16-bit int, 32-bit double) and runs it on simavr, and builds
// it for the host too. Both print the same lines when the library behaves the
// same on both; the script compares them. On the host each decoded stream is
// also checked against the module's own decoder (frame.h), so the lines the
// board must match are the module's.
#include <Veltrix.h>

#if defined(__AVR__)
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <avr/sleep.h>
#define TEXT(s) PSTR(s)
#define TEXT_BYTE(p) pgm_read_byte(p)
#else
#include <stdio.h>

#include "frame.h"
#define TEXT(s) (s)
#define TEXT_BYTE(p) (*(p))
#endif

namespace {

void putChar(char c)
{
#if defined(__AVR__)
    while (!(UCSR0A & _BV(UDRE0))) {
    }
    UDR0 = static_cast<uint8_t>(c);
#else
    putchar(c);
#endif
}

void putText(const char *text) // a TEXT() string
{
    for (char c; (c = static_cast<char>(TEXT_BYTE(text))) != '\0'; text++)
        putChar(c);
}

void putHex(uint32_t value, uint8_t digits)
{
    while (digits--)
        putChar("0123456789ABCDEF"[(value >> (4 * digits)) & 15]);
}

void putNumber(uint32_t value)
{
    char digits[10];
    uint8_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    while (n)
        putChar(digits[--n]);
}

uint16_t passed, failed;

void check(bool ok, const char *name) // a TEXT() string
{
    if (ok)
        passed++;
    else
        failed++;
    putText(ok ? TEXT("PASS ") : TEXT("FAIL "));
    putText(name);
    putChar('\n');
}

bool same(const uint8_t *a, const uint8_t *b, size_t n)
{
    return memcmp(a, b, n) == 0;
}

// One frame through a fresh decoder: true when exactly its last byte
// completed it.
bool decodeOne(VeltrixDecoder &d, const uint8_t *frame, size_t n)
{
    d.reset();
    for (size_t i = 0; i + 1 < n; i++) {
        if (d.feed(frame[i]))
            return false;
    }
    return d.feed(frame[n - 1]);
}

void knownFrame()
{
    static const uint8_t led[] = {0xAA, 0x6C, 0x65, 0x64, 0x00, 0x00, 0x00, 0x80, 0x3F};
    uint8_t frame[VELTRIX_FRAME_MAX];
    size_t n = veltrixEncode("led", 1.0f, frame);
    check(n == sizeof led && same(frame, led, n), TEXT("led 1.0 is AA 6C 65 64 00 00 00 80 3F"));
    VeltrixDecoder d;
    check(decodeOne(d, led, sizeof led) && strcmp(d.tag(), "led") == 0 && d.value() == 1.0f,
          TEXT("AA 6C 65 64 00 00 00 80 3F reads led 1.0"));
}

const uint32_t values[] = {
    0x00000000u, 0x80000000u, 0x00000001u, 0x80000001u, 0x007FFFFFu, 0x00400000u,
    0x00800000u, 0x7F7FFFFFu, 0xFF7FFFFFu, 0x7F800000u, 0xFF800000u, 0x7FC00000u,
    0xFFC00000u, 0x7FC12345u, 0x7F800001u, 0x7FA5A5A5u, 0xFFFFFFFFu, 0x3F800000u,
    0xBF800000u, 0x3F000000u, 0x40500000u, 0x40490FDBu, 0x4B800001u, 0xAAAAAAAAu,
    0x000000AAu, 0xAA000000u, 0x00AA00AAu, 0x12345678u, 0x78563412u,
};

// Every value's bits out and back: least significant byte first on the wire,
// denormals, infinities, NaN payloads and -0 untouched.
void valueCorpus()
{
    VeltrixDecoder d;
    uint8_t bad = 0;
    for (uint8_t i = 0; i < sizeof values / sizeof values[0]; i++) {
        uint8_t frame[VELTRIX_FRAME_MAX];
        size_t n = veltrixEncode("v", veltrixBitsFloat(values[i]), frame);
        uint32_t wire = static_cast<uint32_t>(frame[3]) | static_cast<uint32_t>(frame[4]) << 8 |
                        static_cast<uint32_t>(frame[5]) << 16 |
                        static_cast<uint32_t>(frame[6]) << 24;
        bool read = decodeOne(d, frame, n);
        uint32_t back = veltrixFloatBits(d.value());
        putText(TEXT("value "));
        putHex(values[i], 8);
        putText(TEXT(" wire "));
        putHex(wire, 8);
        putText(TEXT(" read "));
        putHex(back, 8);
        putChar('\n');
        if (n != 7 || wire != values[i] || !read || back != values[i])
            bad++;
    }
    check(bad == 0, TEXT("value corpus out and back bit for bit"));
}

void longTag()
{
    const char *tag40 = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    uint8_t frame[VELTRIX_FRAME_MAX];
    size_t n = veltrixEncode(tag40, 2.0f, frame);
    VeltrixDecoder d;
    check(n == 37 && decodeOne(d, frame, n) &&
              strcmp(d.tag(), "abcdefghijklmnopqrstuvwxyz01234") == 0,
          TEXT("a 40-character tag goes out and reads as its first 31"));
    // Its 40 characters on the wire, as a writer that does not cut would send.
    d.reset();
    bool done = d.feed(0xAA);
    for (uint8_t i = 0; i < 40; i++)
        done |= d.feed(static_cast<uint8_t>(tag40[i]));
    done |= d.feed(0x00);
    done |= d.feed(0x00);
    done |= d.feed(0x00);
    done |= d.feed(0x00);
    bool last = d.feed(0x40); // 2.0
    check(!done && last && strcmp(d.tag(), "abcdefghijklmnopqrstuvwxyz01234") == 0 &&
              d.value() == 2.0f,
          TEXT("40 tag characters received keep 31"));
}

void noiseVector()
{
    // Noise, a frame with 0xAA in its tag and value, noise, a frame.
    static const uint8_t stream[] = {0x00, 0x55, 0xAA, 'a', 0xAA, 0x00, 0xAA, 0x00, 0xAA, 0xAA,
                                     0x13, 0x00, 0xAA, 'k', 0x00, 0x78, 0x56, 0x34, 0x12};
    VeltrixDecoder d;
    uint8_t frames = 0;
    bool ok = true;
    for (uint8_t i = 0; i < sizeof stream; i++) {
        if (!d.feed(stream[i]))
            continue;
        frames++;
        if (frames == 1)
            ok = ok && i == 9 && strcmp(d.tag(), "a\xAA") == 0 &&
                 veltrixFloatBits(d.value()) == 0xAAAA00AAu;
        else
            ok = ok && i == 18 && strcmp(d.tag(), "k") == 0 &&
                 veltrixFloatBits(d.value()) == 0x12345678u;
    }
    check(ok && frames == 2, TEXT("0xAA inside a frame is data, noise between frames is ignored"));
}

uint8_t ledCalls, anyCalls;
float ledValue;
void onLed(float value)
{
    ledCalls++;
    ledValue = value;
}
void onAny(const char *, float)
{
    anyCalls++;
}

void receiver()
{
    VeltrixReceiver<2> rx;
    rx.onFrame(onAny);
    bool ok = rx.on("led", onLed) && rx.on("knob", onLed) && !rx.on("third", onLed) &&
              rx.on("knob", VELTRIX_NULL) && rx.on("third", onLed);
    uint8_t frame[VELTRIX_FRAME_MAX];
    size_t n = veltrixEncode("led", 0.25f, frame);
    ok = ok && rx.feed(frame, n) == 1;
    n = veltrixEncode("knob", 0.5f, frame);
    ok = ok && rx.feed(frame, n) == 1;
    check(ok && ledCalls == 1 && ledValue == 0.25f && anyCalls == 2,
          TEXT("receiver: fixed table, per-tag and every-frame handlers"));
}

// A stream from a seeded generator: noise rich in 0xAA and 0x00, whole
// frames and frames cut short. Prints how many frames it read and a sum over
// their tags and values, the same on every machine when the decoder is.
uint32_t rng;
uint32_t next()
{
    rng ^= rng << 13;
    rng ^= rng >> 17;
    rng ^= rng << 5;
    return rng;
}

const char *const tags[] = {"",
                            "a",
                            "led",
                            "knob",
                            "\xAA",
                            "a\xAA"
                            "b",
                            "\xAA\xAA\xAA",
                            "abcdefghijklmnopqrstuvwxyz0123456789ABCD",
                            "0123456789012345678901234567890"};

struct Sum {
    uint32_t hash;
    uint16_t frames;
    void add(const char *tag, uint32_t bits)
    {
        frames++;
        for (const char *p = tag;; p++) {
            mix(static_cast<uint8_t>(*p));
            if (!*p)
                break;
        }
        for (uint8_t i = 0; i < 4; i++)
            mix(static_cast<uint8_t>(bits >> (8 * i)));
    }
    void mix(uint8_t b) { hash = (hash ^ b) * 16777619u; } // FNV-1a
};

void streams()
{
    uint8_t mismatches = 0;
    for (uint8_t seed = 1; seed <= 16; seed++) {
        rng = 0x9E3779B9u * seed;
        VeltrixDecoder d;
        Sum sum = {2166136261u, 0};
#if !defined(__AVR__)
        veltrix::t_frame_decoder m = {};
        Sum module = {2166136261u, 0};
#endif
        for (uint16_t made = 0; made < 4000;) {
            uint8_t frame[VELTRIX_FRAME_MAX];
            size_t n;
            uint32_t r = next();
            switch (r & 3) {
            case 0: // noise
                frame[0] = (r >> 8) % 4 == 0   ? 0xAA
                           : (r >> 8) % 4 == 1 ? 0x00
                                               : static_cast<uint8_t>(r >> 16);
                n = 1;
                break;
            case 3: // a frame cut short
                n = veltrixEncode(tags[(r >> 8) % (sizeof tags / sizeof tags[0])],
                                  veltrixBitsFloat(next()), frame);
                n = static_cast<uint8_t>(r >> 16) % n;
                break;
            default: // a whole frame
                n = veltrixEncode(tags[(r >> 8) % (sizeof tags / sizeof tags[0])],
                                  veltrixBitsFloat(next()), frame);
                break;
            }
            for (size_t i = 0; i < n; i++, made++) {
                if (d.feed(frame[i]))
                    sum.add(d.tag(), veltrixFloatBits(d.value()));
#if !defined(__AVR__)
                if (veltrix::frame_step(m, frame[i])) {
                    uint32_t bits;
                    memcpy(&bits, &m.inputBufferValue, sizeof bits);
                    module.add(m.inputBufferTag, bits);
                }
#endif
            }
        }
#if !defined(__AVR__)
        if (module.hash != sum.hash || module.frames != sum.frames)
            mismatches++;
#endif
        putText(TEXT("stream "));
        putNumber(seed);
        putText(TEXT(": "));
        putNumber(sum.frames);
        putText(TEXT(" frames, sum "));
        putHex(sum.hash, 8);
        putChar('\n');
    }
    check(mismatches == 0, TEXT("streams read as the module reads them (checked on the host)"));
}

} // namespace

int main()
{
#if defined(__AVR__)
    UCSR0B = _BV(TXEN0);
#endif
    knownFrame();
    valueCorpus();
    longTag();
    noiseVector();
    receiver();
    streams();
    putText(TEXT("selftest: "));
    putNumber(passed);
    putText(TEXT(" passed, "));
    putNumber(failed);
    putText(TEXT(" failed\n"));
#if defined(__AVR__)
    while (!(UCSR0A & _BV(TXC0))) {
    }
    cli();
    sleep_cpu(); // simavr ends the run here
#endif
    return failed ? 1 : 0;
}
