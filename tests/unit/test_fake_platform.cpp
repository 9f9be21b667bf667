// Installing platforms: fakes nest, each one handing the library back to
// the platform that was in use before it.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/fake/fake_platform.h"

namespace kelmo::test {
namespace {

using platform::FakePlatform;

// What the library's calls reach: a line of its notices.
void say(const char* line) { platform::notice(line); }

TEST(InstalledPlatform, NestedFakesRestoreTheOuterOne) {
    platform::Platform& system = platform::default_platform();
    EXPECT_EQ(&platform::current(), &system);
    {
        FakePlatform outer;
        EXPECT_EQ(&platform::current(), &outer);
        {
            FakePlatform inner;
            EXPECT_EQ(&platform::current(), &inner);
            say("inner\n");
            EXPECT_EQ(inner.consoleLines, std::vector<std::string>{"inner\n"});
        }
        EXPECT_EQ(&platform::current(), &outer);
        say("outer\n");
        EXPECT_EQ(outer.consoleLines, std::vector<std::string>{"outer\n"});
    }
    EXPECT_EQ(&platform::current(), &system);
}

// One that goes before those installed after it leaves them in use, and
// is not restored when they go.
TEST(InstalledPlatform, OneThatGoesOutOfTurnLeavesTheOthers) {
    std::optional<FakePlatform> first(std::in_place), second(std::in_place), third(std::in_place);
    FakePlatform* const firstAt = &*first;
    EXPECT_EQ(&platform::current(), &*third);
    second.reset();
    EXPECT_EQ(&platform::current(), &*third);
    third.reset();
    EXPECT_EQ(&platform::current(), firstAt);
    second.emplace();
    first.reset();
    EXPECT_EQ(&platform::current(), &*second);
    second.reset();
    EXPECT_EQ(&platform::current(), &platform::default_platform());
}

}  // namespace
}  // namespace kelmo::test
