// The ports message: a console line for each serial port the system has, to
// help find the one a board is on.
#include "Veltrix.h"
#include "ports.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Length of the UTF-8 sequence starting at s, 0 when it is broken.
size_t utf8_length(const unsigned char *s)
{
    size_t n = s[0] >= 0xF5 ? 0 : s[0] >= 0xF0 ? 4 : s[0] >= 0xE0 ? 3 : s[0] >= 0xC2 ? 2 : 0;
    for (size_t i = 1; i < n; i++) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
    }
    return n;
}

// Copies text that came from the system or a device, fit for one console
// line: control characters and broken UTF-8 become '?', outer spaces go.
void clean(char *dst, size_t size, const char *src)
{
    auto *s = reinterpret_cast<const unsigned char *>(src);
    while (*s == ' ')
        s++;
    size_t n = 0;
    while (*s) {
        size_t len = *s < 0x80 ? 1 : utf8_length(s);
        if (n + (len ? len : 1) >= size)
            break;
        if (len > 1) {
            memcpy(dst + n, s, len);
        } else {
            // Control characters would break the line; broken UTF-8 the GUI.
            dst[n] = *s >= 0x20 && *s != 0x7F && len ? char(*s) : '?';
            len = 1;
        }
        n += len;
        s += len;
    }
    while (n > 0 && dst[n - 1] == ' ')
        n--;
    dst[n] = '\0';
}

void append(char *line, size_t size, const char *separator, const char *text)
{
    // A field is shown whole or not at all: no cut inside a UTF-8 sequence.
    if (strlen(line) + strlen(separator) + strlen(text) >= size)
        return;
    strcat(line, separator);
    strcat(line, text);
}

// The usb: name to save in a patch for a USB port: its serial number where
// it has one that a patch can hold as one word, else its vendor and product.
bool usb_name_of(const t_portinfo &p, char *out, size_t size)
{
    if (!p.usb_id[0])
        return false;
    size_t n = strlen(p.serial);
    bool word = n > 0 && n < sizeof t_usb_name::serial &&
                strspn(p.serial, "0123456789abcdefghijklmnopqrstuvwxyz"
                                 "ABCDEFGHIJKLMNOPQRSTUVWXYZ._-") == n;
    snprintf(out, size, "usb:%s", word ? p.serial : p.usb_id);
    t_usb_name id;
    return usb_name_parse(out, &id) && usb_name_matches(id, p);
}

void post_port(const t_portinfo &p)
{
    char text[sizeof p.maker + sizeof p.alias];
    char line[1 + sizeof(t_portinfo) + 64] = "";
    clean(text, sizeof text, p.name);
    append(line, sizeof line, "", text);
    const char *separator = ": ";
    auto field = [&](const char *label, const char *value) {
        char cleaned[sizeof text - sizeof "serial "];
        clean(cleaned, sizeof cleaned, value);
        if (!cleaned[0])
            return;
        strcpy(text, label);
        strcat(text, cleaned);
        append(line, sizeof line, separator, text);
        separator = ", ";
    };
    field("", p.maker);
    field("", p.product);
    field("serial ", p.serial);
    field("USB ", p.usb_id);
    field("", p.about);
    field("also ", p.alias);
    char usb[sizeof "usb:" + sizeof p.serial];
    if (usb_name_of(p, usb, sizeof usb))
        field("open as ", usb);
    post("Veltrix_ports %s", line);
}

} // namespace

void Veltrix_ports(t_Veltrix *x)
{
    auto *ports = static_cast<t_portinfo *>(calloc(ports_max, sizeof(t_portinfo)));
    if (!ports) {
        pd_error(x, "Veltrix_ports out of memory");
        return;
    }
    int found = ports_list(ports, ports_max);
    int shown = std::min(found, ports_max);
    if (found <= 0)
        post("Veltrix_ports no serial ports found");
    std::sort(ports, ports + std::max(shown, 0), [](const t_portinfo &a, const t_portinfo &b) {
        return ports_name_before(a.name, b.name);
    });
    for (int i = 0; i < shown; i++)
        post_port(ports[i]);
    if (found > shown)
        post("Veltrix_ports and %d more", found - shown);
#if !defined(_WIN32)
    // The simulator's port is a link a user names, anywhere: nothing to list.
    post("Veltrix_ports (pseudo-terminals are not listed, nor links to them such as "
         "veltrix-board's --link; open those by their name)");
#endif
    free(ports);
}
