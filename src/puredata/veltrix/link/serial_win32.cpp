// Win32 backend: every call goes straight to the matching Win32 function,
// except reads, which take what the driver has queued in one call and serve
// it from a buffer, so that a burst costs few calls and an idle line none
// that waits.
#include "serial.h"
#include "serial_win32.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>

struct t_serial {
    HANDLE handle;
    DWORD head;
    DWORD tail;
    uint32_t errors; // line errors seen since the last report
    bool stuck;      // the last write ran out of time: the device stopped reading
    // What writes need to know, kept as set rather than asked of the driver
    // at every frame.
    DWORD rate;
    DWORD tx_queue; // the driver's output queue, 0 when it does not tell
    COMMTIMEOUTS timeouts;
    char device[128]; // the name opened, as device_name gives it
    BYTE buffer[4096];
};

static_assert(sizeof(DCB) <= sizeof(t_commstate::platform));
static_assert(alignof(DCB) <= alignof(t_commstate));
// Our stop-bit and parity numbers are the DCB's own.
static_assert(serial_stop_one == ONESTOPBIT && serial_stop_one_half == ONE5STOPBITS &&
              serial_stop_two == TWOSTOPBITS);
static_assert(serial_parity_none == NOPARITY && serial_parity_odd == ODDPARITY &&
              serial_parity_even == EVENPARITY);

t_win32_driver serial_win32_driver = {ClearCommError, GetCommProperties};

namespace {

constexpr char device_prefix[] = "\\\\.\\";
constexpr size_t device_prefix_size = sizeof device_prefix - 1;

HANDLE handle(t_serial *port)
{
    return port->handle;
}

// The driver's receive queue is asked to hold two seconds of the line (10
// bits a byte), twice the longest poll interval, so that a board polled once
// a second loses nothing to a full queue.
constexpr DWORD longest_poll_ms = 1000;
constexpr DWORD queue_min = 4096;
constexpr DWORD queue_max = 1 << 20;

DWORD receive_queue_size(int32_t rate)
{
    if (rate <= 0)
        return queue_min;
    uint64_t bytes = uint64_t(rate) / 10 * 2 * longest_poll_ms / 1000;
    return DWORD(std::clamp<uint64_t>(bytes, queue_min, queue_max));
}

uint32_t our_line_errors(DWORD errors)
{
    uint32_t seen = 0;
    if (errors & (CE_OVERRUN | CE_RXOVER))
        seen |= serial_error_overrun;
    if (errors & CE_FRAME)
        seen |= serial_error_framing;
    if (errors & CE_RXPARITY)
        seen |= serial_error_parity;
    return seen;
}

// The queues' state. ClearCommError also clears the driver's error flags,
// so every call keeps what it saw for serial_line_errors, whichever side
// (read or write) made it.
bool comm_status(t_serial *port, COMSTAT *status)
{
    DWORD errors = 0;
    memset(status, 0, sizeof *status);
    if (!serial_win32_driver.clear_comm_error(port->handle, &errors, status))
        return false;
    port->errors |= our_line_errors(errors);
    return true;
}

// One ClearCommError for what is queued and one ReadFile for all of it.
// Only when asked to wait does an empty queue cost a timed read, of one
// byte, within the port's read timeouts.
bool fill(t_serial *port, t_serial_wait wait)
{
    COMSTAT status;
    if (!comm_status(port, &status))
        return false;
    DWORD want = std::min<DWORD>(status.cbInQue, sizeof port->buffer);
    if (want == 0) {
        if (wait == serial_now)
            return true;
        want = 1;
    }
    DWORD n = 0;
    if (!ReadFile(port->handle, port->buffer, want, &n, NULL))
        return false;
    port->head = 0;
    port->tail = n;
    return true;
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

// One spelling for each port Windows opens under several: COM3, com3 and
// \\.\COM3 are one device. Other names compare without case, as Windows does.
void device_name(const char *name, char *out, size_t size)
{
    if (!strncmp(name, device_prefix, device_prefix_size) &&
        is_bare_com_name(name + device_prefix_size))
        name += device_prefix_size;
    size_t i = 0;
    for (; name[i] && i + 1 < size; i++)
        out[i] = char(toupper(static_cast<unsigned char>(name[i])));
    out[i] = '\0';
}

// A port another program holds answers access denied: Windows opens a
// port for one handle at a time and says no more.
t_serial_open_error open_error(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_UNIT:
    case ERROR_NOT_READY:
    case ERROR_INVALID_NAME:
        return serial_open_missing;
    case ERROR_ACCESS_DENIED:
        return serial_open_denied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return serial_open_busy;
    case ERROR_DIRECTORY:
        return serial_open_not_serial;
    default:
        return serial_open_other;
    }
}

} // namespace

t_serial *serial_open(const char *name, t_serial_open_error *why)
{
    t_serial_open_error ignored;
    if (!why)
        why = &ignored;
    *why = serial_open_ok;
    char device[sizeof t_serial::device];
    device_name(name, device, sizeof device);
    // Port names arrive cut to 127 characters; room for the prefix too.
    char path[device_prefix_size + 128];
    if (is_bare_com_name(name) && strlen(name) < sizeof path - device_prefix_size) {
        memcpy(path, device_prefix, device_prefix_size);
        strcpy(path + device_prefix_size, name);
        name = path;
    }
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0 /* no sharing */, NULL,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        *why = open_error(GetLastError());
        return nullptr;
    }
    auto *port = new (std::nothrow) t_serial{};
    if (!port) {
        *why = serial_open_other;
        CloseHandle(h);
        return nullptr;
    }
    port->handle = h;
    memcpy(port->device, device, sizeof device);
    GetCommTimeouts(h, &port->timeouts);
    return port;
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
    if (!SetCommState(handle(port), &dcb))
        return 0;
    // A request the driver may size down or ignore, so its answer is not
    // the port's failure.
    SetupComm(handle(port), receive_queue_size(state->baudrate), queue_min);
    port->rate = dcb.BaudRate;
    COMMPROP prop;
    memset(&prop, 0, sizeof prop);
    port->tx_queue =
        serial_win32_driver.get_comm_properties(handle(port), &prop) ? prop.dwCurrentTxQueue : 0;
    return 1;
}

int serial_gettimeouts(t_serial *port, t_commtimeouts *timeouts)
{
    COMMTIMEOUTS t;
    memset(&t, 0, sizeof t);
    if (!GetCommTimeouts(handle(port), &t))
        return 0;
    port->timeouts = t;
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
    if (!SetCommTimeouts(handle(port), &t))
        return 0;
    port->timeouts = t;
    return 1;
}

int serial_read(t_serial *port, uint8_t *byte, uint32_t *count, t_serial_wait wait)
{
    *count = 0;
    if (port->head == port->tail && !fill(port, wait))
        return 0;
    if (port->head == port->tail)
        return 1;
    *byte = port->buffer[port->head++];
    *count = 1;
    return 1;
}

uint32_t serial_line_errors(t_serial *port)
{
    uint32_t seen = port->errors;
    port->errors = 0;
    return seen;
}

namespace {

enum t_room { room_yes, room_no, room_unknown };

// Whether `length` more bytes fit in the driver's output queue, where the
// driver tells its size.
t_room output_room(t_serial *port, int32_t length)
{
    COMSTAT stat;
    if (port->tx_queue == 0 || !comm_status(port, &stat))
        return room_unknown;
    return stat.cbOutQue + static_cast<DWORD>(length) <= port->tx_queue ? room_yes : room_no;
}

// A driver with no queue of its own sends from the caller's buffer: the
// write lasts its bytes' time on the line. At slow rates that is longer than
// the write bound, which would then cut every frame short; for this write the
// bound is stretched by that time. True when the port's timeouts are to be
// put back.
bool stretch_to_line(t_serial *port, int32_t length)
{
    const COMMTIMEOUTS &saved = port->timeouts;
    if (port->rate == 0)
        return false;
    // Ten bits a byte (start, eight data, stop), and a millisecond to spare.
    auto line_ms = static_cast<DWORD>((uint64_t(length) * 10000 + port->rate - 1) / port->rate + 1);
    DWORD bound = saved.WriteTotalTimeoutConstant +
                  saved.WriteTotalTimeoutMultiplier * static_cast<DWORD>(length);
    if (bound == 0 || bound >= line_ms) // no bound at all, or room enough
        return false;
    COMMTIMEOUTS t = saved;
    t.WriteTotalTimeoutConstant = bound + line_ms;
    t.WriteTotalTimeoutMultiplier = 0;
    return SetCommTimeouts(port->handle, &t) != 0;
}

// One byte within the shortest write timeout there is (zero means none), so
// that a port stuck at its last write and still full costs next to nothing.
DWORD try_one_byte(t_serial *port, const uint8_t *data)
{
    COMMTIMEOUTS t = port->timeouts;
    t.WriteTotalTimeoutConstant = 1;
    t.WriteTotalTimeoutMultiplier = 0;
    DWORD n = 0;
    if (SetCommTimeouts(port->handle, &t) && !WriteFile(port->handle, data, 1, &n, NULL))
        n = 0;
    SetCommTimeouts(port->handle, &port->timeouts);
    return n;
}

} // namespace

int serial_write(t_serial *port, const uint8_t *data, int32_t length, int32_t *written)
{
    *written = 0;
    if (length < 0)
        return 0;
    HANDLE h = handle(port);
    // A frame that does not fit is not begun: cut short, it would corrupt the
    // next one on the device's side. A full queue fails at once, so a slider
    // on a device that stopped reading costs Pd nothing. Where the driver does
    // not tell, the write timeouts bound the wait. Once they ran out, the
    // next frames get a short try at their first byte until the device takes
    // one, as on POSIX: a driver may claim room it does not have (wine's on a
    // pseudo-terminal does).
    t_room room = output_room(port, length);
    if (room == room_no)
        return 0;
    DWORD sent = 0;
    if (port->stuck && length > 0) {
        sent = try_one_byte(port, data);
        if (sent == 0)
            return 0;
    }
    DWORD rest = static_cast<DWORD>(length) - sent;
    bool stretched = room == room_unknown && stretch_to_line(port, int32_t(rest));
    DWORD n = 0;
    BOOL ok = rest == 0 || WriteFile(h, data + sent, rest, &n, NULL);
    if (stretched)
        SetCommTimeouts(h, &port->timeouts);
    *written = static_cast<int32_t>(sent + n);
    bool whole = ok && n == rest;
    port->stuck = !whole;
    return whole ? 1 : 0;
}

void serial_close(t_serial *port)
{
    if (!port)
        return;
    CloseHandle(port->handle);
    delete port;
}

// Pd's check for input is select(), which on Windows takes sockets only; a
// comm handle could only be watched by a thread of our own, waiting on it
// with overlapped I/O, that wakes Pd through a socket: boards here read on
// their clock instead.
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

int serial_same_device(t_serial *port, const char *name)
{
    char device[sizeof t_serial::device];
    device_name(name, device, sizeof device);
    return port && !strcmp(port->device, device);
}
