// A freshly loaded module on the fake host, for each test.
#pragma once

#include "Veltrix.h"
#include "fake_pd.h"
#include "fake_serial.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeserial::reset();
        fakepd::reset();
        fakepd::setup(Veltrix_setup);
        fakepd::take_console();
    }
    void TearDown() override
    {
        fakepd::reset();
        fakeserial::reset();
    }

    static t_Veltrix *make(const std::vector<fakepd::t_arg> &args)
    {
        return reinterpret_cast<t_Veltrix *>(fakepd::create(args));
    }
    static void destroy(t_Veltrix *x) { fakepd::destroy(&x->x_obj); }
    static std::string addr(const void *x)
    {
        char s[32];
        snprintf(s, sizeof s, "%p", x);
        return s;
    }
    static std::vector<std::string> lines() { return fakepd::take_console(); }
    // A board on a fake device that is connected once its first tick ran.
    t_Veltrix *connected_board(const std::string &port)
    {
        fakeserial::add(port);
        t_Veltrix *b = make({"open", port.c_str()});
        fakepd::advance(0);
        fakepd::take_console();
        return b;
    }
};
