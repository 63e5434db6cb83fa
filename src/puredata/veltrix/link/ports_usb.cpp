// usb: names: a board by its USB identity, matched against the port list.
// Nothing here touches a port or Pd.
#include "ports.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Exactly four hex digits, as `ports` shows a USB id.
bool hex4(const char *s, size_t len, uint16_t *out)
{
    if (len != 4 || strspn(s, "0123456789abcdefABCDEF") < 4)
        return false;
    char digits[5] = {s[0], s[1], s[2], s[3], '\0'};
    *out = static_cast<uint16_t>(strtoul(digits, nullptr, 16));
    return true;
}

// Serial numbers are compared without case: Windows may keep them in capitals.
bool same_text_any_case(const char *a, const char *b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    for (; *a && *b; a++, b++) {
        if (lower(*a) != lower(*b))
            return false;
    }
    return *a == *b;
}

} // namespace

// Name order, with numbers by value, so that COM10 comes after COM9.
bool ports_name_before(const char *a, const char *b)
{
    while (*a && *b) {
        bool digits = *a >= '0' && *a <= '9' && *b >= '0' && *b <= '9';
        if (!digits) {
            if (*a != *b)
                return *a < *b;
            a++, b++;
            continue;
        }
        while (*a == '0')
            a++;
        while (*b == '0')
            b++;
        size_t la = strspn(a, "0123456789"), lb = strspn(b, "0123456789");
        if (la != lb)
            return la < lb;
        int c = strncmp(a, b, la);
        if (c)
            return c < 0;
        a += la, b += lb;
    }
    return *b != '\0';
}

bool usb_name_parse(const char *name, t_usb_name *id)
{
    *id = t_usb_name{};
    if (strncmp(name, "usb:", 4) != 0)
        return false;
    const char *rest = name + 4;
    const char *colon = strchr(rest, ':');
    const char *serial = rest;
    if (colon) {
        const char *second = strchr(colon + 1, ':');
        size_t pid_length = second ? size_t(second - colon - 1) : strlen(colon + 1);
        if (!hex4(rest, size_t(colon - rest), &id->vid) || !hex4(colon + 1, pid_length, &id->pid))
            return false;
        id->has_ids = true;
        serial = second ? second + 1 : "";
        if (second && !*serial)
            return false;
    }
    if (strchr(serial, ':') || strlen(serial) >= sizeof id->serial || (!colon && !*serial))
        return false;
    strcpy(id->serial, serial);
    return true;
}

bool usb_name_matches(const t_usb_name &id, const t_portinfo &port)
{
    if (id.has_ids) {
        const char *colon = strchr(port.usb_id, ':');
        uint16_t vid = 0, pid = 0;
        if (!colon || !hex4(port.usb_id, size_t(colon - port.usb_id), &vid) ||
            !hex4(colon + 1, strlen(colon + 1), &pid) || vid != id.vid || pid != id.pid)
            return false;
    }
    return !id.serial[0] || same_text_any_case(id.serial, port.serial);
}

int ports_match(const t_usb_name &id, const t_portinfo *ports, int count, char *chosen,
                char *others, size_t size, t_ports_taken taken)
{
    chosen[0] = '\0';
    if (others && size)
        others[0] = '\0';
    const t_portinfo *matches[ports_max];
    int n = 0;
    for (int i = 0; i < count && n < ports_max; i++) {
        if (usb_name_matches(id, ports[i]))
            matches[n++] = &ports[i];
    }
    std::sort(matches, matches + n, [](const t_portinfo *a, const t_portinfo *b) {
        return ports_name_before(a->name, b->name);
    });
    // The first free one comes first; the rest keep their order.
    auto free = std::find_if(matches, matches + n, [&](const t_portinfo *p) {
        return !taken.taken || !taken.taken(p->name, taken.context);
    });
    if (free != matches + n)
        std::rotate(matches, free, free + 1);
    if (n > 0)
        strcpy(chosen, matches[0]->name);
    for (int i = 1; others && i < n; i++) {
        size_t used = strlen(others), more = strlen(matches[i]->name) + 2;
        if (used + more >= size)
            break;
        snprintf(others + used, size - used, "%s%s", i > 1 ? ", " : "", matches[i]->name);
    }
    return n;
}

int ports_resolve(const t_usb_name &id, char *chosen, char *others, size_t size,
                  t_ports_taken taken)
{
    auto *ports = static_cast<t_portinfo *>(calloc(ports_max, sizeof(t_portinfo)));
    if (!ports) {
        chosen[0] = '\0';
        return 0;
    }
    int listed = std::min(ports_list(ports, ports_max), ports_max);
    int n = ports_match(id, ports, listed, chosen, others, size, taken);
    free(ports);
    return n;
}
