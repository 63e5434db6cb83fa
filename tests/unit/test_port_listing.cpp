// The Linux and macOS listers on made-up /sys and /dev trees.
#include "ports.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    auto resolve = [&](const char *name, std::string *others = nullptr) {
        t_usb_name id;
        EXPECT_TRUE(usb_name_parse(name, &id)) << name;
        t_portinfo ports[8];
        int n = std::min(ports_list_sysfs(root.c_str(), ports, 8), 8);
        char chosen[ports_name_size], rest[256];
        int matches = ports_match(id, ports, n, chosen, rest, sizeof rest);
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
}

TEST_F(Tree, MacListsTheCallOutDevices)
{
    file("/dev/cu.usbmodem1101");
    file("/dev/tty.usbmodem1101");
    file("/dev/cu.Bluetooth-Incoming-Port");
    watch_opens();
    t_portinfo ports[4];
    int n = ports_list_callout(root.c_str(), ports, 4);
    EXPECT_EQ(opened(), std::vector<std::string>{}) << "the listing opened a port";
    ASSERT_EQ(n, 2);
    std::string names[] = {ports[0].name, ports[1].name};
    std::sort(names, names + 2);
    EXPECT_EQ(names[0], "/dev/cu.Bluetooth-Incoming-Port");
    EXPECT_EQ(names[1], "/dev/cu.usbmodem1101");
}

} // namespace
