// Base fixture of the unit tests: a fresh fake platform and process state
// for every test.
#pragma once

#include <gtest/gtest.h>

#include "core/share_block.h"
#include "kelmo.h"
#include "platform/fake/fake_platform.h"
#include "sources/source.h"

namespace kelmo::test {

class FakeTest : public ::testing::Test {
protected:
    FakeTest() { reset_process_state_for_tests(); }
    ~FakeTest() override { reset_process_state_for_tests(); }
    platform::FakePlatform fake;
};

}  // namespace kelmo::test
