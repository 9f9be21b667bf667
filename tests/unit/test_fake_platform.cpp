// The fake platform as the unit tests use it: fakes nest, each handing the
// library back to the platform in use before it, and what one test's fake
// leaves open does not reach the next test.
#include <optional>
#include <string>
#include <vector>

#include "fixture.h"

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
        EXPECT_EQ(&platform::current(), &outer.platform());
        {
            FakePlatform inner;
            EXPECT_EQ(&platform::current(), &inner.platform());
            say("inner\n");
            EXPECT_EQ(inner.consoleLines, std::vector<std::string>{"inner\n"});
        }
        EXPECT_EQ(&platform::current(), &outer.platform());
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
    EXPECT_EQ(&platform::current(), &third->platform());
    second.reset();
    EXPECT_EQ(&platform::current(), &third->platform());
    third.reset();
    EXPECT_EQ(&platform::current(), &firstAt->platform());
    second.emplace();
    first.reset();
    EXPECT_EQ(&platform::current(), &second->platform());
    second.reset();
    EXPECT_EQ(&platform::current(), &platform::default_platform());
}

// The sound card marked present in the fake's "USB_samp".
platform::SharedMemoryPtr sound_card_present(platform::FakePlatform& fake) {
    auto block = fake.shm_create_or_open("USB_samp", 1024, nullptr);
    block->set_word(0, 1);
    return block;
}

// The capture and the playback are the process's, not a test's: what one
// test leaves open is closed through its own fake as the test ends, and the
// next test's calls find nothing of it (they would otherwise reach devices
// and pages of a fake that is gone).
TEST(SoundAcrossTests, ACaptureLeftOpenDoesNotReachTheNextFake) {
    uint32_t handle = 0;
    std::vector<double> block(2 * 1024);
    {
        FakeSession first;
        const auto present = sound_card_present(first.fake);
        ASSERT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, 2, 1024), 1);
        ASSERT_EQ(get_dbl_data(&handle, 800, 1024, 2, block.data(), 1024, 0, nullptr), 1);
        ASSERT_EQ(OpenSpeaker(44100, 2, 1000, 5000.0), 1);
        ASSERT_TRUE(first.fake.sound.open);
        ASSERT_TRUE(first.fake.speaker.open);
    }
    FakeSession next;
    const auto present = sound_card_present(next.fake);
    EXPECT_EQ(get_dbl_data(&handle, 800, 1024, 2, block.data(), 1024, 0, nullptr), 0);
    const std::vector<double> tone(600, 0.0);
    EXPECT_EQ(TransSpeakerData(600, 0, 600, tone.data(), tone.data()), 0);
    EXPECT_TRUE(next.fake.sound.calls.empty());
    EXPECT_TRUE(next.fake.speaker.calls.empty());
    // A capture of its own starts with nothing to close first.
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, 2, 1024), 1);
    EXPECT_EQ(next.fake.sound.calls,
              (std::vector<std::string>{"query", "open", "prepare0", "add0", "start", "prepare1", "add1"}));
    EXPECT_EQ(get_dbl_data(&handle, 800, 1024, 2, block.data(), 1024, 0, nullptr), 1);
    recover(&handle, 800);
    EXPECT_TRUE(next.fake.messages.empty());
    EXPECT_FALSE(next.fake.sound.open);
    EXPECT_TRUE(next.fake.livePages.empty());
}

// The reset closes quietly what the process holds, a capture whose closing
// failed (kept with its buffer, which it might still record into) too.
TEST(SoundAcrossTests, TheResetClosesWhatTheProcessHolds) {
    FakeSession session;
    auto& fake = session.fake;
    const auto present = sound_card_present(fake);
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, 1, 1024), 1);
    fake.sound.fail["close"] = 5;
    recover(&handle, 800);
    ASSERT_TRUE(fake.sound.open);
    ASSERT_FALSE(fake.livePages.empty());
    fake.sound.fail.clear();
    ASSERT_EQ(OpenSpeaker(44100, 1, 1000, 5000.0), 1);
    fake.messages.clear();
    sound::reset_process_sound_for_tests();
    EXPECT_FALSE(fake.sound.open);
    EXPECT_FALSE(fake.speaker.open);
    EXPECT_TRUE(fake.livePages.empty());
    EXPECT_TRUE(fake.messages.empty());
}

}  // namespace
}  // namespace kelmo::test
