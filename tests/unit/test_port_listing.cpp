// The Linux and macOS listers on made-up /sys and /dev trees.
#include "ports.h"
#include "ports_macos.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class Tree : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char dir[] = "/tmp/veltrix-ports-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        root = dir;
    }
    void TearDown() override
    {
        if (watch >= 0)
            close(watch);
        fs::remove_all(root);
    }

    void file(const std::string &path, const std::string &text = "")
    {
        fs::create_directories(fs::path(root + path).parent_path());
        std::ofstream(root + path) << text;
    }
    void link(const std::string &path, const std::string &target)
    {
        fs::create_directories(fs::path(root + path).parent_path());
        fs::create_symlink(target, root + path);
    }
    // A device node that blocks whoever opens it: the listing must not.
    void node(const std::string &name)
    {
        fs::create_directories(root + "/dev");
        ASSERT_EQ(mkfifo((root + "/dev/" + name).c_str(), 0600), 0);
    }
    // A tty as the kernel files it: its class link, its device link, and
    // the attributes given.
    void tty(const std::string &name, const std::string &parent, const std::string &device_link,
             const std::map<std::string, std::string> &attrs = {})
    {
        std::string dir = "/sys/devices/" + parent + "/tty/" + name;
        fs::create_directories(root + dir);
        link("/sys/class/tty/" + name, "../../devices/" + parent + "/tty/" + name);
        if (!device_link.empty())
            link(dir + "/device", device_link);
        for (auto &[k, v] : attrs)
            file(dir + "/" + k, v + "\n");
    }
    // The names of the files in the tree's /dev opened since the watch began,
    // in any way: a port opened without blocking still resets an Uno.
    void watch_opens()
    {
        watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(inotify_add_watch(watch, (root + "/dev").c_str(), IN_OPEN), 0);
    }
    std::vector<std::string> opened()
    {
        std::vector<std::string> names;
        alignas(inotify_event) char buf[4096];
        for (ssize_t n; (n = ::read(watch, buf, sizeof buf)) > 0;) {
            for (char *p = buf; p < buf + n;) {
                auto *e = reinterpret_cast<inotify_event *>(p);
                if (e->len && !(e->mask & IN_ISDIR))
                    names.emplace_back(e->name);
                p += sizeof *e + e->len;
            }
        }
        return names;
    }
    std::map<std::string, t_portinfo> sysfs(int *found = nullptr)
    {
        t_portinfo ports[8];
        int n = ports_list_sysfs(root.c_str(), ports, 8);
        if (found)
            *found = n;
        std::map<std::string, t_portinfo> byname;
        for (int i = 0; i < std::min(n, 8); i++)
            byname[ports[i].name] = ports[i];
        return byname;
    }

    std::string root;
    int watch = -1;
};

TEST_F(Tree, LinuxListsTheTtysWithADeviceAndANode)
{
    const std::string usb = "pci0000:00/0000:00:14.0/usb1";
    // An Arduino: cdc_acm on the interface, the strings on the USB device.
    file("/sys/devices/" + usb + "/1-1/idVendor", "2341\n");
    file("/sys/devices/" + usb + "/1-1/idProduct", "0043\n");
    file("/sys/devices/" + usb + "/1-1/manufacturer", "Arduino (www.arduino.cc)\n");
    file("/sys/devices/" + usb + "/1-1/product", "Arduino Uno\n");
    file("/sys/devices/" + usb + "/1-1/serial", "85736323838351F0C1A1\n");
    fs::create_directories(root + "/sys/bus/usb/drivers/cdc_acm");
    link("/sys/devices/" + usb + "/1-1/1-1:1.0/driver",
         "../../../../../../bus/usb/drivers/cdc_acm");
    tty("ttyACM0", usb + "/1-1/1-1:1.0", "../../../1-1:1.0");
    node("ttyACM0");
    link("/dev/serial/by-id/usb-Arduino__www.arduino.cc__0043_85736323838351F0C1A1-if00",
         "../../ttyACM0");
    // An adapter with no maker or product, whose by-id name is too long to
    // open by, and whose serial number is longer than a record holds.
    file("/sys/devices/" + usb + "/1-2/idVendor", "0403\n");
    file("/sys/devices/" + usb + "/1-2/idProduct", "6001\n");
    file("/sys/devices/" + usb + "/1-2/serial", std::string(70, 's') + "\n");
    tty("ttyUSB0", usb + "/1-2/1-2:1.0/ttyUSB0", "../../../ttyUSB0");
    node("ttyUSB0");
    link("/dev/serial/by-id/usb-" + std::string(120, 'x'), "../../ttyUSB0");
    // A UART found on the board, reached through the serial core's own
    // "port" device as newer kernels file it.
    fs::create_directories(root + "/sys/bus/serial-base/drivers/port");
    fs::create_directories(root + "/sys/bus/pnp/drivers/serial");
    link("/sys/devices/pnp0/00:01/driver", "../../../bus/pnp/drivers/serial");
    link("/sys/devices/pnp0/00:01/00:01:0/00:01:0.0/driver",
         "../../../../../bus/serial-base/drivers/port");
    tty("ttyS0", "pnp0/00:01/00:01:0/00:01:0.0", "../../../00:01:0.0", {{"type", "4"}});
    node("ttyS0");
    // Not listed: a placeholder with no UART, a virtual terminal, a port
    // whose node is missing.
    tty("ttyS1", "platform/serial8250", "../../../serial8250", {{"type", "0"}});
    node("ttyS1");
    tty("tty0", "virtual", "");
    node("tty0");
    tty("ttyAMA0", "platform/fe201000.serial", "../../../fe201000.serial", {{"type", "83"}});

    watch_opens();
    int found = 0;
    auto ports = sysfs(&found);
    EXPECT_EQ(opened(), std::vector<std::string>{}) << "the listing opened a port";
    EXPECT_EQ(found, 3);
    ASSERT_EQ(ports.size(), 3u);
    const t_portinfo &acm = ports["/dev/ttyACM0"];
    EXPECT_STREQ(acm.alias,
                 "/dev/serial/by-id/usb-Arduino__www.arduino.cc__0043_85736323838351F0C1A1-if00");
    EXPECT_STREQ(acm.maker, "Arduino (www.arduino.cc)");
    EXPECT_STREQ(acm.product, "Arduino Uno");
    EXPECT_STREQ(acm.serial, "85736323838351F0C1A1");
    EXPECT_STREQ(acm.usb_id, "2341:0043");
    EXPECT_STREQ(acm.about, "driver cdc_acm");
    const t_portinfo &ftdi = ports["/dev/ttyUSB0"];
    EXPECT_STREQ(ftdi.usb_id, "0403:6001");
    EXPECT_STREQ(ftdi.alias, "");
    EXPECT_STREQ(ftdi.maker, "");
    EXPECT_EQ(ftdi.serial, std::string(63, 's'));
    const t_portinfo &uart = ports["/dev/ttyS0"];
    EXPECT_STREQ(uart.about, "driver serial");
    EXPECT_STREQ(uart.usb_id, "");

    // A short array still gets the count; a trailing slash on the root is the same root.
    t_portinfo one[1];
    EXPECT_EQ(ports_list_sysfs((root + "/").c_str(), one, 1), 3);
}

// usb: names against what sysfs tells, as a board's attempts see it.
TEST_F(Tree, UsbNamesFindTheirBoardWhereverItIsAndTheFirstOfSeveral)
{
    auto uno = [&](const std::string &name, const std::string &usb, const std::string &serial) {
        std::string dev = "pci0000:00/usb1/" + usb;
        file("/sys/devices/" + dev + "/idVendor", "2341\n");
        file("/sys/devices/" + dev + "/idProduct", "0043\n");
        file("/sys/devices/" + dev + "/serial", serial + "\n");
        tty(name, dev + "/" + usb + ":1.0", "../../../" + usb + ":1.0");
        node(name);
    };
    auto resolve = [&](const char *name, std::string *others = nullptr, t_ports_taken taken = {}) {
        t_usb_name id;
        EXPECT_TRUE(usb_name_parse(name, &id)) << name;
        t_portinfo ports[8];
        int n = std::min(ports_list_sysfs(root.c_str(), ports, 8), 8);
        char chosen[ports_name_size], rest[256];
        int matches = ports_match(id, ports, n, chosen, rest, sizeof rest, taken);
        if (others)
            *others = rest;
        return std::to_string(matches) + " " + chosen;
    };
    uno("ttyACM0", "1-1", "85736323838351F0C1A1");
    EXPECT_EQ(resolve("usb:85736323838351F0C1A1"), "1 /dev/ttyACM0");
    EXPECT_EQ(resolve("usb:2341:0043:85736323838351f0c1a1"), "1 /dev/ttyACM0");
    EXPECT_EQ(resolve("usb:2341:0044"), "0 ");
    // Moved to another socket, and numbered after a second Uno that came up first.
    fs::remove_all(root + "/sys");
    fs::remove_all(root + "/dev");
    uno("ttyACM0", "1-3", "5543");
    uno("ttyACM10", "1-4", "0001");
    uno("ttyACM2", "1-2", "85736323838351F0C1A1");
    EXPECT_EQ(resolve("usb:85736323838351F0C1A1"), "1 /dev/ttyACM2");
    std::string others;
    EXPECT_EQ(resolve("usb:2341:0043", &others), "3 /dev/ttyACM0");
    EXPECT_EQ(others, "/dev/ttyACM2, /dev/ttyACM10");
    // The first two held by other boards: the third is taken, the others keep their order.
    auto held = [](const char *port, void *) { return strcmp(port, "/dev/ttyACM10") != 0; };
    EXPECT_EQ(resolve("usb:2341:0043", &others, {held, nullptr}), "3 /dev/ttyACM10");
    EXPECT_EQ(others, "/dev/ttyACM0, /dev/ttyACM2");
}

TEST_F(Tree, MacListsTheCallOutDevices)
{
    file("/dev/cu.usbmodem1101");
    file("/dev/tty.usbmodem1101");
    for (const char *own :
         {"Bluetooth-Incoming-Port", "debug-console", "wlan-debug", "BLTH", "Bluetooth-Modem"})
        file(std::string("/dev/cu.") + own);
    file("/dev/cu.HC-05");
    watch_opens();
    t_portinfo ports[8];
    int n = ports_list_callout(root.c_str(), ports, 8);
    EXPECT_EQ(opened(), std::vector<std::string>{}) << "the listing opened a port";
    ASSERT_EQ(n, 2) << "the Mac's own Bluetooth and debug ports are left out";
    std::string names[] = {ports[0].name, ports[1].name};
    std::sort(names, names + 2);
    EXPECT_EQ(names[0], "/dev/cu.HC-05");
    EXPECT_EQ(names[1], "/dev/cu.usbmodem1101");
}

// A made-up IOKit registry behind the lister's table: entries with a parent
// and properties, CF values as records, every reference counted.
namespace fakeio {

struct Value {
    bool text;
    std::string s;
    int32_t n;
};
struct Entry {
    t_io parent;
    std::map<std::string, Value> props;
};
std::map<t_io, Entry> registry;
std::vector<t_io> listed; // the iterator's entries, once handed out
int refs;                 // CF values and IOKit objects not yet released

t_cf value(Value v)
{
    refs++;
    return new Value(std::move(v));
}
const t_iokit table = {
    [](const char *name) {
        return value({true, name, 0});
    },
    [](uint32_t, t_cf matching, t_io *it) {
        delete static_cast<const Value *>(matching), refs--;
        listed.clear();
        for (auto &[id, e] : registry) {
            if (e.props.count("IOCalloutDevice"))
                listed.push_back(id);
        }
        refs++, *it = 1000;
        return 0;
    },
    [](t_io) -> t_io {
        if (listed.empty())
            return 0;
        t_io id = listed.front();
        listed.erase(listed.begin());
        return refs++, id;
    },
    [](t_io) { return refs--, 0; },
    [](t_io e, const char *plane, t_io *parent) {
        EXPECT_STREQ(plane, "IOService");
        *parent = registry[e].parent;
        return *parent ? (refs++, 0) : 1;
    },
    [](t_io e, t_cf key, t_cf, uint32_t) -> t_cf {
        auto &props = registry[e].props;
        auto p = props.find(static_cast<const Value *>(key)->s);
        return p == props.end() ? nullptr : value(p->second);
    },
    [](t_cf, const char *text, uint32_t) {
        return value({true, text, 0});
    },
    [](t_cf v) { delete static_cast<const Value *>(v), refs--; },
    [](t_cf v) { return static_cast<const Value *>(v)->text ? 1ul : 2ul; },
    [] { return 1ul; },
    [] { return 2ul; },
    [](t_cf v, char *out, long size, uint32_t) -> unsigned char {
        auto &s = static_cast<const Value *>(v)->s;
        return long(s.size()) < size && strcpy(out, s.c_str());
    },
    [](t_cf v, long type, void *out) -> unsigned char {
        EXPECT_EQ(type, 3); // 32-bit signed
        *static_cast<int32_t *>(out) = static_cast<const Value *>(v)->n;
        return 1;
    },
};

} // namespace fakeio

TEST(MacRegistry, GivesEachCallOutDeviceItsUsbDevice)
{
    using namespace fakeio;
    auto text = [](const char *s) { return Value{true, s, 0}; };
    auto number = [](int32_t n) { return Value{false, "", n}; };
    auto usb = [&](t_io id, t_io parent, int vid, int pid, const char *serial) {
        registry[id] = {parent, {{"idVendor", number(vid)}, {"idProduct", number(pid)}}};
        if (serial)
            registry[id].props["USB Serial Number"] = text(serial);
    };
    // Serial client, driver, interface (repeating the ids), device, on a hub with a serial.
    auto board = [&](t_io id, const char *callout, int vid, int pid, const char *serial) {
        registry[id] = {id + 1, {{"IOCalloutDevice", text(callout)}}};
        registry[id + 1] = {id + 2, {}};
        usb(id + 2, id + 3, vid, pid, nullptr);
        registry[id + 2].props["bInterfaceNumber"] = number(0);
        usb(id + 3, 1, vid, pid, serial);
    };
    usb(1, 0, 0x05e3, 0x0610, "HUB0001");
    board(10, "/dev/cu.usbserial-A50285BI", 0x0403, 0x6001, "A50285BI");
    registry[13].props["USB Vendor Name"] = text("FTDI");
    registry[13].props["USB Product Name"] = text("FT232R USB UART");
    board(20, "/dev/cu.usbmodem1101", 0x2341, 0x0043, "85736323838351F0C1A1");
    board(30, "/dev/cu.usbmodem1201", 0x2341, 0x0043, nullptr); // no serial: not the hub's
    board(40, "/dev/cu.usbmodem14301", 0x2e8a, 0x000a, "E660583883265C2F");
    registry[50] = {51, {{"IOCalloutDevice", text("/dev/cu.HC-05")}}};
    registry[51] = {0, {{"BTAddress", text("98:d3:31:fb:2e:1a")}}};

    const char *names[] = {"/dev/cu.HC-05", "/dev/cu.usbmodem1201", "/dev/cu.usbmodem14301",
                           "/dev/cu.usbserial-A50285BI", "/dev/cu.usbmodem1101"};
    t_portinfo ports[5] = {};
    for (int i = 0; i < 5; i++)
        strcpy(ports[i].name, names[i]);
    ASSERT_TRUE(ports_add_usb(table, ports, 5));
    EXPECT_EQ(refs, 0) << "a reference was not released";
    auto shown = [&](int i) {
        const t_portinfo &p = ports[i];
        return std::string(p.usb_id) + " " + p.serial + " " + p.maker + " " + p.product;
    };
    EXPECT_EQ(shown(0), "   ");
    EXPECT_EQ(shown(1), "2341:0043   ");
    EXPECT_EQ(shown(2), "2e8a:000a E660583883265C2F  ");
    EXPECT_EQ(shown(3), "0403:6001 A50285BI FTDI FT232R USB UART");
    EXPECT_EQ(shown(4), "2341:0043 85736323838351F0C1A1  ");

    char chosen[ports_name_size], others[128];
    t_usb_name id;
    ASSERT_TRUE(usb_name_parse("usb:2341:0043", &id));
    EXPECT_EQ(ports_match(id, ports, 5, chosen, others, sizeof others), 2);
    EXPECT_STREQ(chosen, "/dev/cu.usbmodem1101");
    ASSERT_TRUE(usb_name_parse("usb:a50285bi", &id));
    EXPECT_EQ(ports_match(id, ports, 5, chosen, nullptr, 0), 1);
    EXPECT_STREQ(chosen, "/dev/cu.usbserial-A50285BI");
}

} // namespace
