// The sound card against a fake capture device: the divider from its
// formats, the two-half ring, the block exports' own capture, and every
// failing step with its message.
#include <cmath>
#include <vector>

#include "sources/sound/caps.h"
#include "sources/sound/state.h"
#include "fixture.h"
#include "sources/sound/poll.h"
#include "sources/sound/capture.h"

namespace kelmo::test {
namespace {

class SoundCard : public FakeTest {
protected:
    SoundCard() {
        block_ = fake.shm_create_or_open("USB_samp", 1024, nullptr);
        block_->set_word(0, 1);
    }
    platform::SharedMemoryPtr block_;
    // What the fake recorded at frame f of channel c.
    int16_t recorded(uint64_t f, int c) { return fake.sound.signal(f, c); }
    std::vector<std::string> calls_without_position() const {
        std::vector<std::string> v;
        for (const auto& c : fake.sound.calls)
            if (c != "position") v.push_back(c);
        return v;
    }
};

TEST_F(SoundCard, PresenceCheck) {
    char text[131] = "x";
    int status = -1;
    EXPECT_EQ(Checkcard(800, text, &status), 1);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(sound::process_state().inputGain, 1.0);
    fake.sound.capsResult = 2;  // no capture device
    sound::process_state().inputGain = 0.5;
    EXPECT_EQ(Checkcard(800, text, &status), 0);
    EXPECT_STREQ(text, "\xC9\xF9\xBF\xA8\xB9\xA4\xD7\xF7\xB2\xBB\xD5\xFD\xB3\xA3!");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(sound::process_state().inputGain, 0.5);  // kept
    // The text stays the library's; the reason says it in words.
    char reason[512];
    kelmo_last_error(reason, sizeof reason);
    EXPECT_EQ(std::string(reason),
              "Checkcard failed: no sound capture device answers (the system's sound code 2); connect one, or start "
              "the sound server (PulseAudio), and try again");
}

TEST_F(SoundCard, DividerAndCatalogueFromTheDevicesFormats) {
    uint32_t code = 0;
    double actual = 0;
    fake.sound.formats = 0x400;  // 44100 Hz, mono, 16 bits
    ASSERT_EQ(PreSamp(800, 48000, &code, &actual), 1);
    EXPECT_EQ(code, 8u);
    EXPECT_EQ(actual, 44100.0);
    fake.sound.formats = 0x10 | 0x2;  // nothing above 22050 Hz
    ASSERT_EQ(PreSamp(800, 44100, &code, &actual), 1);
    EXPECT_EQ(code, 16u);
    EXPECT_TRUE(fake.messages.empty());
    int channels = 0;
    double high = 0;
    GetADParameter(800, &channels, nullptr, nullptr, nullptr, nullptr, nullptr, &high, nullptr, nullptr);
    EXPECT_EQ(channels, 1);
    EXPECT_EQ(high, 22050.0);
}

// A long continuous run in blocks of 2 x 1024: every block is what the
// device recorded 1024 samples after the block's place, without a gap or
// a repeat, through several turns of the ring (so both halves are queued
// again, each at its point).
TEST_F(SoundCard, ContinuousCaptureThroughTheRing) {
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, 2, 1024), 1);
    EXPECT_EQ(handle, 0u);
    const auto& f = fake.sound.format;
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.rate, 44100u);
    EXPECT_EQ(f.blockAlign, 4);
    EXPECT_EQ(f.bytesPerSecond, 176400u);
    EXPECT_EQ(calls_without_position(),
              (std::vector<std::string>{"query", "open", "prepare0", "add0", "start", "prepare1", "add1"}));
    std::vector<int16_t> words(2 * 1024);
    for (uint64_t b = 0; b < 100; ++b) {
        ASSERT_EQ(get_dbl_dataW(&handle, 800, 1024, 2, words.data(), 1024, 0, nullptr), 1) << b;
        const uint64_t first = (b * 2048 + 1024) / 2;  // the block's first frame
        for (int c = 0; c < 2; ++c)
            for (int s : {0, 1, 1023}) ASSERT_EQ(words[c * 1024 + s], recorded(first + s, c)) << b << " " << c;
    }
    // Values: the code x input gain x 140 / 32768.
    sound::process_state().inputGain = 2.0;
    std::vector<double> values(2 * 1024);
    ASSERT_EQ(get_dbl_data(&handle, 800, 1024, 2, values.data(), 1024, 0, nullptr), 1);
    EXPECT_EQ(values[1024 + 5], recorded((100 * 2048 + 1024) / 2 + 5, 1) * 2.0 * 0.0042724609375);
    // The halves were queued again: the second from the ring's second turn on.
    int adds1 = 0, adds0 = 0;
    for (const auto& c : fake.sound.calls) adds1 += c == "add1", adds0 += c == "add0";
    EXPECT_GE(adds0, 4);
    EXPECT_GE(adds1, 4);
    recover(&handle, 800);
    EXPECT_FALSE(fake.sound.open);
    EXPECT_TRUE(fake.messages.empty());
    EXPECT_TRUE(fake.livePages.empty());
}

// The largest block the ring takes runs turn after turn, every sample the
// one recorded, even when the device records far more per poll than a
// block: what does not fit waits in the device.
TEST_F(SoundCard, LargestBlockThroughManyTurns) {
    fake.sound.framesPerPoll = 20000;
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, 2, 2943), 1);
    std::vector<int16_t> words(2 * 2943);
    for (uint64_t b = 0; b < 40; ++b) {
        ASSERT_EQ(get_dbl_dataW(&handle, 800, 2943, 2, words.data(), 2943, 0, nullptr), 1) << b;
        const uint64_t first = (b * 5886 + 1024) / 2;
        for (int c = 0; c < 2; ++c)
            for (int s : {0, 1471, 2942}) ASSERT_EQ(words[c * 2943 + s], recorded(first + s, c)) << b << " " << c;
    }
    recover(&handle, 800);
    EXPECT_TRUE(fake.messages.empty());
}

// Every sample of every block, through several turns of the ring, for
// block sizes that do not divide it and for a device that records a little
// or far more than a block per poll: each block is the one after the one
// before, and each half is queued again exactly at its refill point (the
// second half three blocks into every turn after the first, the first half
// three blocks into the second half).
TEST_F(SoundCard, EverySampleAcrossTheRefillPoints) {
    // No two frames alike: a gap or a repeat of any length shows.
    fake.sound.signal = [](uint64_t f, int c) {
        uint64_t x = (f * 2 + static_cast<uint64_t>(c) + 1) * 0x9E3779B97F4A7C15ull;
        x ^= x >> 29;
        return static_cast<int16_t>(x & 0x7FFF);
    };
    struct Shape {
        int n, len;
        uint32_t perPoll;
    };
    for (const Shape sh : {Shape{1, 1000, 7}, Shape{2, 1024, 300}, Shape{1, 5887, 50000}, Shape{2, 777, 4096},
                           Shape{2, 2943, 1}}) {
        SCOPED_TRACE(testing::Message() << sh.n << " x " << sh.len << ", " << sh.perPoll << " per poll");
        fake.sound.calls.clear();
        fake.sound.framesPerPoll = sh.perPoll;
        uint32_t handle = 0;
        ASSERT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, sh.n, sh.len), 1);
        const uint64_t block = uint64_t(sh.n) * uint64_t(sh.len);
        std::vector<int16_t> words(block);
        const uint64_t blocks = 3 * 51200 / block + 5;  // three turns and some
        for (uint64_t k = 0; k < blocks; ++k) {
            const std::size_t callsBefore = fake.sound.calls.size();
            ASSERT_EQ(get_dbl_dataW(&handle, 800, sh.len, sh.n, words.data(), sh.len, 0, nullptr), 1) << k;
            int add0 = 0, add1 = 0;
            for (std::size_t i = callsBefore; i < fake.sound.calls.size(); ++i)
                add0 += fake.sound.calls[i] == "add0", add1 += fake.sound.calls[i] == "add1";
            const uint64_t T = k * block, b = (T % 51200) / block;
            EXPECT_EQ(add1, b == 3 && T > 51200 ? 1 : 0) << k;
            EXPECT_EQ(add0, b == 25600 / block + 3 ? 1 : 0) << k;
            const uint64_t first = (T + 1024) / uint64_t(sh.n);  // the block's first frame
            for (int c = 0; c < sh.n; ++c)
                for (int s = 0; s < sh.len; ++s)
                    ASSERT_EQ(words[std::size_t(c) * sh.len + s], recorded(first + s, c))
                        << "block " << k << " channel " << c << " sample " << s;
        }
        recover(&handle, 800);
    }
    EXPECT_TRUE(fake.messages.empty());
    EXPECT_TRUE(fake.livePages.empty());
}

// The block exports run a capture of their own and always stop it.
TEST_F(SoundCard, BlocksRunTheirOwnCapture) {
    std::vector<int16_t> words(3000);
    ASSERT_EQ(OneChSamW(800, 8, 3000, 1, 1, words.data()), 1);
    EXPECT_EQ(words[0], recorded(1024, 0));
    EXPECT_EQ(words[2999], recorded(2 * 1024 + 1024 + 951, 0));  // third block, its 952nd sample
    EXPECT_FALSE(fake.sound.open);
    std::vector<double> out(2 * 1500);
    sound::process_state().inputGain = 1.0;
    ASSERT_EQ(MulChSam(800, 8, 1500, 1, 2, out.data()), 1);
    EXPECT_EQ(out[1500 + 1499], recorded((2048 + 1024) / 2 + 475, 1) * 0.0042724609375);
    EXPECT_FALSE(fake.sound.open);
    // A sound card has channels 0 and 1: channel 1 on its own (channel
    // argument 2) is the second channel of a stereo capture, in blocks,
    // triggered and continuously; channel 2 is no format it has.
    ASSERT_EQ(OneChSamW(800, 8, 3000, 1, 2, words.data()), 1);
    EXPECT_EQ(fake.sound.format.channels, 2);
    EXPECT_EQ(words[0], recorded(1024 / 2, 1));
    EXPECT_EQ(words[2999], recorded((2 * 2048 + 1024) / 2 + 951, 1));
    ASSERT_EQ(OneChSam(800, 8, 1500, 1, 2, out.data()), 1);
    EXPECT_EQ(out[1499], recorded((2048 + 1024) / 2 + 475, 1) * 0.0042724609375);
    // Level 0 on slope 0: the first sample beyond it, a block in.
    ASSERT_EQ(TriMulChSam(0, 1, 0.0, 800, 8, 100, 1, 1, out.data()), 0);
    EXPECT_EQ(fake.sound.format.channels, 2);
    EXPECT_NE(out[0], 0.0);
    EXPECT_EQ(std::fmod(out[0] / 0.0042724609375 - 1000, 7), 0);  // channel 1's signal: 7f + 1000
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, -1, 1024), 1);
    EXPECT_EQ(get_dbl_dataW(&handle, 800, 1024, 1, words.data(), 1024, 0, nullptr), 1);
    EXPECT_EQ(words[0], recorded(1024 / 2, 1));
    EXPECT_EQ(get_dbl_dataW(&handle, 800, 1024, 2, words.data(), 1024, 0, nullptr), 0);  // one channel only
    recover(&handle, 800);
    EXPECT_TRUE(fake.messages.empty());
    EXPECT_EQ(OneChSam(800, 8, 100, 1, 3, out.data()), 0);
    EXPECT_EQ(fake.messages.front(), "not support the sound format!");
    EXPECT_FALSE(fake.sound.open);
    EXPECT_TRUE(fake.livePages.empty());
}

TEST_F(SoundCard, EveryFailingStepShowsItsMessage) {
    uint32_t handle = 0;
    fake.sound.queryResult = 32;
    EXPECT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, 1, 1024), 0);
    EXPECT_EQ(fake.messages, std::vector<std::string>{"not support the sound format!"});
    fake.sound.queryResult = 0;

    // An open that fails: the remaining steps run on no device.
    fake.messages.clear();
    fake.sound.openResult = 4;
    EXPECT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, 1, 1024), 0);
    EXPECT_EQ(fake.messages, (std::vector<std::string>{"not support the waveIn open!", "PrepareHeader 1st district error!",
                                                       "AdBuffer wh error!", "waveIn Starterror!"}));
    fake.sound.openResult = 0;
    fake.messages.clear();
    recover(&handle, 800);  // nothing open: each step fails, the buffer is given back
    EXPECT_EQ(fake.messages, (std::vector<std::string>{"waveInStop error!", "waveInReset error!", "waveInClose error!"}));
    fake.messages.clear();
    recover(&handle, 800);
    EXPECT_EQ(fake.messages.back(), "\xCA\xCD\xB7\xC5\xC4\xDA\xB4\xE6\xCA\xA7\xB0\xDC");

    // The second half's failures are silent but fail the start.
    fake.messages.clear();
    fake.sound.fail["add1"] = 5;
    EXPECT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, 1, 1024), 0);
    EXPECT_TRUE(fake.messages.empty());
    recover(&handle, 800);
    fake.sound.fail.clear();

    // The refill of the second half fails on its unprepare.
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, 1, 1024), 1);
    std::vector<double> block(1024);
    for (int b = 0; b < 52; ++b) ASSERT_EQ(get_dbl_data(&handle, 800, 1024, 1, block.data(), 1024, 0, nullptr), 1);
    fake.sound.fail["unprepare1"] = 33;
    int result = 1;
    for (int b = 0; b < 60 && result; ++b) result = get_dbl_data(&handle, 800, 1024, 1, block.data(), 1024, 0, nullptr);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(fake.messages.back(), "UnprepareHeader wh1 error!");
    fake.sound.fail.clear();
    recover(&handle, 800);
    EXPECT_FALSE(fake.sound.open);
}

// A system without sound devices: the refusals say so, and a recover or
// CloseSpeaker with nothing running says that nothing ran (recover is no
// failure then), the messages as ever.
TEST_F(SoundCard, NoSoundDeviceAtAll) {
    fake.sound.capsResult = fake.sound.queryResult = fake.sound.openResult = 2;
    fake.speaker.count = 0;
    const auto reason = [] {
        char r[1024];
        kelmo_last_error(r, sizeof r);
        return std::string(r);
    };
    uint32_t handle = 0;
    std::vector<double> out(2 * 64);
    const std::string none = "the system has no capture device (the system's sound code 2); connect one, or start "
                             "the sound server (PulseAudio), and try again";
    EXPECT_EQ(MulChSam(800, 40, 64, 1, 1, out.data()), 0);
    EXPECT_EQ(reason(), "MulChSam failed: " + none);
    EXPECT_EQ(Set_dbl_MulChSam(&handle, 800, 40, 1, 1, 64), 0);
    EXPECT_EQ(reason(), "Set_dbl_MulChSam failed: " + none);
    fake.messages.clear();
    recover(&handle, 800);
    EXPECT_EQ(reason(), "");
    EXPECT_EQ(fake.messages, (std::vector<std::string>{"waveInStop error!", "waveInReset error!", "waveInClose error!"}));
    recover(&handle, 800);
    EXPECT_EQ(reason(), "");
    EXPECT_EQ(fake.messages.back(), "\xCA\xCD\xB7\xC5\xC4\xDA\xB4\xE6\xCA\xA7\xB0\xDC");
    fake.messages.clear();
    EXPECT_EQ(CloseSpeaker(), 0);
    EXPECT_EQ(reason(), "CloseSpeaker failed: no playback is open, so there was nothing to close; CloseSpeaker ends "
                        "what OpenSpeaker began");
    EXPECT_EQ(fake.messages, std::vector<std::string>{"waveOutPause error!"});
}

// A device that stops recording, or whose position cannot be read, ends
// the wait instead of hanging; a block beyond the ring is refused.
TEST_F(SoundCard, StalledDeviceAndBadBlocks) {
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, 1, 1024), 1);
    std::vector<double> block(30000);
    fake.sound.stalled = true;
    const uint32_t t0 = fake.now;
    EXPECT_EQ(get_dbl_data(&handle, 800, 1024, 1, block.data(), 1024, 0, nullptr), 0);
    EXPECT_GE(fake.now - t0, sound::kStallMs);
    EXPECT_GT(fake.dispatches, 0);  // the host's window messages ran meanwhile
    // A host's dispatch hook runs beside the platform's dispatch, not
    // instead of it (which on Linux hands on the mixers' notices).
    static int hooked = 0;
    hooked = 0;
    kelmo_set_dispatch_hook([](void*) { ++hooked; }, nullptr);
    const int before = fake.dispatches;
    EXPECT_EQ(get_dbl_data(&handle, 800, 1024, 1, block.data(), 1024, 0, nullptr), 0);
    kelmo_set_dispatch_hook(nullptr, nullptr);
    EXPECT_GT(hooked, 0);
    EXPECT_EQ(fake.dispatches - before, hooked);
    fake.sound.stalled = false;
    fake.sound.fail["position"] = 5;
    EXPECT_EQ(get_dbl_data(&handle, 800, 1024, 1, block.data(), 1024, 0, nullptr), 0);
    EXPECT_EQ(fake.messages, std::vector<std::string>{"GetPosition error 1!"});  // once, not once per poll
    fake.sound.fail.clear();
    EXPECT_EQ(get_dbl_data(&handle, 800, 25000, 1, block.data(), 25000, 0, nullptr), 0);
    // Four blocks and the copy's margin must fit in a half.
    const uint32_t pollsBefore = fake.now;
    EXPECT_EQ(get_dbl_data(&handle, 800, 2944, 2, block.data(), 2944, 0, nullptr), 0);
    EXPECT_EQ(fake.now, pollsBefore);  // refused at once
    EXPECT_EQ(get_dbl_data(&handle, 800, 1024, 0, block.data(), 1024, 0, nullptr), 0);
    EXPECT_EQ(get_dbl_data(&handle, 800, 1024, 1, block.data(), 1024, 0, nullptr), 1);
    recover(&handle, 800);
    // A start over a running capture closes the one before.
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, 1, 1024), 1);
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 800, 16, 1, 1, 1024), 1);
    EXPECT_EQ(fake.sound.opens, 3);
    recover(&handle, 800);
    EXPECT_FALSE(fake.sound.open);
    EXPECT_TRUE(fake.livePages.empty());
}

// The host's code that a fetch runs while it waits (its window procedures)
// may start a capture of its own: the fetch then delivers nothing rather
// than the new capture's samples at the old one's place, and the capture
// the host started is the one that runs.
TEST_F(SoundCard, HostThatRestartsTheCaptureDuringAFetch) {
    static uint32_t handle = 0;
    static int restarts = 0;
    restarts = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, 1, 1024), 1);
    kelmo_set_dispatch_hook([](void*) {
        if (restarts++ == 0) Set_dbl_MulChSam(&handle, 800, 16, 1, 1, 1024);
    }, nullptr);
    std::vector<int16_t> block(1024);
    fake.sound.framesPerPoll = 64;  // the wait polls, and dispatches, several times
    EXPECT_EQ(get_dbl_dataW(&handle, 800, 1024, 1, block.data(), 1024, 0, nullptr), 0);
    kelmo_set_dispatch_hook(nullptr, nullptr);
    EXPECT_EQ(fake.sound.opens, 2);
    EXPECT_EQ(fake.sound.format.rate, 22050u);
    EXPECT_EQ(get_dbl_dataW(&handle, 800, 1024, 1, block.data(), 1024, 0, nullptr), 1);
    EXPECT_EQ(block[0], recorded(1024, 0));
    recover(&handle, 800);
    EXPECT_FALSE(fake.sound.open);
    EXPECT_TRUE(fake.livePages.empty());
}

}  // namespace
}  // namespace kelmo::test

namespace kelmo::test {
namespace {

// A device's 32-bit position wraps after 2^32 frames (27 hours at 44.1 kHz);
// the waits compare it carried on in 64 bits, so they still end after it.
TEST(SoundPosition, CarriedPastThirtyTwoBits) {
    sound::FrameCount c;
    EXPECT_EQ(c.update(0), 0u);
    EXPECT_EQ(c.update(4294967000u), 4294967000u);
    EXPECT_EQ(c.update(200), 4294967496u);
    EXPECT_EQ(c.update(200), 4294967496u);
    EXPECT_EQ(c.update(4294967295u), 8589934591u);
    EXPECT_EQ(c.update(1), 8589934593u);
}

}  // namespace
}  // namespace kelmo::test
