// The serial ports present on this system, as the system describes them, one
// lister per platform. Listing only looks: no port is opened, read or written.
#pragma once

#include <cstddef>
#include <cstdint>

// One port. Empty fields are unknown. Everything but `name` comes from the
// system or from the device itself, so it is shown only once cleaned.
struct t_portinfo {
    char name[128];   // what [Veltrix open] takes
    char alias[128];  // another name for it that survives replugging, if any
    char maker[64];   // USB manufacturer
    char product[64]; // USB product
    char serial[64];  // USB serial number
    char usb_id[16];  // USB vendor:product, as hex
    char about[64];   // what else the system says, in words to show
};

constexpr int ports_max = 64;

// Fills at most `max` records with the ports of this system and returns how
// many there are, which may be more than `max`.
int ports_list(t_portinfo *ports, int max);

// The listers behind it, with the file system root a parameter so that tests
// can hand them a made-up tree.
// Linux: the ttys under ROOT/sys/class/tty that have a device and a node in
// ROOT/dev, with their ROOT/dev/serial/by-id links and USB attributes.
int ports_list_sysfs(const char *root, t_portinfo *ports, int max);
// macOS: the call-out devices ROOT/dev/cu.*.
int ports_list_callout(const char *root, t_portinfo *ports, int max);

// Whether this platform's lister knows the USB identity of its ports; where
// it does not (macOS when IOKit could not be loaded), no usb: name can be
// resolved.
bool ports_know_usb();

// A board by what it is: usb:<serial>, usb:<vid>:<pid> or
// usb:<vid>:<pid>:<serial>, vendor and product in hex as `ports` shows them.
struct t_usb_name {
    bool has_ids;
    uint16_t vid;
    uint16_t pid;
    char serial[64]; // "" for any
};

// False, and *id unusable, when `name` is no well-formed usb: name: it is
// then a port name like any other.
bool usb_name_parse(const char *name, t_usb_name *id);
bool usb_name_matches(const t_usb_name &id, const t_portinfo &port);
// The ports that match `id`, taken in the order `ports` shows them: the name
// of the first one that `taken` (when given) does not refuse, or else of the
// first, into `chosen` (ports_name_size bytes), and how many match. With
// `others`, the names of the rest, comma-separated, cut to `size`.
constexpr int ports_name_size = sizeof(t_portinfo::name);
struct t_ports_taken {
    bool (*taken)(const char *name, void *context);
    void *context;
};
int ports_resolve(const t_usb_name &id, char *chosen, char *others, size_t size,
                  t_ports_taken taken = {});
// The same on a list already made.
int ports_match(const t_usb_name &id, const t_portinfo *ports, int count, char *chosen,
                char *others, size_t size, t_ports_taken taken = {});
// The order `ports` shows: by name, with numbers by value (COM9 before COM10).
bool ports_name_before(const char *a, const char *b);
