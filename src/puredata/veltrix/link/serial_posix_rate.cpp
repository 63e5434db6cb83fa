// Rates without a B constant. Kept apart: Linux's termios2 header clashes
// with <termios.h>.
#include "serial_posix.h"

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>

int serial_set_custom_rate(int fd, int32_t rate)
{
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return 0;
    tio.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = static_cast<speed_t>(rate);
    tio.c_ospeed = static_cast<speed_t>(rate);
    return ioctl(fd, TCSETS2, &tio) == 0;
}

#elif defined(__APPLE__)
#include <sys/ioctl.h>
#include <termios.h>
#if __has_include(<IOKit/serial/ioss.h>)
#include <IOKit/serial/ioss.h>
#endif
// Built without the SDK the header is missing; the request is the kernel's,
// fixed since Mac OS X 10.4.
#ifndef IOSSIOSPEED
#define IOSSIOSPEED _IOW('T', 2, speed_t)
#endif

int serial_set_custom_rate(int fd, int32_t rate)
{
    speed_t speed = static_cast<speed_t>(rate);
    return ioctl(fd, IOSSIOSPEED, &speed) == 0;
}

#else

int serial_set_custom_rate(int, int32_t)
{
    return 0;
}

#endif
