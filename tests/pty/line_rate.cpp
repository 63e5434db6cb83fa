// Kept apart: Linux's termios2 header clashes with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

// The output rate in bits per second a terminal is set to, or -1.
int64_t line_rate(int fd)
{
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return -1;
    return tio.c_ospeed;
}
