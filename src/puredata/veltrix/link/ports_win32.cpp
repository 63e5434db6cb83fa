// Windows: the serial ports are the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
// which the drivers fill as ports come and go: the kernel device's name, and
// the COM name to open as its data.
#include "ports.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>

namespace {

constexpr DWORD max_values = 4096;      // values looked at, whatever the key holds
constexpr DWORD max_value_name = 16384; // the registry's own limit, with the NUL

// Copies at most size - 1 characters and always terminates.
void copy_cut(char *dst, size_t size, const char *src)
{
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

} // namespace

int ports_list(t_portinfo *ports, int max)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return 0;
    int n = 0;
    char device[max_value_name];
    for (DWORD i = 0; i < max_values; i++) {
        char name[sizeof ports->name];
        DWORD device_size = sizeof device, name_size = sizeof name - 1, type = 0;
        LONG r = RegEnumValueA(key, i, device, &device_size, NULL, &type,
                               reinterpret_cast<BYTE *>(name), &name_size);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        // A COM name too long for [Veltrix open] is no use to show.
        if (r != ERROR_SUCCESS || type != REG_SZ)
            continue;
        name[name_size] = '\0';
        if (!name[0])
            continue;
        if (n < max) {
            memset(&ports[n], 0, sizeof ports[n]);
            memcpy(ports[n].name, name, sizeof name);
            copy_cut(ports[n].about, sizeof ports[n].about, device);
        }
        n++;
    }
    RegCloseKey(key);
    return n;
}
