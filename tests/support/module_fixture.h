// A freshly loaded module on the fake host, for each test.
#pragma once

#include "puredata/veltrix/Veltrix.h"
#include "fake_pd.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

class ModuleTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        fakepd::reset();
        fakepd::setup(Veltrix_setup);
        fakepd::take_console();
    }
    void TearDown() override { fakepd::reset(); }

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
};
