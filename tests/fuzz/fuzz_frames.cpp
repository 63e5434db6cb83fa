// Arbitrary bytes from a board, through the poll loop, the decoder and the
// dispatch to a few receivers. The first byte splits the input over two
// polls, so that frames cut across ticks are explored too.
#include "puredata/veltrix/Veltrix.h"
#include "fake_pd.h"
#include "fake_serial.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

void load()
{
    fakepd::reset();
    fakeserial::reset();
    fakepd::setup(Veltrix_setup);
    for (const char *tag : {"", "a", "led", "led", "\xAA", "abcdefghijklmnopqrstuvwxyz01234"})
        fakepd::create({"receive", tag});
    fakeserial::add("/dev/fuzz");
    fakepd::create({"open", "/dev/fuzz"});
    fakepd::advance(0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool loaded = (load(), true);
    (void)loaded;
    if (size == 0)
        return 0;
    size_t split = size > 1 ? data[0] % size : 0;
    fakeserial::feed("/dev/fuzz", std::vector<uint8_t>(data + 1, data + 1 + split));
    fakepd::advance(100);
    fakeserial::feed("/dev/fuzz", std::vector<uint8_t>(data + 1 + split, data + size));
    fakepd::advance(100);
    t_Veltrix *board = Veltrix.boards[0];
    if (!board || !board->d.b.connected || board->d.b.inputBufferState > 2 ||
        board->d.b.inputBufferTagIdx > 32 || board->d.b.inputBufferValuePtrIdx > 4)
        __builtin_trap();
    fakepd::take_console();
    fakepd::take_outlets();
    return 0;
}
