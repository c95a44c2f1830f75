// The fixture every unit test runs in: a fresh fake platform, and at the end a check that the
// program let go of every process handle it took.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "fake_platform.h"
#include "supervisor/startup.h"

// Names each case of a table after its `name` field.
struct CaseName {
    template <class Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& testCase) const {
        return testCase.param.name;
    }
};

class FakePlatformTest : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }

    void TearDown() override {
        releaseAll();
        EXPECT_TRUE(fake::state().held.empty()) << "a process handle outlived its record";
    }

    static fake::Platform& os() { return fake::state(); }
};
