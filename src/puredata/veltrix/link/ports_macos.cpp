// macOS: the call-out devices /dev/cu.*, the ones to open for a board (the
// matching tty.* wait for a carrier), with the USB identity IOKit's registry
// gives each: the IOSerialBSDClient whose IOCalloutDevice is the port, and
// the USB device above it.
#include "ports_macos.h"

#include <cstdio>
#include <cstring>

#include <dirent.h>

namespace {

constexpr int max_entries = 4096; // /dev entries looked at, whatever /dev holds

// Call-out devices that are never a board: the Mac's own Bluetooth and debug
// ports.
bool system_port(const char *entry)
{
    static const char *const names[] = {"cu.Bluetooth-Incoming-Port", "cu.debug-console",
                                        "cu.wlan-debug", "cu.BLTH", "cu.Bluetooth-Modem"};
    for (const char *n : names) {
        if (!strcmp(entry, n))
            return true;
    }
    return false;
}

constexpr uint32_t utf8 = 0x08000100;       // kCFStringEncodingUTF8
constexpr long sint32 = 3;                  // kCFNumberSInt32Type
constexpr int parents_looked_at = 16;       // a registry is shallow; a loop must end
constexpr int clients_looked_at = 4 * 4096; // whatever the registry holds

enum t_key { callout, vendor, product, serial, maker, product_name, interface_number, keys };
const char *const key_names[keys] = {"IOCalloutDevice",   "idVendor",        "idProduct",
                                     "USB Serial Number", "USB Vendor Name", "USB Product Name",
                                     "bInterfaceNumber"};

struct t_lookup {
    const t_iokit &io;
    t_cf key[keys];
};

// The entry's own property `k` as text; false when it has none, or other.
bool text_of(const t_lookup &l, t_io entry, t_key k, char *out, size_t size)
{
    out[0] = '\0';
    t_cf value = l.io.IORegistryEntryCreateCFProperty(entry, l.key[k], nullptr, 0);
    if (!value)
        return false;
    bool ok = l.io.CFGetTypeID(value) == l.io.CFStringGetTypeID() &&
              l.io.CFStringGetCString(value, out, long(size), utf8);
    if (!ok)
        out[0] = '\0';
    l.io.CFRelease(value);
    return ok;
}

bool number_of(const t_lookup &l, t_io entry, t_key k, int32_t *out)
{
    t_cf value = l.io.IORegistryEntryCreateCFProperty(entry, l.key[k], nullptr, 0);
    if (!value)
        return false;
    bool ok = l.io.CFGetTypeID(value) == l.io.CFNumberGetTypeID() &&
              l.io.CFNumberGetValue(value, sint32, out);
    l.io.CFRelease(value);
    return ok;
}

// The USB device above a serial client: the first ancestor with a vendor id
// that is no interface (an interface repeats the ids, without the serial
// number). Its properties alone are read, so that a device without a serial
// number never shows its hub's.
void describe(const t_lookup &l, t_io client, t_portinfo *port)
{
    t_io entry = client;
    int32_t vid = 0, pid = 0, n = 0;
    for (int depth = 0; depth < parents_looked_at; depth++) {
        t_io parent = 0;
        bool up = l.io.IORegistryEntryGetParentEntry(entry, "IOService", &parent) == 0 && parent;
        if (entry != client)
            l.io.IOObjectRelease(entry);
        if (!up)
            return;
        entry = parent;
        if (number_of(l, entry, vendor, &vid) && !number_of(l, entry, interface_number, &n))
            break;
        vid = -1;
    }
    if (vid >= 0 && vid <= 0xFFFF && number_of(l, entry, product, &pid) && pid >= 0 &&
        pid <= 0xFFFF) {
        snprintf(port->usb_id, sizeof port->usb_id, "%04x:%04x", unsigned(vid), unsigned(pid));
        text_of(l, entry, serial, port->serial, sizeof port->serial);
        text_of(l, entry, maker, port->maker, sizeof port->maker);
        text_of(l, entry, product_name, port->product, sizeof port->product);
    }
    if (entry != client)
        l.io.IOObjectRelease(entry);
}

} // namespace

int ports_list_callout(const char *root, t_portinfo *ports, int max)
{
    char dev[1024];
    size_t len = strlen(root);
    while (len > 0 && root[len - 1] == '/')
        len--;
    int w = snprintf(dev, sizeof dev, "%.*s/dev", int(len), root);
    if (w <= 0 || size_t(w) >= sizeof dev)
        return 0;
    DIR *d = opendir(dev);
    if (!d)
        return 0;
    int n = 0;
    struct dirent *e;
    for (int seen = 0; seen < max_entries && (e = readdir(d)); seen++) {
        size_t len = strlen(e->d_name);
        if (strncmp(e->d_name, "cu.", 3) || len + 5 >= sizeof ports->name || system_port(e->d_name))
            continue;
        if (n < max) {
            memset(&ports[n], 0, sizeof ports[n]);
            memcpy(ports[n].name, "/dev/", 5);
            memcpy(ports[n].name + 5, e->d_name, len + 1);
        }
        n++;
    }
    closedir(d);
    return n;
}

bool ports_add_usb(const t_iokit &io, t_portinfo *ports, int count)
{
    t_lookup l{io, {}};
    bool ok = true;
    for (int k = 0; k < keys; k++)
        ok = (l.key[k] = io.CFStringCreateWithCString(nullptr, key_names[k], utf8)) && ok;
    t_io clients = 0;
    // The matching dictionary is consumed by the call, whatever it returns.
    t_cf matching = ok ? io.IOServiceMatching("IOSerialBSDClient") : nullptr;
    ok = matching && io.IOServiceGetMatchingServices(0, matching, &clients) == 0;
    t_io client = 0;
    for (int seen = 0; ok && seen < clients_looked_at && (client = io.IOIteratorNext(clients));
         seen++) {
        char path[sizeof ports->name];
        if (text_of(l, client, callout, path, sizeof path)) {
            for (int i = 0; i < count; i++) {
                if (!strcmp(ports[i].name, path))
                    describe(l, client, &ports[i]);
            }
        }
        io.IOObjectRelease(client);
    }
    if (clients)
        io.IOObjectRelease(clients);
    for (t_cf key : l.key) {
        if (key)
            io.CFRelease(key);
    }
    return ok;
}

// Elsewhere this file is built only for its tests.
#if defined(__APPLE__)
#include <algorithm>
#include <type_traits>

#include <dlfcn.h>

namespace {

// IOKit and CoreFoundation as the system has them, loaded once, on the first
// listing; null when a framework or a function is missing.
const t_iokit *system_iokit()
{
    static t_iokit io;
    static int state; // 0: not tried, 1: loaded, -1: missing
    if (state)
        return state > 0 ? &io : nullptr;
    state = -1;
    void *iokit = dlopen("/System/Library/Frameworks/IOKit.framework/IOKit", RTLD_LAZY);
    void *cf =
        dlopen("/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation", RTLD_LAZY);
    if (!iokit || !cf)
        return nullptr;
    bool ok = true;
    auto load = [&](void *lib, auto &fn, const char *name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, name));
        ok = ok && fn;
    };
#define VELTRIX_LOAD(lib, name) load(lib, io.name, #name)
    VELTRIX_LOAD(iokit, IOServiceMatching);
    VELTRIX_LOAD(iokit, IOServiceGetMatchingServices);
    VELTRIX_LOAD(iokit, IOIteratorNext);
    VELTRIX_LOAD(iokit, IOObjectRelease);
    VELTRIX_LOAD(iokit, IORegistryEntryGetParentEntry);
    VELTRIX_LOAD(iokit, IORegistryEntryCreateCFProperty);
    VELTRIX_LOAD(cf, CFStringCreateWithCString);
    VELTRIX_LOAD(cf, CFRelease);
    VELTRIX_LOAD(cf, CFGetTypeID);
    VELTRIX_LOAD(cf, CFStringGetTypeID);
    VELTRIX_LOAD(cf, CFNumberGetTypeID);
    VELTRIX_LOAD(cf, CFStringGetCString);
    VELTRIX_LOAD(cf, CFNumberGetValue);
#undef VELTRIX_LOAD
    if (ok)
        state = 1;
    return ok ? &io : nullptr;
}

} // namespace

bool ports_know_usb()
{
    return system_iokit() != nullptr;
}

int ports_list(t_portinfo *ports, int max)
{
    int n = ports_list_callout("/", ports, max);
    if (const t_iokit *io = system_iokit())
        ports_add_usb(*io, ports, std::min(n, max));
    return n;
}
#endif
