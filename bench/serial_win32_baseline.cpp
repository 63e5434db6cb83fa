// The reference the Windows benchmarks compare against: the module's Win32
// backend with its read replaced by the plain design, one ReadFile per byte
// within the port's read timeouts (about 2 ms when nothing is waiting),
// whatever the reader asks. Benchmarks only.
#define serial_read serial_read_bulk
#include "serial_win32.cpp"
#undef serial_read

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
