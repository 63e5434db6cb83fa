// The POSIX backend's way to rates that have no B constant.
#pragma once

#include <cstdint>

// Sets `rate` on the open terminal `fd` whose other settings are already in
// place; nonzero on success.
int serial_set_custom_rate(int fd, int32_t rate);
