// Linux: the serial ports are the ttys of /sys/class/tty that a device stands
// behind. Everything is read from sysfs and /dev's links; no port is opened.
#include "ports.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Bounds on the work one listing does, whatever the system holds.
constexpr int max_entries = 4096; // directory entries looked at
constexpr int max_byid = 64;      // /dev/serial/by-id links remembered
constexpr int max_up = 8;         // directories climbed from a tty's device

struct t_byid {
    char tty[64];
    char link[128];
};

// Copies at most size - 1 characters and always terminates.
void copy_cut(char *dst, size_t size, const char *src)
{
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// a, sep and b in out; false, and out unusable, when they do not fit.
bool concat(char *out, size_t size, const char *a, const char *sep, const char *b)
{
    size_t la = strlen(a), ls = strlen(sep), lb = strlen(b);
    if (la + ls + lb >= size)
        return false;
    memcpy(out, a, la);
    memcpy(out + la, sep, ls);
    memcpy(out + la + ls, b, lb + 1);
    return true;
}

bool join(char *out, size_t size, const char *dir, const char *name)
{
    return concat(out, size, dir, "/", name);
}

const char *base_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// A small sysfs attribute, without its trailing newline; "" when absent.
void read_attr(const char *dir, const char *name, char *out, size_t size)
{
    out[0] = '\0';
    char path[PATH_MAX];
    if (!join(path, sizeof path, dir, name))
        return;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    // sysfs hands an attribute over whole in one read.
    ssize_t got = read(fd, out, size - 1);
    close(fd);
    size_t n = got > 0 ? size_t(got) : 0;
    out[n] = '\0';
    while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == ' '))
        out[--n] = '\0';
}

bool exists(const char *dir, const char *name)
{
    // access, not stat: glibc 2.33's stat is a symbol older glibcs lack.
    char path[PATH_MAX];
    return join(path, sizeof path, dir, name) && access(path, F_OK) == 0;
}

// The name of the driver bound to a device directory, "" when none.
void driver_of(const char *dir, char *out, size_t size)
{
    out[0] = '\0';
    char path[PATH_MAX], target[PATH_MAX];
    if (!join(path, sizeof path, dir, "driver"))
        return;
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0)
        return;
    target[n] = '\0';
    copy_cut(out, size, base_name(target));
}

// Cuts the last component off a path in place; false at the top.
bool up(char *path, size_t floor)
{
    char *slash = strrchr(path, '/');
    if (!slash || size_t(slash - path) <= floor)
        return false;
    *slash = '\0';
    return true;
}

// Where the link dir/name leads, into `out` (PATH_MAX bytes). sysfs links are
// relative and the directories on their way real, so the link's text alone
// tells: one call, where realpath makes one for every component.
bool follow(const char *dir, const char *name, char *out)
{
    char path[PATH_MAX], target[PATH_MAX];
    if (!join(path, sizeof path, dir, name))
        return false;
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0)
        return false;
    target[n] = '\0';
    if (target[0] == '/')
        return realpath(path, out) != nullptr;
    copy_cut(out, PATH_MAX, dir);
    char *rest = nullptr;
    for (char *part = strtok_r(target, "/", &rest); part; part = strtok_r(nullptr, "/", &rest)) {
        size_t len = strlen(out), add = strlen(part);
        if (!strcmp(part, ".."))
            up(out, 0);
        else if (len + 1 + add >= PATH_MAX)
            return false;
        else if (strcmp(part, ".")) {
            out[len] = '/';
            memcpy(out + len + 1, part, add + 1);
        }
    }
    return true;
}

// What sysfs tells about the device behind a tty: the first driver that is
// not the serial core's own ("port", "ctrl" on newer kernels), and the USB
// device's attributes when it hangs off one.
void describe(const char *device, const char *sys, t_portinfo *p)
{
    char dir[PATH_MAX];
    copy_cut(dir, sizeof dir, device);
    size_t floor = strlen(sys);
    for (int i = 0; i < max_up; i++) {
        if (!p->about[0]) {
            char driver[sizeof p->about - 8];
            driver_of(dir, driver, sizeof driver);
            if (driver[0] && strcmp(driver, "port") && strcmp(driver, "ctrl"))
                concat(p->about, sizeof p->about, "driver", " ", driver);
        }
        if (exists(dir, "idVendor")) {
            char vendor[8], product[8];
            read_attr(dir, "idVendor", vendor, sizeof vendor);
            read_attr(dir, "idProduct", product, sizeof product);
            snprintf(p->usb_id, sizeof p->usb_id, "%.4s:%.4s", vendor, product);
            read_attr(dir, "manufacturer", p->maker, sizeof p->maker);
            read_attr(dir, "product", p->product, sizeof p->product);
            read_attr(dir, "serial", p->serial, sizeof p->serial);
            return;
        }
        if (!up(dir, floor))
            return;
    }
}

// The by-id links and the tty each points to.
int read_byid(const char *root, t_byid *links, int max)
{
    char dir[PATH_MAX];
    if (!join(dir, sizeof dir, root, "dev/serial/by-id"))
        return 0;
    DIR *d = opendir(dir);
    if (!d)
        return 0;
    int n = 0;
    struct dirent *e;
    for (int seen = 0; n < max && seen < max_entries && (e = readdir(d)); seen++) {
        char path[PATH_MAX], target[PATH_MAX];
        if (e->d_name[0] == '.' || !join(path, sizeof path, dir, e->d_name))
            continue;
        ssize_t len = readlink(path, target, sizeof target - 1);
        if (len <= 0)
            continue;
        target[len] = '\0';
        // A name too long for [Veltrix open] is no use to show.
        if (!concat(links[n].link, sizeof links[n].link, "/dev/serial/by-id", "/", e->d_name))
            continue;
        copy_cut(links[n].tty, sizeof links[n].tty, base_name(target));
        n++;
    }
    closedir(d);
    return n;
}

} // namespace

int ports_list_sysfs(const char *root, t_portinfo *ports, int max)
{
    // "/" and "" both mean the real root; paths are then "/sys/...".
    char top[PATH_MAX];
    copy_cut(top, sizeof top, root);
    size_t len = strlen(top);
    while (len > 0 && top[len - 1] == '/')
        top[--len] = '\0';

    t_byid byid[max_byid];
    int nbyid = read_byid(top, byid, max_byid);

    char sys[PATH_MAX], ttys[PATH_MAX], dev[PATH_MAX];
    if (!join(sys, sizeof sys, top, "sys") || !join(ttys, sizeof ttys, top, "sys/class/tty") ||
        !join(dev, sizeof dev, top, "dev"))
        return 0;
    DIR *d = opendir(ttys);
    if (!d)
        return 0;
    int n = 0;
    struct dirent *e;
    for (int seen = 0; seen < max_entries && (e = readdir(d)); seen++) {
        const char *tty = e->d_name;
        char dir[PATH_MAX], device[PATH_MAX];
        char name[sizeof ports->name];
        if (tty[0] == '.' || !concat(name, sizeof name, "/dev", "/", tty) ||
            !follow(ttys, tty, dir))
            continue;
        // Virtual terminals, ptmx and the like have no device behind them.
        if (strstr(dir, "/devices/virtual/") || !follow(dir, "device", device))
            continue;
        // A serial core port with no UART found: the legacy ttyS placeholders.
        char type[16];
        read_attr(dir, "type", type, sizeof type);
        if (!strcmp(type, "0"))
            continue;
        // Nothing to open without a node (a container that shows the host's sysfs).
        if (!exists(dev, tty))
            continue;
        if (n < max) {
            t_portinfo *p = &ports[n];
            memset(p, 0, sizeof *p);
            memcpy(p->name, name, sizeof name);
            for (int i = 0; i < nbyid; i++) {
                if (!strcmp(byid[i].tty, tty)) {
                    copy_cut(p->alias, sizeof p->alias, byid[i].link);
                    break;
                }
            }
            describe(device, sys, p);
        }
        n++;
    }
    closedir(d);
    return n;
}

bool ports_know_usb()
{
    return true;
}

int ports_list(t_portinfo *ports, int max)
{
    return ports_list_sysfs("/", ports, max);
}
