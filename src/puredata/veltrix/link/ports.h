// The serial ports present on this system, as the system describes them, one
// lister per platform. Listing only looks: no port is opened, read or written.
#pragma once

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
