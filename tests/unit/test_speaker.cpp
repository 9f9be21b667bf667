// Speaker playback against a fake output device: the format chosen, the
// conversion into the ring, the resampler, the halves going back to the
// device, and every failure.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "fixture.h"
#include "sources/sound/speaker.h"

namespace kelmo::test {
namespace {

class Speaker : public FakeTest {
protected:
    ~Speaker() override { CloseSpeaker(); }
    // Sample i of the ring (the first half's buffer starts it).
    int16_t ring(std::size_t i) const {
        int16_t v;
        std::memcpy(&v, fake.speaker.buffers.slots[0].data + 2 * i, 2);
        return v;
    }
    int count(const std::string& call) const {
        int n = 0;
        for (const auto& c : fake.speaker.calls) n += c == call;
        return n;
    }
};

TEST_F(Speaker, FormatAndCopy) {
    fake.speaker.caps = {0x400 | 0x800, 2, true};
    ASSERT_EQ(OpenSpeaker(48000, 2, 1000, 5000.0), 1);
    const auto& f = fake.speaker.format;
    EXPECT_EQ(f.rate, 44100u);
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.blockAlign, 4);
    EXPECT_EQ(f.bytesPerSecond, 176400u);
    EXPECT_EQ(fake.speaker.volume, 1000u * 0x10001u);
    EXPECT_EQ(fake.speaker.calls,
              (std::vector<std::string>{"caps", "query", "open", "volume", "prepare0", "write0"}));
    // Copied unresampled (ratio 0.91875): interleaved codes, value / (5000 / 32768).
    const std::vector<double> left{0, 2500, -5000, 5000}, right{1, -2500, 0.5, 0};
    ASSERT_EQ(TransSpeakerData(3, 1, 4, left.data(), right.data()), 1);
    EXPECT_EQ(ring(0), 16384);
    EXPECT_EQ(ring(1), -16384);
    EXPECT_EQ(ring(2), -32768);
    EXPECT_EQ(ring(3), 3);  // 0.5 x 6.5536 truncated
    EXPECT_EQ(ring(4), -32768);  // full scale is 32768, kept as its low 16 bits
    EXPECT_EQ(count("restart"), 1);
    EXPECT_EQ(count("write1"), 1);
    EXPECT_EQ(CloseSpeaker(), 1);
    EXPECT_EQ(CloseSpeaker(), 0);
    EXPECT_EQ(fake.messages.back(), "waveOutPause error!");
    EXPECT_TRUE(fake.livePages.empty());
}

// Rate 2000 on the device: 8000 Hz, four times as many frames, each the
// windowed sinc of the signal evaluated directly here.
// An empty block first (a host priming its loop) starts the playback; the
// blocks after it go on from there, the second half queued only once.
TEST_F(Speaker, AnEmptyFirstBlockStartsThePlayback) {
    ASSERT_EQ(OpenSpeaker(44100, 1, 1000, 5000.0), 1);
    const std::vector<double> tone(100, 2500.0);
    ASSERT_EQ(TransSpeakerData(0, 0, 100, tone.data(), nullptr), 1);
    ASSERT_EQ(TransSpeakerData(100, 0, 100, tone.data(), nullptr), 1) << last_error();
    ASSERT_EQ(TransSpeakerData(0, 100, 100, tone.data(), nullptr), 1);
    EXPECT_EQ(ring(0), 16384);
    EXPECT_EQ(ring(99), 16384);
    EXPECT_EQ(count("restart"), 1);
    EXPECT_EQ(count("prepare1"), 1);
    EXPECT_EQ(count("write1"), 1);
}

TEST_F(Speaker, ResamplesByTheWindowedSinc) {
    ASSERT_EQ(OpenSpeaker(2000, 1, 0, 1000.0), 1);
    EXPECT_EQ(fake.speaker.format.rate, 8000u);
    std::vector<double> x(300);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = 900 * std::sin(0.05 * double(i));
    ASSERT_EQ(TransSpeakerData(100, 0, 300, x.data(), nullptr), 1);
    ASSERT_EQ(TransSpeakerData(100, 100, 300, x.data(), nullptr), 1);
    const double pi = 3.14159265358979323846;
    for (uint32_t j : {0u, 1u, 3u, 255u, 399u, 400u, 799u}) {
        const double t = j / 4.0;
        const int k = static_cast<int>(std::floor(t));
        double want = 0;
        for (int q = -16; q <= 16; ++q) {
            if (k - q < 0 || k - q >= 300) continue;
            const double u = q + (t - k);
            const double sinc = u == 0 ? 1.0 : std::sin(pi * u) / (pi * u);  // cut-off min(4, 1)
            const double w = 0.42 - 0.5 * std::cos(pi * (q / 16.0 + 1)) + 0.08 * std::cos(2 * pi * q / 16.0);
            want += w * sinc * x[k - q];
        }
        EXPECT_NEAR(ring(j), std::trunc(want / (1000.0 / 32768)), 1.0) << j;
    }
}

// The resampler with its weights kept per phase gives resample_at's values:
// to the bit where the fraction repeats exactly (ratio 4: 2000 Hz at 8000,
// 11025 at 44100; 8: 1000 at 8000), within 1e-12 of full scale otherwise
// (3000 Hz at 8000, 3500 at 8000, 10000 at 44100, 4410 at 22050, and a
// rate whose phases do not repeat), at the start, millions of samples into
// the signal (where the fraction carries rounding), with the taps running
// off both ends of the arrays (what lies beyond them is never read), and
// across the 32-bit wrap of the index.
TEST(Resampler, GivesTheDirectFormulasValues) {
    const double fullScale = 1000.0;
    const int32_t len = 1 << 21;
    std::vector<double> xs(len + 64, 1e300), ys(len + 64, -1e300);  // past the end: never read
    for (int32_t i = 0; i < len; ++i) {
        xs[i] = fullScale * std::sin(0.3 * double(i)) * std::cos(0.0011 * double(i));
        ys[i] = (i % 7 < 3 ? fullScale : -fullScale) * 0.9;
    }
    const double *x = xs.data(), *y = ys.data();
    struct Case {
        double device, signal;
        bool exact;
    };
    for (const Case c : {Case{8000, 2000, true}, Case{44100, 11025, true}, Case{8000, 1000, true},
                         Case{8000, 3000, false}, Case{8000, 3500, false}, Case{44100, 10000, false},
                         Case{22050, 4410, false}, Case{8000, 2345.678, false}}) {
        const double ratio = c.device / c.signal;
        sound::Resampler r(ratio);
        for (const uint32_t pos : {0u, 7u, uint32_t((len - 2000) * ratio), uint32_t((len - 300) * ratio),
                                   4294967295u - 600u}) {
            const uint32_t frames = 1200;
            std::vector<double> out(2 * frames);
            r.run(x, y, len, pos, frames, out.data(), 2);
            double worst = 0;
            for (uint32_t j = 0; j < frames; ++j) {
                const double wantX = sound::resample_at(x, len, pos, j, ratio);
                const double wantY = sound::resample_at(y, len, pos, j, ratio);
                if (c.exact) {
                    ASSERT_EQ(out[2 * j], wantX) << ratio << " " << pos << " " << j;
                    ASSERT_EQ(out[2 * j + 1], wantY) << ratio << " " << pos << " " << j;
                }
                worst = std::max({worst, std::fabs(out[2 * j] - wantX), std::fabs(out[2 * j + 1] - wantY)});
            }
            EXPECT_LE(worst, 1e-12 * fullScale) << ratio << " " << pos;
        }
    }
    // Mono, one frame apart, into its own stride.
    sound::Resampler r(8000 / 3000.0);
    std::vector<double> out(64);
    r.run(x, nullptr, len, 100, 64, out.data(), 1);
    for (uint32_t j = 0; j < 64; ++j)
        EXPECT_NEAR(out[j], sound::resample_at(x, len, 100, j, 8000 / 3000.0), 1e-12 * fullScale) << j;
}

// The fraction's phases repeat after a few frames for the usual rates.
TEST(Resampler, FindsThePeriodOfTheFraction) {
    EXPECT_EQ(sound::Resampler(4.0).period(), 4u);
    EXPECT_EQ(sound::Resampler(8000 / 3000.0).period(), 8u);
    EXPECT_EQ(sound::Resampler(8000 / 3500.0).period(), 16u);
    EXPECT_EQ(sound::Resampler(44100 / 10000.0).period(), 441u);
    EXPECT_EQ(sound::Resampler(8000 / 2345.678).period(), 0u);  // none within kPhases: computed directly
}

// Blocks of 4096 frames: the first half goes back once the write position
// passes three quarters of the ring, the second once it is in the second
// quarter again, each only after the other.
TEST_F(Speaker, HalvesGoBackAtTheQuarterMarks) {
    ASSERT_EQ(OpenSpeaker(44100, 1, 0, 5000.0), 1);
    std::vector<double> x(4096, 100.0);
    std::vector<std::pair<int, int>> requeues;  // (block, slot)
    for (int b = 0; b < 30; ++b) {
        const int before0 = count("write0"), before1 = count("write1");
        ASSERT_EQ(TransSpeakerData(4096, 0, 4096, x.data(), nullptr), 1) << b;
        if (count("write0") > before0) requeues.push_back({b, 0});
        if (b > 0 && count("write1") > before1) requeues.push_back({b, 1});
    }
    // w0 = 4096 b mod 51200: 40960 (b 10) is past 38400; 14336 (b 16) is in
    // the second quarter; 40960 + 51200 ... (b 22: 90112 mod 51200 = 38912).
    EXPECT_EQ(requeues, (std::vector<std::pair<int, int>>{{10, 0}, {16, 1}, {22, 0}, {29, 1}}));
    EXPECT_TRUE(fake.messages.empty());
}

// A write returns once the device has played past the block's start, and
// not before: with a device that plays one frame a look (sleeping between
// looks) and with one that wakes the wait when it has played the frames
// waited for, once a block.
TEST_F(Speaker, WaitsUntilTheBlockStartHasPlayed) {
    fake.speaker.framesPerPoll = 1;
    ASSERT_EQ(OpenSpeaker(8000, 1, 0, 1000.0), 1);
    std::vector<double> x(4096, 100.0);
    ASSERT_EQ(TransSpeakerData(100, 0, 4096, x.data(), nullptr), 1);
    EXPECT_EQ(fake.speaker.frames, 1u);
    ASSERT_EQ(TransSpeakerData(100, 0, 4096, x.data(), nullptr), 1);
    EXPECT_EQ(fake.speaker.frames, 101u);  // frame 100 starts the block
    EXPECT_GE(fake.sleeps, 99);
    EXPECT_EQ(count("wait"), 0);

    fake.speaker.signals = true;
    fake.speaker.framesPerPoll = 512;
    ASSERT_EQ(TransSpeakerData(4096, 0, 4096, x.data(), nullptr), 1);  // at 200, played by the first look
    EXPECT_EQ(fake.speaker.frames, 613u);
    EXPECT_EQ(count("wait"), 0);
    for (int b = 1; b < 6; ++b) {
        const int waits = count("wait"), looks = count("position");
        ASSERT_EQ(TransSpeakerData(4096, 0, 4096, x.data(), nullptr), 1) << b;
        // Blocks start at 4296, 8392, ...: a look (+512), the wait (to the
        // start + 1), a look (+512) past it.
        EXPECT_EQ(fake.speaker.frames, 200u + 4096u * b + 1 + 512) << b;
        EXPECT_EQ(count("wait") - waits, 1) << b;
        EXPECT_EQ(count("position") - looks, 2) << b;
    }
    EXPECT_TRUE(fake.messages.empty());
}

// A device that can wake the wait but plays nothing still ends it after
// kSpeakerStallMs, and no later than that.
TEST_F(Speaker, StallEndsAWaitTheDeviceWakes) {
    fake.speaker.signals = true;
    ASSERT_EQ(OpenSpeaker(8000, 1, 0, 1000.0), 1);
    std::vector<double> x(4096, 100.0);
    ASSERT_EQ(TransSpeakerData(4096, 0, 4096, x.data(), nullptr), 1);
    fake.speaker.stalled = true;
    const uint32_t t0 = fake.now;
    EXPECT_EQ(TransSpeakerData(4096, 0, 4096, x.data(), nullptr), 0);
    EXPECT_GE(fake.now - t0, sound::kSpeakerStallMs);
    EXPECT_LE(fake.now - t0, sound::kSpeakerStallMs + 1);
    EXPECT_GE(count("wait"), 2);
    EXPECT_EQ(last_error(), "TransSpeakerData failed: the output device played nothing for 3000 ms; check that no "
                            "other program holds it");
}

TEST_F(Speaker, FailuresAndBadInput) {
    std::vector<double> x(10000, 1.0);
    EXPECT_EQ(TransSpeakerData(10, 0, 10, x.data(), x.data()), 0);  // nothing open
    EXPECT_EQ(last_error(), "TransSpeakerData failed: no playback is open; call OpenSpeaker first");
    fake.speaker.count = 0;
    EXPECT_EQ(OpenSpeaker(44100, 1, 0, 5000.0), 0);
    EXPECT_TRUE(fake.messages.empty());
    EXPECT_EQ(last_error(), "OpenSpeaker failed: the system has no output device that can be opened; connect one, "
                            "or start the sound server");
    fake.speaker.count = 1;
    fake.speaker.caps.channels = 1;
    ASSERT_EQ(OpenSpeaker(44100, 2, 0, 5000.0), 1);
    EXPECT_EQ(last_error(), "");
    EXPECT_EQ(fake.messages.front(), "\xB7\xA2\xC9\xF9\xC9\xE8\xB1\xB8\xD6\xBB\xD6\xA7\xB3\xD6" "1"
                                     "\xB8\xF6\xCD\xA8\xB5\xC0");
    EXPECT_EQ(fake.speaker.format.channels, 1);
    // More than the conversion block, beyond the caller's arrays, no array.
    EXPECT_EQ(TransSpeakerData(8193, 0, 10000, x.data(), nullptr), 0);
    EXPECT_EQ(last_error(), "TransSpeakerData failed: 8193 values in one call, more than the 8192 that one call "
                            "converts; pass the signal in pieces");
    EXPECT_EQ(TransSpeakerData(100, 9950, 10000, x.data(), nullptr), 0);
    EXPECT_EQ(last_error(), "TransSpeakerData failed: samples 9950 .. 10049 lie outside arrays of 10000");
    EXPECT_EQ(TransSpeakerData(100, -1, 10000, x.data(), nullptr), 0);
    EXPECT_EQ(TransSpeakerData(100, 0, 10000, nullptr, nullptr), 0);
    // A device that plays nothing ends the wait.
    fake.speaker.stalled = true;
    const uint32_t t0 = fake.now;
    EXPECT_EQ(TransSpeakerData(100, 0, 10000, x.data(), nullptr), 0);
    EXPECT_GE(fake.now - t0, sound::kSpeakerStallMs);
    EXPECT_EQ(last_error(), "TransSpeakerData failed: the output device played nothing for 3000 ms; check that no "
                            "other program holds it");
    fake.speaker.stalled = false;
    // A second open closes the first.
    ASSERT_EQ(OpenSpeaker(22050, 1, 0, 5000.0), 1);
    EXPECT_EQ(fake.speaker.opens, 2);
    EXPECT_EQ(CloseSpeaker(), 1);
    fake.messages.clear();
    fake.speaker.queryResult = 32;
    EXPECT_EQ(OpenSpeaker(22050, 1, 0, 5000.0), 0);
    EXPECT_EQ(fake.messages, std::vector<std::string>{"not support the sound format!"});
    fake.speaker.queryResult = 0;
    fake.speaker.fail["write0"] = 5;
    EXPECT_EQ(OpenSpeaker(22050, 1, 0, 5000.0), 0);
    EXPECT_EQ(fake.messages.back(), "AdBuffer whout error!");
    fake.speaker.fail.clear();
    EXPECT_EQ(CloseSpeaker(), 1);
    EXPECT_TRUE(fake.livePages.empty());
}

}  // namespace
}  // namespace kelmo::test
