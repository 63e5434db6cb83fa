// The module on the fake host with fake serial devices.
#pragma once

#include "fake_serial.h"
#include "module_fixture.h"

class FakePortTest : public ModuleTest {
  protected:
    void SetUp() override
    {
        fakeserial::reset();
        ModuleTest::SetUp();
        fakepd::descriptors_ready(fakeserial::readable);
    }
    void TearDown() override
    {
        ModuleTest::TearDown();
        fakeserial::reset();
    }
    // A board on a new fake device, connected by its first tick.
    t_Veltrix *connected_board(const std::string &port)
    {
        fakeserial::add(port);
        t_Veltrix *b = make({"open", port.c_str()});
        fakepd::advance(0);
        fakepd::take_console();
        return b;
    }
};
