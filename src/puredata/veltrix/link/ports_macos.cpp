// macOS: the call-out devices /dev/cu.*, the ones to open for a board (the
// matching tty.* wait for a carrier). The system's own descriptions sit in
// IOKit; the device names already carry the USB product or serial number.
#include "ports.h"

#include <cstdio>
#include <cstring>

#include <dirent.h>

namespace {

constexpr int max_entries = 4096; // /dev entries looked at, whatever /dev holds

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
        if (strncmp(e->d_name, "cu.", 3) || len + 5 >= sizeof ports->name)
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

// Elsewhere this file is built only for its tests.
#if defined(__APPLE__)
// What a usb: name needs sits in IOKit's registry, which this lister does not read.
const bool ports_know_usb = false;

int ports_list(t_portinfo *ports, int max)
{
    return ports_list_callout("/", ports, max);
}
#endif
