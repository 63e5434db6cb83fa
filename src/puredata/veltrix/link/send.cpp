// Floats from senders, written as frames to every board in slot order.
#include "../Veltrix.h"
#include "frame.h"

#include <algorithm>
#include <chrono>

namespace {

using t_time = t_serial_clock;

// Where a write cut short broke the frame, for its failure line.
const char *frame_part(int32_t written, int32_t tag_end)
{
    return written == 0 ? "start" : written < tag_end ? "tag" : "value";
}

// A board's write may wait for room as long as its port's write timeouts say
// (the whole bound, set at connection). The boards of one float share that
// bound: one written after others waited gets only what they left, a
// millisecond at least, the shortest timeout a port takes.
uint8_t write_frame(t_Veltrix *y, const uint8_t *frame, int32_t size, t_time::time_point deadline,
                    int32_t *written)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - t_time::now()).count();
    if (left >= Veltrix_write_bound_ms || !y->d.b.connected)
        return Veltrix_send_raw(y, frame, size, written);
    t_serial *port = y->d.b.hSerial;
    t_commtimeouts whole{};
    if (!serial_gettimeouts(port, &whole))
        return Veltrix_send_raw(y, frame, size, written);
    t_commtimeouts rest = whole;
    rest.write_constant = static_cast<uint32_t>(std::max<decltype(left)>(left, 1));
    rest.write_multiplier = 0;
    serial_settimeouts(port, &rest);
    uint8_t ok = Veltrix_send_raw(y, frame, size, written);
    serial_settimeouts(port, &whole);
    return ok;
}

// A receiver's inlet is there for messages: values go the other way.
void tell_receiver_gives_out(t_Veltrix *x)
{
    if (x->endpoint_type == ep_receive)
        pd_error(x,
                 "Veltrix: [Veltrix receive %s] only gives out what boards send under '%s'; "
                 "[Veltrix send %s] takes values in and sends them to the boards",
                 x->d.r.endpoint_tag, x->d.r.endpoint_tag, x->d.r.endpoint_tag);
}

} // namespace

uint8_t Veltrix_send_raw(t_Veltrix *y, const uint8_t *data, int32_t length, int32_t *written)
{
    *written = 0;
    if (!y->d.b.connected)
        return 0;
    // A write cut short is a failure, whatever the platform answered.
    return serial_write(y->d.b.hSerial, data, length, written) && *written == length;
}

void Veltrix_send_float(t_Veltrix *x, t_floatarg f)
{
    if (x->endpoint_type != ep_send) {
        post("error: Veltrix: no method for 'float'");
        tell_receiver_gives_out(x);
        return;
    }
    Veltrix_routine("Veltrix_send %f to %s", static_cast<double>(f), x->d.s.endpoint_tag);
    // The wire carries a 32-bit float whatever the width of Pd's floats.
    uint8_t frame[veltrix::frame_max];
    auto size = static_cast<int32_t>(
        veltrix::frame_encode_bits(x->d.s.endpoint_tag, veltrix::frame_wire_bits(f), frame));
    // Start byte and tag with its NUL; the value follows.
    const int32_t tag_end = size - static_cast<int32_t>(veltrix::frame_value_size);
    // One write per board: where the platform knows the room in its queue, a
    // frame goes out whole or not at all, as the device's decoder needs.
    auto deadline = t_time::now() + std::chrono::milliseconds(Veltrix_write_bound_ms);
    for (auto *y : Veltrix.boards) {
        if (!y)
            continue;
        int32_t written = 0;
        bool ok = write_frame(y, frame, size, deadline, &written);
        if (Veltrix_board_wrote(y, ok))
            post("Veltrix_send_float WriteFile(%s, %s) failed", y->d.b.tty,
                 frame_part(written, tag_end));
    }
    x->d.s.values++;
    outlet_float(x->d.s.f_out, f);
}

// What Pd does with a list when a class has no list method of its own: an
// empty one is a bang, a number first goes to the float method and the rest
// is dropped, as this object has one inlet. Done here so that a sender can
// say, once, that it dropped the rest. Nothing is handed back to Pd: with a
// list method, Pd hands a lone symbol to it, and would again.
void Veltrix_list(t_Veltrix *x, t_symbol *, int argc, t_atom *argv)
{
    if (argc == 0) {
        Veltrix_bang(x);
        return;
    }
    if (argv->a_type != A_FLOAT) {
        pd_error(x, "Veltrix: no method for '%s'", argv->a_type == A_SYMBOL ? "symbol" : "pointer");
        tell_receiver_gives_out(x);
        return;
    }
    if (x->endpoint_type == ep_send && argc > 1 && !x->d.s.list_told) {
        pd_error(x,
                 "Veltrix_list %p send %s: a list came in; only its first number is sent (said "
                 "once per sender; [unpack] splits a list)",
                 static_cast<void *>(x), x->d.s.endpoint_tag);
        x->d.s.list_told = 1;
    }
    Veltrix_send_float(x, argv->a_w.w_float);
}
