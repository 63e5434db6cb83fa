// The ports message on the fake host: what the fake backend lists, as lines.
#include "fake_port_fixture.h"
#include "ports.h"

using Lines = std::vector<std::string>;

class Ports : public FakePortTest {};

TEST_F(Ports, EveryKindOfObjectListsThePortsInNameOrder)
{
    auto &uno = fakeserial::add("/dev/ttyACM0");
    uno.maker = "Arduino (www.arduino.cc)";
    uno.product = "Arduino Uno";
    uno.serial = "8573";
    uno.alias = "/dev/serial/by-id/usb-Arduino_Uno_8573-if00";
    fakeserial::add("COM10");
    fakeserial::add("COM9").product = " Pico\tW\x7f \xC3\xA9t\xC3 ";
    t_Veltrix *board = make({"open", "COM9"});
    fakepd::advance(0); // holding a port open does not hide it
    t_Veltrix *objects[] = {board, make({"send", "led"}), make({"receive", "knob"}),
                            make({"bogus"})};
    lines();
    for (t_Veltrix *x : objects) {
        ASSERT_TRUE(fakepd::send_message(&x->x_obj, "ports"));
        EXPECT_EQ(lines(),
                  (Lines{"Veltrix_ports /dev/ttyACM0: Arduino (www.arduino.cc), Arduino "
                         "Uno, serial 8573, also /dev/serial/by-id/usb-Arduino_Uno_8573-if00",
                         "Veltrix_ports COM9: Pico?W? \xC3\xA9t?", "Veltrix_ports COM10"}));
    }
    EXPECT_EQ(fakeserial::get("COM10").opens, 0);
}

TEST_F(Ports, NoPortsIsOneLine)
{
    t_Veltrix *x = make({"receive", "knob"});
    lines();
    fakepd::send_message(&x->x_obj, "ports");
    EXPECT_EQ(lines(), Lines{"Veltrix_ports no serial ports found"});
}

TEST_F(Ports, MoreThanCanBeShownEndsWithACount)
{
    for (int i = 0; i < ports_max + 3; i++)
        fakeserial::add("COM" + std::to_string(100 + i));
    t_Veltrix *x = make({"send", "led"});
    lines();
    fakepd::send_message(&x->x_obj, "ports");
    Lines got = lines();
    ASSERT_EQ(got.size(), size_t(ports_max + 1));
    EXPECT_EQ(got.front(), "Veltrix_ports COM100");
    EXPECT_EQ(got.back(), "Veltrix_ports and 3 more");
    make({"open", "usb:2341:0043"}); // looks at no more ports than were listed
    fakepd::advance(0);
}

TEST_F(Ports, AUsbPortShowsTheUsbNameToOpenItBy)
{
    auto &uno = fakeserial::add("/dev/ttyACM0");
    uno.usb_id = "2341:0043";
    uno.serial = "8573";
    auto &adapter = fakeserial::add("/dev/ttyUSB0"); // a serial number no patch can hold
    adapter.usb_id = "0403:6001";
    adapter.serial = "A 1";
    t_Veltrix *x = make({"send", "led"});
    lines();
    fakepd::send_message(&x->x_obj, "ports");
    EXPECT_EQ(
        lines(),
        (Lines{"Veltrix_ports /dev/ttyACM0: serial 8573, USB 2341:0043, open as usb:8573",
               "Veltrix_ports /dev/ttyUSB0: serial A 1, USB 0403:6001, open as usb:0403:6001"}));
}
