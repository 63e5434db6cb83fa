// macOS: the USB identity of the call-out devices, from IOKit's registry.
// The few IOKit and CoreFoundation functions used are loaded at run time
// (dlopen), declared here by their C signatures, so that the build needs no
// SDK and the module links no framework. Tests give a made-up registry
// through the same table.
#pragma once

#include "ports.h"

#include <cstdint>

using t_cf = const void *; // CFTypeRef
using t_io = uint32_t;     // io_object_t, a Mach port name

struct t_iokit {
    t_cf (*IOServiceMatching)(const char *name);
    int (*IOServiceGetMatchingServices)(uint32_t main_port, t_cf matching, t_io *iterator);
    t_io (*IOIteratorNext)(t_io iterator);
    int (*IOObjectRelease)(t_io object);
    int (*IORegistryEntryGetParentEntry)(t_io entry, const char *plane, t_io *parent);
    t_cf (*IORegistryEntryCreateCFProperty)(t_io entry, t_cf key, t_cf allocator, uint32_t options);
    t_cf (*CFStringCreateWithCString)(t_cf allocator, const char *text, uint32_t encoding);
    void (*CFRelease)(t_cf object);
    unsigned long (*CFGetTypeID)(t_cf object);
    unsigned long (*CFStringGetTypeID)();
    unsigned long (*CFNumberGetTypeID)();
    unsigned char (*CFStringGetCString)(t_cf string, char *buffer, long size, uint32_t encoding);
    unsigned char (*CFNumberGetValue)(t_cf number, long type, void *value);
};

// Fills maker, product, serial and usb_id of the listed ports that are an
// IOSerialBSDClient's IOCalloutDevice below a USB device. False when the
// registry could not be read.
bool ports_add_usb(const t_iokit &io, t_portinfo *ports, int count);
