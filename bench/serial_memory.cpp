#include "serial_memory.h"
#include "serial.h"

#include <cstring>

struct t_serial {
    bool open;
};

namespace {

t_serial device;
const uint8_t *input;
size_t input_size;
size_t input_at;

} // namespace

void serial_memory_feed(const uint8_t *data, size_t size)
{
    input = data;
    input_size = size;
    input_at = 0;
}

size_t serial_memory_left()
{
    return input_size - input_at;
}

t_serial *serial_open(const char *name, t_serial_open_error *why)
{
    if (why)
        *why = serial_open_other;
    if (strcmp(name, serial_memory_name) != 0 || device.open)
        return nullptr;
    device.open = true;
    return &device;
}

int serial_getstate(t_serial *, t_commstate *state)
{
    *state = t_commstate{};
    return 1;
}

int serial_setstate(t_serial *, const t_commstate *)
{
    return 1;
}

int serial_gettimeouts(t_serial *, t_commtimeouts *timeouts)
{
    *timeouts = t_commtimeouts{};
    return 1;
}

int serial_settimeouts(t_serial *, const t_commtimeouts *)
{
    return 1;
}

int serial_read(t_serial *, uint8_t *byte, uint32_t *count, t_serial_wait)
{
    *count = 0;
    if (input_at < input_size) {
        *byte = input[input_at++];
        *count = 1;
    }
    return 1;
}

uint32_t serial_line_errors(t_serial *)
{
    return 0;
}

int serial_write(t_serial *, const uint8_t *, int32_t length, int32_t *written)
{
    *written = length;
    return 1;
}

void serial_close(t_serial *port)
{
    port->open = false;
}

int serial_same_device(t_serial *port, const char *name)
{
    return port == &device && !strcmp(name, serial_memory_name);
}

// No descriptor: read on the clock.
bool serial_watchable()
{
    return false;
}

int serial_descriptor(t_serial *)
{
    return -1;
}

int64_t serial_clock_us()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}
