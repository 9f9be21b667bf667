// PreSamp and GetFre.
#include <cmath>

#include "sources/sim/state.h"
#include "fixture.h"

namespace kelmo::test {
namespace {

class PreSampling : public FakeTest {
protected:
    // Another holder of "USB_samp", as a host that ran Checkcard has.
    platform::SharedMemoryPtr holdBlock(const char* name = "USB_samp") {
        return fake.shm_create_or_open(name, 1024, nullptr);
    }
};

TEST_F(PreSampling, SimulatedDividers) {
    uint32_t code = 0;
    double actual = 0;
    EXPECT_EQ(PreSamp(123, 1e6, &code, &actual), 1);
    EXPECT_EQ(code, 40960000u);
    EXPECT_EQ(actual, 1e6);
    EXPECT_EQ(sim::process_state().clockScale, 1.0);

    EXPECT_EQ(PreSamp(123, 30000, &code, &actual), 1);
    EXPECT_EQ(code, 1365333333u);
    EXPECT_GT(actual, 30000.0);
    EXPECT_LT(actual, 30000.001);

    EXPECT_EQ(PreSamp(124, 1000, &code, &actual), 1);
    EXPECT_EQ(code, 2048000000u);
    EXPECT_EQ(actual, 1000.0);
    EXPECT_EQ(sim::process_state().clockScale, 20.0);

    // 0 Hz (and a NaN request) count as the lowest rate, 0.001 Hz.
    EXPECT_EQ(PreSamp(-123, 0.0, &code, &actual), 1);
    EXPECT_EQ(sim::process_state().clockScale, 20000000.0);
    EXPECT_EQ(PreSamp(123, std::nan(""), &code, &actual), 1);
    EXPECT_EQ(sim::process_state().clockScale, 20000000.0);
    // Above the clock: one tick per sample.
    EXPECT_EQ(PreSamp(123, 1e20, &code, &actual), 1);
    EXPECT_EQ(code, 1u);
}

TEST_F(PreSampling, SoundCardWithoutCapabilitiesUsesTheRequest) {
    fake.sound.capsResult = 2;  // no capture device to ask
    uint32_t code = 0;
    double actual = 0;
    struct Case {
        double f;
        uint32_t code;
        double actual;
    } cases[] = {{44100, 8, 44100}, {10000, 40, 8000}, {12000, 32, 11025}, {22050, 16, 22050}, {0, 40, 8000},
                 {-5, 40, 8000}};
    for (const auto& c : cases) {
        EXPECT_EQ(PreSamp(800, c.f, &code, &actual), 1) << c.f;
        EXPECT_EQ(code, c.code) << c.f;
        EXPECT_EQ(actual, c.actual) << c.f;
    }
    ASSERT_EQ(fake.messages.size(), std::size(cases));
    EXPECT_EQ(fake.messages[0], "waveInGetDevCaps error!");
}

TEST_F(PreSampling, ResetsModeOfTheUnitBlock) {
    auto first = holdBlock("USB_samp");
    auto second = holdBlock("USB_samp2");
    first->set_word(0, -1);
    second->set_word(0, -1);
    uint32_t code = 0;
    double actual = 0;
    EXPECT_EQ(PreSamp(-802, 1000, &code, &actual), 1);
    EXPECT_EQ(second->word(0), 1);
    EXPECT_EQ(first->word(0), -1);
    EXPECT_EQ(code, 0u);  // driver types: outputs untouched
    EXPECT_EQ(PreSamp(5, 1000, nullptr, nullptr), 1);
    EXPECT_EQ(first->word(0), 1);
    // The block lives on after PreSamp: a host that asks for its divider
    // before Checkcard keeps word 0, and single-channel buffers are sized.
    first.reset();
    second.reset();
    EXPECT_EQ(PreSamp(123, 1000, &code, &actual), 1);
    ASSERT_TRUE(fake.exists("USB_samp"));
    EXPECT_EQ(fake.word("USB_samp", 0), 1);
    char text[131];
    int status = 0;
    EXPECT_EQ(Checkcard(602, text, &status), 1);
    EXPECT_EQ(fake.word("USB_samp", 0), 1);
}

TEST_F(PreSampling, BlockThatCannotBeCreated) {
    fake.foreignNames = {"USB_samp", "USB_samp2"};
    uint32_t code = 0;
    double actual = 0;
    EXPECT_EQ(PreSamp(123, 1e6, &code, &actual), 0);
    ASSERT_EQ(fake.messages.size(), 1u);
    EXPECT_EQ(fake.messages[0], "hfm Create Failure!");
    EXPECT_EQ(code, 40960000u);  // the divider is still computed
    EXPECT_EQ(PreSamp(-123, 1e6, &code, &actual), 0);
    EXPECT_EQ(fake.messages.size(), 1u);  // no message for the second unit
    // Required outputs missing: refused before anything is done.
    EXPECT_EQ(PreSamp(123, 1e6, nullptr, &actual), 0);
}

// The formula of every card type is swept in the card type tests; here what
// lies around it.
TEST_F(PreSampling, ReadBackWithoutABlockAndAfterPreSamp) {
    double f = -1;
    EXPECT_EQ(GetFre(638, 100, &f, 2), 1);  // no block: mode 1
    EXPECT_EQ(f, 50000.0);
    EXPECT_EQ(GetFre(800, 8, &f, 1), 1);
    EXPECT_EQ(f, 44100.0);
    EXPECT_TRUE(std::isinf((GetFre(602, 0, &f, 1), f)));

    uint32_t code;
    double actual;
    PreSamp(123, 1000, &code, &actual);  // S = 20
    EXPECT_EQ(GetFre(123, code, &f, 1), 1);
    EXPECT_EQ(f, 1000.0);
}

TEST_F(PreSampling, ReadBackFollowsClockFlagAndMode) {
    auto block = holdBlock();
    block->set_word(2, -1);
    double f = 0;
    EXPECT_EQ(GetFre(638, 100, &f, 2), 0);  // mode 0 in a fresh block
    EXPECT_EQ(f, 40960.0);
    block->set_word(0, -1);
    EXPECT_EQ(GetFre(638, 100, &f, 2), -1);
    EXPECT_EQ(f, 40960.0 / 32);
    block->set_word(0, -2);
    EXPECT_EQ(GetFre(602, 100, &f, 2), -2);
    EXPECT_EQ(f, 100000.0 / 32);
    block->set_word(0, -3);
    EXPECT_EQ(GetFre(602, 100, &f, 2), -3);
    EXPECT_EQ(f, 100000.0);
    EXPECT_EQ(GetFre(602, 100, nullptr, 2), -3);
}

}  // namespace
}  // namespace kelmo::test
