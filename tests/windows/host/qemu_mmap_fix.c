/* qemu-i386 (7.2) answers mmap(MAP_FIXED_NOREPLACE) on a busy range with
   another address instead of failing with EEXIST, and 32-bit wine then probes
   its address space for a minute at every start. Preloaded through $LIB into
   the 32-bit wine under qemu; the 64-bit build is empty, so that the 64-bit
   processes that inherit LD_PRELOAD load it quietly. Built with -nostdlib and
   no libc headers: the machine needs no 32-bit development files. */
#if defined(__i386__)
#include <stddef.h>

#define SYS_mmap2 192
#define SYS_munmap 91
#define FIXED_NOREPLACE 0x100000
#define EEXIST_ 17
#define EINVAL_ 22

long syscall(long number, ...);
int *__errno_location(void);

static void *map(void *addr, size_t len, int prot, int flags, int fd, unsigned long long off)
{
    /* Callers rely on an unaligned offset failing (wine then reads the file). */
    if (off & 4095) {
        *__errno_location() = EINVAL_;
        return (void *)-1;
    }
    long r = syscall(SYS_mmap2, addr, len, prot, flags, fd, (unsigned long)(off >> 12));
    if (r != -1 && (flags & FIXED_NOREPLACE) && (void *)r != addr) {
        syscall(SYS_munmap, (void *)r, len);
        *__errno_location() = EEXIST_;
        return (void *)-1;
    }
    return (void *)r;
}

void *mmap(void *addr, size_t len, int prot, int flags, int fd, long off)
{
    return map(addr, len, prot, flags, fd, (unsigned long long)(unsigned long)off);
}

void *mmap64(void *addr, size_t len, int prot, int flags, int fd, long long off)
{
    return map(addr, len, prot, flags, fd, (unsigned long long)off);
}
#endif
