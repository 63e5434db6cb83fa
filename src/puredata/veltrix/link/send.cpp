// Floats from senders, written as frames to every board in slot order.
#include "../Veltrix.h"
#include "frame.h"

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
        return;
    }
    post("Veltrix_send %f to %s", static_cast<double>(f), x->d.s.endpoint_tag);
    // The wire carries a 32-bit float whatever the width of Pd's floats.
    uint8_t frame[veltrix::frame_max];
    size_t size = veltrix::frame_encode(x->d.s.endpoint_tag, veltrix::frame_value_of(f), frame);
    const uint8_t *tag = frame + 1;
    const auto tag_size = static_cast<int32_t>(size - 1 - veltrix::frame_value_size);
    const uint8_t *value = tag + tag_size;
    for (auto *y : Veltrix.boards) {
        if (!y)
            continue;
        int32_t written = 0;
        if (!Veltrix_send_raw(y, frame, 1, &written)) {
            post("Veltrix_send_float WriteFile(%s, start) failed", y->d.b.tty);
            continue;
        }
        if (!Veltrix_send_raw(y, tag, tag_size, &written)) {
            post("Veltrix_send_float WriteFile(%s, tag) failed", y->d.b.tty);
            continue;
        }
        if (!Veltrix_send_raw(y, value, veltrix::frame_value_size, &written))
            post("Veltrix_send_float WriteFile(%s, value) failed", y->d.b.tty);
    }
    outlet_float(x->d.s.f_out, f);
}
