// The sound card under wine, on the sound server the test run started.
#include <gtest/gtest.h>

#include "kelmo.h"
#include "sound_card_test.h"

namespace kelmo::test {
namespace {

// wine's wave mapper has no mixer of its own: the check stops there.
TEST_F(SoundStack, CheckcardStopsAtTheMappersMixer) {
    char text[131] = "x";
    int status = -1;
    EXPECT_EQ(Checkcard(800, text, &status), 0);
    EXPECT_STREQ(text, ".InputXxxVolume: FAILURE: WaveIn Mapper in Mixer is not available. mmResult=5\n");
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace kelmo::test
