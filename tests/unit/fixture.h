// Base fixture of the unit tests: a fresh fake platform and process state
// for every test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/share_block.h"
#include "kelmo.h"
#include "platform/fake/fake_platform.h"
#include "sources/sound/test_reset.h"
#include "sources/source.h"

namespace kelmo::test {

// A fake platform in use while it lives, with the process state fresh at
// its start. When it goes, what the process keeps between calls (views of
// shared memory, the sound card's capture and playback) is let go first,
// through this fake while it is still whole, so that none of it reaches
// the next one.
class FakeSession {
public:
    FakeSession() { reset_process_state_for_tests(); }
    ~FakeSession() {
        sound::reset_process_sound_for_tests();
        reset_process_state_for_tests();
    }
    FakeSession(const FakeSession&) = delete;
    FakeSession& operator=(const FakeSession&) = delete;

    platform::FakePlatform fake;
};

class FakeTest : public ::testing::Test, protected FakeSession {};

// kelmo_last_error as a string.
inline std::string last_error() {
    char b[1024] = {};
    kelmo_last_error(b, sizeof b);
    return b;
}

}  // namespace kelmo::test
