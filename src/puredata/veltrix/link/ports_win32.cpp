// Windows: the serial ports are the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
// which the drivers fill as ports come and go: the kernel device's name, and
// the COM name to open as its data. What is known of a USB device is found
// under Enum, by the port name its driver was given.
#include "ports.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD max_values = 4096;      // values looked at, whatever the key holds
constexpr DWORD max_value_name = 16384; // the registry's own limit, with the NUL
// Enum keeps every device the machine ever saw: a walk of it is cut short
// after this many device keys, a few ms of registry calls.
constexpr int max_device_keys = 1024;

// Copies at most size - 1 characters and always terminates.
void copy_cut(char *dst, size_t size, const char *src)
{
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// A string value, "" when absent or not a string.
void read_string(HKEY key, const char *name, char *out, DWORD size)
{
    DWORD type = 0, n = size - 1;
    if (RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE *>(out), &n) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        n = 0;
    out[n] = '\0';
}

// Device texts come as "@file.inf,%key%;Text" or as the text alone.
const char *text_of(const char *value)
{
    const char *semicolon = strrchr(value, ';');
    return semicolon ? semicolon + 1 : value;
}

// The 4 hex digits after `tag` in a device id such as VID_2341&PID_0043.
bool hex4_after(const char *id, const char *tag, char *out)
{
    const char *p = strstr(id, tag);
    if (!p || strspn(p + strlen(tag), "0123456789abcdefABCDEF") < 4)
        return false;
    memcpy(out, p + strlen(tag), 4);
    out[4] = '\0';
    return true;
}

void describe(t_portinfo *p, HKEY instance, const char *id, const char *serial)
{
    char vid[5], pid[5], text[256];
    if (hex4_after(id, "VID_", vid) && hex4_after(id, "PID_", pid))
        snprintf(p->usb_id, sizeof p->usb_id, "%s:%s", vid, pid);
    // Windows makes up instance names with '&' for devices with no serial number.
    if (serial && !strchr(serial, '&'))
        copy_cut(p->serial, sizeof p->serial, serial);
    read_string(instance, "Mfg", text, sizeof text);
    copy_cut(p->maker, sizeof p->maker, text_of(text));
    read_string(instance, "DeviceDesc", text, sizeof text);
    copy_cut(p->product, sizeof p->product, text_of(text));
}

// Walks Enum\<bus>\<id>\<instance>\Device Parameters for the listed ports'
// names, while `budget` device keys last.
void describe_bus(const char *bus, bool usb, t_portinfo *ports, int n, int *budget)
{
    char path[64];
    snprintf(path, sizeof path, "SYSTEM\\CurrentControlSet\\Enum\\%s", bus);
    HKEY top;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &top) != ERROR_SUCCESS)
        return;
    char id[256], inst[256], port[128];
    for (DWORD i = 0; *budget > 0; i++, --*budget) {
        DWORD id_size = sizeof id;
        LONG r = RegEnumKeyExA(top, i, id, &id_size, NULL, NULL, NULL, NULL);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        HKEY dev;
        if (r != ERROR_SUCCESS || RegOpenKeyExA(top, id, 0, KEY_READ, &dev) != ERROR_SUCCESS)
            continue;
        for (DWORD j = 0; *budget > 0; j++, --*budget) {
            DWORD inst_size = sizeof inst;
            r = RegEnumKeyExA(dev, j, inst, &inst_size, NULL, NULL, NULL, NULL);
            if (r == ERROR_NO_MORE_ITEMS)
                break;
            HKEY instance, params;
            if (r != ERROR_SUCCESS ||
                RegOpenKeyExA(dev, inst, 0, KEY_READ, &instance) != ERROR_SUCCESS)
                continue;
            port[0] = '\0';
            if (RegOpenKeyExA(instance, "Device Parameters", 0, KEY_READ, &params) ==
                ERROR_SUCCESS) {
                read_string(params, "PortName", port, sizeof port);
                RegCloseKey(params);
            }
            for (int k = 0; port[0] && k < n; k++) {
                if (!ports[k].usb_id[0] && !_stricmp(ports[k].name, port))
                    describe(&ports[k], instance, id, usb ? inst : nullptr);
            }
            RegCloseKey(instance);
        }
        RegCloseKey(dev);
    }
    RegCloseKey(top);
}

} // namespace

bool ports_know_usb()
{
    return true;
}

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
    int shown = n < max ? n : max;
    int budget = max_device_keys;
    describe_bus("USB", true, ports, shown, &budget);
    describe_bus("FTDIBUS", false, ports, shown, &budget);
    return n;
}
