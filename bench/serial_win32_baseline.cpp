// The reference the Windows benchmarks compare against: the plain Win32
// design, one ReadFile per byte within the port's read timeouts (about 2 ms
// when nothing is waiting), whatever the reader asks. Benchmarks only.
#include "serial.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cctype>
#include <cstring>

static_assert(sizeof(DCB) <= sizeof(t_commstate::platform));
static_assert(alignof(DCB) <= alignof(t_commstate));

namespace {

constexpr char device_prefix[] = "\\\\.\\";
constexpr size_t device_prefix_size = sizeof device_prefix - 1;

HANDLE handle(t_serial *port)
{
    return reinterpret_cast<HANDLE>(port);
}

// "COM" in any case and a number: Windows resolves only COM1 to COM9 by bare
// name, so the others are reached through the device namespace.
bool is_bare_com_name(const char *name)
{
    if (toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        toupper(static_cast<unsigned char>(name[2])) != 'M' || !name[3])
        return false;
    for (const char *p = name + 3; *p; p++) {
        if (!isdigit(static_cast<unsigned char>(*p)))
            return false;
    }
    return true;
}

} // namespace

t_serial *serial_open(const char *name)
{
    // Port names arrive cut to 127 characters; room for the prefix too.
    char path[device_prefix_size + 128];
    if (is_bare_com_name(name) && strlen(name) < sizeof path - device_prefix_size) {
        memcpy(path, device_prefix, device_prefix_size);
        strcpy(path + device_prefix_size, name);
        name = path;
    }
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0 /* no sharing */, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    return reinterpret_cast<t_serial *>(h);
}

int serial_getstate(t_serial *port, t_commstate *state)
{
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(handle(port), &dcb))
        return 0;
    memcpy(state->platform, &dcb, sizeof dcb);
    state->baudrate = static_cast<int32_t>(dcb.BaudRate);
    state->bytesize = dcb.ByteSize;
    state->stopbits = dcb.StopBits;
    state->parity = dcb.Parity;
    return 1;
}

int serial_setstate(t_serial *port, const t_commstate *state)
{
    // The DCB as it was read, so that flow control and the rest stay as found.
    DCB dcb;
    memcpy(&dcb, state->platform, sizeof dcb);
    dcb.BaudRate = static_cast<DWORD>(state->baudrate);
    dcb.ByteSize = state->bytesize;
    dcb.StopBits = state->stopbits;
    dcb.Parity = state->parity;
    return SetCommState(handle(port), &dcb) ? 1 : 0;
}

int serial_gettimeouts(t_serial *port, t_commtimeouts *timeouts)
{
    COMMTIMEOUTS t;
    memset(&t, 0, sizeof t);
    if (!GetCommTimeouts(handle(port), &t))
        return 0;
    timeouts->read_interval = t.ReadIntervalTimeout;
    timeouts->read_multiplier = t.ReadTotalTimeoutMultiplier;
    timeouts->read_constant = t.ReadTotalTimeoutConstant;
    timeouts->write_multiplier = t.WriteTotalTimeoutMultiplier;
    timeouts->write_constant = t.WriteTotalTimeoutConstant;
    return 1;
}

int serial_settimeouts(t_serial *port, const t_commtimeouts *timeouts)
{
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = timeouts->read_interval;
    t.ReadTotalTimeoutMultiplier = timeouts->read_multiplier;
    t.ReadTotalTimeoutConstant = timeouts->read_constant;
    t.WriteTotalTimeoutMultiplier = timeouts->write_multiplier;
    t.WriteTotalTimeoutConstant = timeouts->write_constant;
    return SetCommTimeouts(handle(port), &t) ? 1 : 0;
}

int serial_read(t_serial *port, uint8_t *byte, uint32_t *count, t_serial_wait)
{
    BYTE b = 0;
    DWORD n = 0;
    BOOL ok = ReadFile(handle(port), &b, 1, &n, NULL);
    *count = ok ? n : 0;
    if (ok && n)
        *byte = b;
    return ok ? 1 : 0;
}

uint32_t serial_line_errors(t_serial *)
{
    return 0;
}

int serial_write(t_serial *port, const uint8_t *data, int32_t length, int32_t *written)
{
    *written = 0;
    if (length < 0)
        return 0;
    DWORD n = 0;
    BOOL ok = WriteFile(handle(port), data, static_cast<DWORD>(length), &n, NULL);
    *written = static_cast<int32_t>(n);
    return ok && n == static_cast<DWORD>(length) ? 1 : 0;
}

void serial_close(t_serial *port)
{
    if (port)
        CloseHandle(handle(port));
}

int64_t serial_clock_us()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}
