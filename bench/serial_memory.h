// A serial backend with no port behind it: the one device, "memory", reads
// the bytes last fed to it and swallows writes. It leaves the module's own
// work alone in the figures that concern no port.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char *serial_memory_name = "memory";

// The bytes stay the caller's; the device reads them from the start.
void serial_memory_feed(const uint8_t *data, size_t size);
size_t serial_memory_left();
