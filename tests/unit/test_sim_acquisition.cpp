// The acquisition families on the simulated source, against the fake
// platform: its clock makes start times and deadlines exact.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "sources/source.h"
#include "sources/sim/state.h"
#include "fixture.h"
#include "sources/sim/param_block.h"
#include "sources/sim/synthesis.h"

namespace kelmo::test {
namespace {

using sim::SimParamBlock;
constexpr double kPi = 3.14159265358979323846;

class SimAcquisition : public FakeTest {
protected:
    SimAcquisition() {
        status_ = fake.shm_create_or_open("USB_samp", 1024, nullptr);
        params_ = fake.shm_create_or_open("Vort123SigPara", 4000, nullptr);
        noise_ = fake.shm_create_or_open("Random_Simu", 32 * 8192, nullptr);
        for (int k = 0; k < 32; ++k) p().waveform[k] = 6;  // silent unless set
        double actual;
        PreSamp(123, 10000.0, &code_, &actual);  // 10 kHz, S = 1
        fake.now = 1000;
    }
    SimParamBlock& p() { return *static_cast<SimParamBlock*>(params_->data()); }
    void cosine(int k, double f, double a, double phase = 0.0) {
        p().waveform[k] = 2;
        p().modulation[k] = 0;
        p().freq1[k] = f;
        p().amp1[k] = a;
        p().phase[k] = phase;
        p().period[k] = 1.0;
    }
    // A cosine started at `ms` milliseconds, sampled at fs.
    static double cosine_at(double f, double a, double ms, int i, double phase = 0.0, double fs = 10000.0) {
        return a * std::cos(2 * kPi * f * (ms * 0.001 + i / fs) + phase);
    }
    uint32_t code_ = 0;
    platform::SharedMemoryPtr status_, params_, noise_;
};

TEST_F(SimAcquisition, SeedSequenceAndStartTimes) {
    char text[131];
    int status = -1;
    ASSERT_EQ(Checkcard(123, text, &status), 1);
    EXPECT_EQ(sim::process_state().randomSeed, 100u);
    cosine(0, 50.0, 1000.0);
    std::vector<double> out(64);
    const uint32_t seeds[] = {1680700u, 330237477u, 1203529507u};
    for (uint32_t seed : seeds) {
        ASSERT_EQ(OneChSam(123, code_, 64, 1, 1, out.data()), 1);
        EXPECT_EQ(sim::process_state().randomSeed, seed);
        // Blocks start at a random offset of seed x n / (2^31 - 1) ms.
        const double ms = seed * 64.0 / 2147483647.0;
        EXPECT_NEAR(out[0], cosine_at(50.0, 1000.0, ms, 0), 1e-6);
        EXPECT_NEAR(out[63], cosine_at(50.0, 1000.0, ms, 63), 1e-6);
    }
    // A sweep starts at the tick count instead.
    p().modulation[0] = 3;  // linear sweep, 50 Hz throughout
    p().freq2[0] = 50.0;
    p().amp2[0] = 1000.0;
    fake.now = 250;
    ASSERT_EQ(OneChSam(123, code_, 8, 1, 1, out.data()), 1);
    EXPECT_NEAR(out[0], cosine_at(50.0, 1000.0, 250.0, 0), 1e-6);
    // No block, no parameters: refused.
    params_.reset();
    EXPECT_EQ(OneChSam(123, code_, 8, 1, 1, out.data()), 0);
}

TEST_F(SimAcquisition, GainClampAndPacing) {
    cosine(0, 100.0, 3000.0);
    sim::process_state().randomSeed = 0;  // start offset 0
    std::vector<double> out(1000);
    const uint32_t t0 = fake.now;
    ASSERT_EQ(OneChSam(123, code_, 1000, 2, 1, out.data()), 1);  // gain 2: peaks at 6000, clamped
    EXPECT_EQ(out[0], 5000.0);
    EXPECT_EQ(out[50], -5000.0);
    EXPECT_NEAR(out[25], 0.0, 1e-6);
    // 1000 samples at 10 kHz: the call returns once 100 ms have passed,
    // sleeping rather than polling.
    EXPECT_GE(fake.now - t0, 100u);
    EXPECT_LE(fake.now - t0, 101u);
    EXPECT_LT(fake.sleeps, 20);
    // The gain is taken as a 16-bit value.
    ASSERT_EQ(OneChSam(123, code_, 4, 65537, 1, out.data()), 1);
    EXPECT_NEAR(out[0], 3000.0, 1e-6);
    // Rates below 0.1 Hz are not paced.
    double actual;
    PreSamp(123, 0.05, &code_, &actual);
    const uint32_t t1 = fake.now;
    ASSERT_EQ(OneChSam(123, code_, 100, 1, 1, out.data()), 1);
    EXPECT_EQ(fake.now, t1);
}

// A call that starts late in a millisecond still waits the block's whole
// length on the fine clock (the tick count alone would end it up to a
// millisecond early), and not much longer.
TEST_F(SimAcquisition, PacingIsNeverEarly) {
    cosine(0, 100.0, 3000.0);
    std::vector<double> out(2048);
    fake.sleep_us(900);  // 0.9 ms into the current tick
    uint64_t start = fake.precise_us();
    ASSERT_EQ(OneChSam(123, code_, 100, 1, 1, out.data()), 1);  // 10 ms
    EXPECT_GE(fake.precise_us() - start, 10000u);
    EXPECT_LE(fake.precise_us() - start, 11000u);

    uint32_t handle = 0;
    int st = 0;
    fake.sleep_us(700);
    start = fake.precise_us();
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code_), 1, 1, 1024), 1);
    for (int b = 1; b <= 3; ++b) {
        ASSERT_EQ(get_dbl_data(&handle, 123, 1000, 1, out.data(), 1000, 0, &st), 1);
        EXPECT_GE(fake.precise_us() - start, uint64_t(b) * 100000u) << b;
        EXPECT_LE(fake.precise_us() - start, uint64_t(b) * 100000u + 1000u) << b;
    }
    recover(&handle, 123);
}

TEST_F(SimAcquisition, ChannelsOfMultiChannelBlocks) {
    sim::process_state().randomSeed = 0;
    for (int k = 0; k < 32; ++k) cosine(k, 10.0 * (k + 1), 100.0);
    std::vector<double> out(4 * 16);
    // Packed: 4 channels from channel 3, channel-major.
    ASSERT_EQ(MulChSam(123, static_cast<int>(code_), 16, 1, 0x0304, out.data()), 1);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(out[i * 16 + 5], cosine_at(10.0 * (4 + i), 100.0, 0, 5), 1e-9) << i;
    // Ex: first channel 30 wraps round to 0 and 1; gains per channel.
    std::vector<double> gains(32, 1.0);
    gains[31] = 3.9;  // truncated to 3
    const int first = 30;
    ASSERT_EQ(MulChSamEx(123, static_cast<int>(code_), 16, 1, 4, out.data(), gains.data(), &first), 1);
    const int ks[] = {30, 31, 0, 1};
    for (int i = 0; i < 4; ++i) {
        const double g = ks[i] == 31 ? 3.0 : 1.0;
        EXPECT_NEAR(out[i * 16 + 7], g * cosine_at(10.0 * (ks[i] + 1), 100.0, 0, 7), 1e-9) << i;
    }
    EXPECT_EQ(MulChSamEx(123, static_cast<int>(code_), 16, 1, 4, out.data(), nullptr, &first), 0);
    // Raw words: 16-bit codes, channel-major.
    std::vector<int16_t> w(2 * 16);
    ASSERT_EQ(MulChSamW(123, static_cast<int>(code_), 16, 1, 2, w.data()), 1);
    EXPECT_EQ(w[0], static_cast<int16_t>(std::trunc(100.0 * 6.5536)));
    // 32-bit codes for type 124.
    std::vector<int32_t> w32(16);
    ASSERT_EQ(MulChSamW(124, static_cast<int>(code_), 16, 1, 1, w32.data()), 1);
    EXPECT_EQ(w32[0], static_cast<int32_t>(std::trunc(100.0 * 429496.7296)));
}

TEST_F(SimAcquisition, SumChannels) {
    sim::process_state().randomSeed = 0;
    cosine(8, 100.0, 1000.0);
    cosine(9, 300.0, 500.0);
    p().waveform[2] = 5;
    p().mixWeight[2][0] = 2.0;
    p().mixWeight[2][1] = -1.0;
    std::vector<double> out(32);
    ASSERT_EQ(OneChSam(123, code_, 32, 1, 3, out.data()), 1);
    for (int i : {0, 3, 17})
        EXPECT_NEAR(out[i], 2.0 * cosine_at(100.0, 1000.0, 0, i) - cosine_at(300.0, 500.0, 0, i), 1e-6) << i;
    // Raw words: the weighted sum of the codes, limited to the 16-bit range.
    p().mixWeight[2][0] = 10.0;
    p().mixWeight[2][1] = 0.0;
    std::vector<int16_t> w(32);
    ASSERT_EQ(MulChSamW(123, static_cast<int>(code_), 32, 1, 0x0201, w.data()), 1);
    EXPECT_EQ(w[0], 32767);
    // A sum channel whose weights are all 0 is silent; one beyond entry 7
    // has no weights; a long one is built like a short one.
    p().mixWeight[2][0] = 0.0;
    ASSERT_EQ(OneChSam(123, code_, 32, 1, 3, out.data()), 1);
    for (double v : out) EXPECT_EQ(v, 0.0);
    p().waveform[12] = 5;
    ASSERT_EQ(OneChSam(123, code_, 32, 1, 13, out.data()), 1);
    for (double v : out) EXPECT_EQ(v, 0.0);
    p().mixWeight[2][0] = 2.0;
    p().mixWeight[2][1] = -1.0;
    sim::process_state().randomSeed = 0;
    std::vector<double> big(65536);
    ASSERT_EQ(OneChSam(123, code_, 65536, 1, 3, big.data()), 1);
    for (int i : {0, 40000, 65535})
        EXPECT_NEAR(big[i], 2.0 * cosine_at(100.0, 1000.0, 0, i) - cosine_at(300.0, 500.0, 0, i), 1e-5) << i;
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code_), 1, -2, 65536), 1);
    ASSERT_EQ(get_dbl_data(&handle, 1230, 65536, 1, big.data(), 65536, 0, nullptr), 1);
    for (int i : {0, 65535})
        EXPECT_NEAR(big[i], 2.0 * cosine_at(100.0, 1000.0, 0, i) - cosine_at(300.0, 500.0, 0, i), 1e-5) << i;
    p().mixWeight[2][0] = 0.0;
    // Parameters from another process may be anything: never NaN out.
    p().mixWeight[2][0] = std::nan("");
    ASSERT_EQ(OneChSam(123, code_, 32, 1, 3, out.data()), 1);
    for (double v : out) EXPECT_EQ(v, 0.0);
}

TEST_F(SimAcquisition, ContinuousBlocksJoinWithoutAPhaseJump) {
    cosine(0, 37.0, 1000.0, 0.3);
    cosine(5, 11.0, 1000.0);
    uint32_t handle = 99;
    const uint32_t start = fake.now;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code_), 1, 1, 1000), 1);
    EXPECT_EQ(handle, 0u);
    std::vector<double> a(1000), b(1000);
    int st = -1;
    ASSERT_EQ(get_dbl_data(&handle, 123, 1000, 1, a.data(), 1000, 0, &st), 1);
    EXPECT_EQ(st, 0);
    EXPECT_GE(fake.now - start, 99u);  // the first block's deadline, 100 ms (truncated)
    ASSERT_EQ(get_dbl_data(&handle, 123, 1000, 1, b.data(), 1000, 0, &st), 1);
    EXPECT_GE(fake.now - start, 199u);
    EXPECT_EQ(p().contSampleCount, 2000u);
    for (int i : {0, 1, 999}) {
        EXPECT_NEAR(a[i], cosine_at(37.0, 1000.0, 0, i, 0.3), 1e-6);
        EXPECT_NEAR(b[i], cosine_at(37.0, 1000.0, 0, 1000 + i, 0.3), 1e-6);
    }
    // 1230: the same source without pacing.
    const uint32_t before = fake.now;
    ASSERT_EQ(get_dbl_data(&handle, 1230, 1000, 1, b.data(), 1000, 0, &st), 1);
    EXPECT_EQ(fake.now, before);
    // A single channel (-5): gains in words 1 .. 6, the block at buf[offset].
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code_), 3, -5, 1000), 1);
    EXPECT_EQ(fake.word("USB_samp", 6), 3);
    EXPECT_EQ(fake.word("123_1ch", 0), -5);
    std::vector<double> c(20, -1.0);
    ASSERT_EQ(get_dbl_data(&handle, 1230, 10, 1, c.data(), 0, 10, &st), 1);
    EXPECT_EQ(c[9], -1.0);
    EXPECT_NEAR(c[10], 3000.0, 1e-6);
    // Raw words, interleaved.
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code_), 1, 0x0002, 1000), 1);
    std::vector<int16_t> w(8);
    ASSERT_EQ(get_dbl_dataW(&handle, 1230, 4, 2, w.data(), 0, 65535, &st), 1);
    EXPECT_EQ(w[0], static_cast<int16_t>(std::trunc(1000.0 * std::cos(0.3) * 6.5536)));
    EXPECT_EQ(w[1], 0);  // entry 1 is silent
    recover(&handle, 123);
    // A single channel beyond the 32 entries is refused, however far out.
    const std::vector<double> gains(32, 1.0);
    EXPECT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code_), 1, -40, 1000), 0);
    EXPECT_EQ(Set_dbl_MulChSamEx(&handle, 123, static_cast<int>(code_), 1, INT32_MIN, 1000, gains.data(), nullptr), 0);
    // Without the parameter block the fetch says so in the status word.
    params_.reset();
    EXPECT_EQ(get_dbl_data(&handle, 123, 10, 1, c.data(), 10, 0, &st), 0);
    EXPECT_EQ(st, 1);
}

// Two acquisitions of one parameter block (a view beside a recording, two
// streams of one process): each keeps its own time base, pacing and gains,
// whatever the other starts, fetches or ends.
TEST_F(SimAcquisition, TwoAcquisitionsKeepTheirOwnTimeBases) {
    cosine(0, 50.0, 1000.0);
    uint32_t a = 0, b = 0;
    int st = -1;
    std::vector<double> out(100);
    const uint32_t startA = fake.now;
    ASSERT_EQ(Set_dbl_MulChSam(&a, 123, static_cast<int>(code_), 1, 1, 1000), 1);
    for (int blk = 0; blk < 2; ++blk) ASSERT_EQ(get_dbl_data(&a, 123, 100, 1, out.data(), 100, 0, &st), 1);
    fake.now += 37;
    ASSERT_EQ(Set_dbl_MulChSam(&b, 123, static_cast<int>(code_), 2, 1, 1000), 1);
    for (int blk = 2; blk < 6; ++blk) {
        ASSERT_EQ(get_dbl_data(&a, 123, 100, 1, out.data(), 100, 0, &st), 1);
        for (int i : {0, 17, 99}) EXPECT_NEAR(out[i], cosine_at(50.0, 1000.0, 0, blk * 100 + i), 1e-6) << blk;
        // Paced on its own start: block blk ends (blk + 1) x 10 ms after it.
        EXPECT_GE(fake.now - startA, uint32_t(blk + 1) * 10 - 1);
        ASSERT_EQ(get_dbl_data(&b, 1230, 100, 1, out.data(), 100, 0, &st), 1);
        for (int i : {0, 17, 99}) EXPECT_NEAR(out[i], cosine_at(50.0, 2000.0, 0, (blk - 2) * 100 + i), 1e-6) << blk;
    }
    EXPECT_EQ(p().contSampleCount, 400u);  // the published count: the last start's
    recover(&b, 123);
    ASSERT_EQ(get_dbl_data(&a, 1230, 100, 1, out.data(), 100, 0, &st), 1);
    EXPECT_NEAR(out[5], cosine_at(50.0, 1000.0, 0, 605), 1e-6);
    // Ended, b's handle word falls back on what is published.
    ASSERT_EQ(get_dbl_data(&b, 1230, 100, 1, out.data(), 100, 0, &st), 1);
    EXPECT_EQ(p().contSampleCount, 500u);
    recover(&a, 123);
}

// What a host or another process can do wrong to a continuous run.
TEST_F(SimAcquisition, ContinuousFetchSurvivesBadArgumentsAndPeers) {
    cosine(5, 11.0, 1000.0);
    uint32_t handle = 0;
    int st = -1;
    // A single channel, raw words interleaved: one lane, whatever nch says
    // (nch must not stretch or reverse the lane, nor write before buf).
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code_), 1, -5, 1000), 1);
    for (int nch : {-5, 0, 1, 3}) {
        std::vector<int16_t> guard(16 + 8, 0x5A5A);
        ASSERT_EQ(get_dbl_dataW(&handle, 1230, 8, nch, guard.data() + 8, 0, 65535, &st), 1) << nch;
        for (int i = 0; i < 8; ++i) EXPECT_EQ(guard[i], 0x5A5A) << nch;  // nothing before buf
        for (int i = 8; i < 16; ++i) {  // consecutive samples near the cosine's crest
            EXPECT_GT(guard[i], 6000) << nch;
            EXPECT_LE(guard[i], 6554) << nch;
        }
        EXPECT_EQ(guard[16], 0x5A5A) << nch;  // and no further than the block
    }
    // A failed fetch leaves the time base where it was.
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code_), 1, 2, 1000), 1);
    std::vector<double> out(2000);
    EXPECT_EQ(get_dbl_data(&handle, 1230, 100, 0, out.data(), 100, 0, &st), 0);  // no channel
    EXPECT_EQ(p().contSampleCount, 0u);
    {
        // Shrunk by another process: the run this process started keeps its
        // channels itself; a fetch on a handle word it did not start on
        // (the published record) is refused.
        auto& single = fake.objects.at("123_1ch")->bytes;
        single.resize(0);
        uint32_t other = 0;
        EXPECT_EQ(get_dbl_data(&other, 1230, 100, 2, out.data(), 100, 0, &st), 0);
        EXPECT_EQ(p().contSampleCount, 0u);
        EXPECT_EQ(get_dbl_data(&handle, 1230, 100, 2, out.data(), 100, 0, &st), 1);
        single.resize(1024);
        single[0] = 2;  // the channel count, as the start stored it
    }
    EXPECT_EQ(p().contSampleCount, 100u);
    ASSERT_EQ(get_dbl_data(&handle, 1230, 100, 2, out.data(), 100, 0, &st), 1);
    EXPECT_EQ(p().contSampleCount, 200u);

    // The signal source restarted: the new block holds no started run. The
    // acquisition goes on on its own time base; a fetch on another handle
    // word fails (status 1) until a host starts again.
    params_.reset();
    params_ = fake.shm_create_or_open("Vort123SigPara", 4000, nullptr);
    cosine(0, 50.0, 3000.0);
    uint32_t before = fake.now;
    uint32_t stranger = 0;
    EXPECT_EQ(get_dbl_data(&stranger, 123, 1024, 2, out.data(), 1024, 0, &st), 0);
    EXPECT_EQ(st, 1);
    EXPECT_EQ(fake.now, before);
    ASSERT_EQ(get_dbl_data(&handle, 1230, 1024, 1, out.data(), 1024, 0, &st), 1);
    EXPECT_EQ(st, 0);
    EXPECT_NEAR(out[1], cosine_at(50.0, 3000.0, 0, 201), 1e-6);
    before = fake.now;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code_), 1, 1, 1024), 1);
    ASSERT_EQ(get_dbl_data(&handle, 123, 1024, 1, out.data(), 1024, 0, &st), 1);
    EXPECT_EQ(st, 0);
    EXPECT_GE(fake.now - before, 102u);  // paced again
    EXPECT_NEAR(out[1], cosine_at(50.0, 3000.0, 0, 1), 1e-6);
    // A divider of 0 can time no block: refused at the start.
    EXPECT_EQ(Set_dbl_MulChSam(&handle, 123, 0, 1, 1, 1024), 0);

    // Another process shrinks "123_1ch" under the view kept since the start
    // while it still holds it: the next start fails instead of faulting.
    auto other = fake.shm_open_existing("123_1ch", 1024, platform::Access::ReadWrite);
    ASSERT_NE(other, nullptr);
    fake.objects.at("123_1ch")->bytes.resize(0);
    EXPECT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code_), 1, 1, 1024), 0);
    other.reset();  // once nobody holds the broken object, a start makes a new one
    EXPECT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code_), 1, 1, 1024), 1);
    // The same for the parameter block: never written once it shrank.
    fake.objects.at("Vort123SigPara")->bytes.resize(100);
    EXPECT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code_), 1, 1, 1024), 0);
}

// Parameters the signal-source program publishes while a fetch runs (after
// the fetch took its copy) stay: only the acquisition's own fields go back.
TEST_F(SimAcquisition, FetchKeepsParametersPublishedMeanwhile) {
    cosine(0, 50.0, 3000.0);
    auto block = sim::load_param_block(platform::Access::ReadWrite);
    ASSERT_NE(block, nullptr);
    p().freq1[0] = 75.0;  // published by the other process
    sim::private_copy().contSampleCount = 4096;
    ASSERT_TRUE(sim::store_param_block(*block));
    EXPECT_EQ(p().freq1[0], 75.0);
    EXPECT_EQ(p().contSampleCount, 4096u);
}

// Channel arguments at the ends of their range are refused or wrapped, never
// overflowed (UBSan checks the arithmetic).
TEST_F(SimAcquisition, ExtremeChannelArguments) {
    cosine(31, 10.0, 100.0);
    cosine(0, 10.0, 20.0);
    std::vector<double> out(64);
    EXPECT_EQ(OneChSam(123, code_, 8, 1, INT32_MIN, out.data()), 0);
    EXPECT_EQ(OneChSam(123, code_, 8, 1, INT32_MAX, out.data()), 0);
    const std::vector<double> gains(32, 1.0);
    const int first = INT32_MAX;  // entry 31, then 0
    ASSERT_EQ(MulChSamEx(123, static_cast<int>(code_), 8, 1, 2, out.data(), gains.data(), &first), 1);
    EXPECT_GT(std::fabs(out[0]), 20.0);
    EXPECT_LE(std::fabs(out[8]), 20.0);
    const int lowest = INT32_MIN;  // entry 0
    ASSERT_EQ(MulChSamEx(123, static_cast<int>(code_), 8, 1, 1, out.data(), gains.data(), &lowest), 1);
    EXPECT_LE(std::fabs(out[0]), 20.0);
}

class Triggers : public SimAcquisition {
protected:
    // A 1 Hz square of amplitude 1000, sampled at 8192 Hz (a period that is
    // exact in binary): it falls at sample 2048 and rises at 6144.
    void SetUp() override {
        double actual;
        PreSamp(123, 8192.0, &code_, &actual);
        p().waveform[0] = 4;
        p().freq1[0] = 1.0;
        p().amp1[0] = 1000.0;
        p().period[0] = 1.0;
        cosine(1, 50.0, 100.0);
    }
};

TEST_F(Triggers, EdgesAndHistory) {
    std::vector<double> out(2 * 2048);
    // Rising edge at sample 6144; 100 samples of history, the rest of the
    // 2048 fetched after the trigger block.
    ASSERT_EQ(TriMulChSam(1024 + 100, 0, 0.0, 123, static_cast<int>(code_), 2048, 1, 2, out.data()), 0);
    EXPECT_EQ(out[99], -1000.0);
    EXPECT_EQ(out[100], 1000.0);
    EXPECT_NEAR(out[2048 + 100], cosine_at(50.0, 100.0, 0, 6144, 0, 8192), 1e-6);  // channel 1, same instant
    EXPECT_NEAR(out[2048 + 2047], cosine_at(50.0, 100.0, 0, 6144 - 100 + 2047, 0, 8192), 1e-6);
    // Falling edge at 2048, history across a block boundary.
    ASSERT_EQ(TriMulChSam(2048 + 10, 0, 0.0, 123, static_cast<int>(code_), 64, 1, 1, out.data()), 0);
    EXPECT_EQ(out[9], 1000.0);
    EXPECT_EQ(out[10], -1000.0);
    // A level trigger fires on the very first sample; the history before
    // the first block is zeros. The level is taken as its magnitude.
    ASSERT_EQ(TriMulChSam(100, 0, -500.0, 123, static_cast<int>(code_), 200, 1, 1, out.data()), 0);
    EXPECT_EQ(out[99], 0.0);
    EXPECT_EQ(out[100], 1000.0);
    // A rising trigger never fires on the very first sample, which is above
    // the level already: it waits for the crossing at 6144.
    ASSERT_EQ(TriMulChSam(1024, 0, 0.0, 123, static_cast<int>(code_), 4, 1, 2, out.data()), 0);
    EXPECT_NEAR(out[4], cosine_at(50.0, 100.0, 0, 6144, 0, 8192), 1e-6);
    EXPECT_EQ(InterruptTrigSample(), 0);  // nothing runs any more
}

// The Ex variant: per-channel gains (the generator's amplitude factor) and
// a first channel; the trigger channel counts from the first channel.
TEST_F(Triggers, ExVariantWithGainsAndFirstChannel) {
    cosine(2, 50.0, 100.0);
    std::vector<double> gains(32, 1.0);
    gains[1] = 2.0;   // the square
    gains[2] = 3.0;   // the cosine on entry 2
    std::vector<double> out(2 * 256);
    const int first = 1;  // channels 1 and 2 of the source: entry 1, entry 2
    p().waveform[1] = 4;  // entry 1 becomes the square, entry 0 is left silent
    p().freq1[1] = 1.0;
    p().amp1[1] = 1000.0;
    p().period[1] = 1.0;
    p().waveform[0] = 6;
    // Rising edge of the square at sample 6144, 10 samples of history.
    ASSERT_EQ(TriMulChSamEx(1024 + 10, 0, 0.0, 123, static_cast<int>(code_), 256, 1, 2, out.data(), gains.data(),
                            &first),
              0);
    EXPECT_EQ(out[9], -2000.0);
    EXPECT_EQ(out[10], 2000.0);
    EXPECT_NEAR(out[256 + 10], 3.0 * cosine_at(50.0, 100.0, 0, 6144, 0, 8192), 1e-6);
    EXPECT_EQ(fake.word("USB_samp", 1 + 1), 2);  // gains went to words 1 + i
    EXPECT_EQ(fake.word("USB_samp", 1 + 2), 3);
}

TEST_F(Triggers, InterruptEndsTheWait) {
    std::vector<double> out(1024);
    int blocks = 0;
    fake.onWait = [&] {
        if (fake.dispatches == 3 && blocks++ == 0) {
            EXPECT_EQ(InterruptTrigSample(), 1);
        }
    };
    // A level the square never reaches.
    EXPECT_EQ(TriMulChSam(0, 0, 1e300, 123, static_cast<int>(code_), 1024, 1, 1, out.data()), 1);
    EXPECT_EQ(fake.dispatches, 3);
    EXPECT_FALSE(fake.exists("ZebTrigShareMem"));
    // A slope beyond the three is refused at once, with the card's failure
    // result, rather than waiting for an interrupt.
    EXPECT_EQ(TriMulChSam(3 * 1024, 0, 0.0, 123, static_cast<int>(code_), 1024, 1, 1, out.data()), 2);
    EXPECT_EQ(last_error().rfind("TriMulChSam failed: the mode 3072 asks for slope 3", 0), 0u) << last_error();
    EXPECT_EQ(TriMulChSamEx(63 * 1024, 0, 0.0, 805, 100, 16, 1, 1, out.data(), nullptr, nullptr), 3);
    EXPECT_EQ(fake.dispatches, 3);
    EXPECT_FALSE(fake.exists("ZebTrigShareMem"));
    // Failures: a trigger channel outside the acquisition, a cards' start.
    EXPECT_EQ(TriMulChSam(0, 5, 0.0, 123, static_cast<int>(code_), 16, 1, 2, out.data()), 2);
    EXPECT_EQ(TriMulChSam(0, 0, 0.0, 805, 100, 16, 1, 1, out.data()), 3);
    EXPECT_EQ(TriMulChSam(0, 0, 0.0, 602, 100, 16, 1, 1, out.data()), 2);
    fake.foreignNames.insert("ZebTrigShareMem");
    EXPECT_EQ(TriMulChSam(0, 0, 0.0, 123, static_cast<int>(code_), 16, 1, 1, out.data()), 4);
}

// An interrupt once the trigger has fired ends the rest of a long block:
// the samples delivered so far stay, the others are zeros, and the result
// is the interrupt's.
TEST_F(Triggers, InterruptAfterTheTriggerEndsTheBlock) {
    const int len = 100000;  // 12 s at 8192 Hz
    std::vector<double> out(len, 7.0);
    // Blocks 0 .. 5 are searched (a dispatch each), block 6 fires; then a
    // dispatch before each block of the rest: the third one interrupts.
    fake.onWait = [&] {
        if (fake.dispatches == 9) InterruptTrigSample();
    };
    const uint32_t t0 = fake.now;
    // Rising edge at sample 6144, the first sample of block 6.
    EXPECT_EQ(TriMulChSam(1024, 0, 0.0, 123, static_cast<int>(code_), len, 1, 1, out.data()), 1);
    EXPECT_LT(fake.now - t0, 3000u);  // the fake clock: a few blocks, not the whole 12 s
    EXPECT_EQ(out[0], 1000.0);
    EXPECT_EQ(out[3071], 1000.0);  // two blocks fetched after the trigger, before the interrupt
    EXPECT_EQ(out[3072], 0.0);
    EXPECT_EQ(out[len - 1], 0.0);
    EXPECT_EQ(std::count(out.begin(), out.end(), 7.0), 0);
    EXPECT_FALSE(fake.exists("ZebTrigShareMem"));
}

TEST_F(SimAcquisition, CheckcardStartsTheSignalSourceAndWaitsForIt) {
    char text[131] = "x";
    int status = -1;
    EXPECT_EQ(Checkcard(-124, text, &status), 1);
    EXPECT_TRUE(fake.startedPrograms.empty());  // the block exists
    EXPECT_TRUE(fake.exists("USB_samp2"));
    params_.reset();
    // The program publishes its block 300 ms after it was started: Checkcard
    // returns once it is there, and the first acquisition succeeds.
    platform::SharedMemoryPtr published;
    const uint32_t started = fake.now;
    fake.onStartProgram = [&](const std::string&) {
        fake.onWait = [&] {
            if (fake.now - started >= 300 && !published) published = fake.shm_create_or_open("Vort123SigPara", 4000, nullptr);
        };
    };
    EXPECT_EQ(Checkcard(123, text, &status), 1);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(status, 0);
    EXPECT_GE(fake.now - started, 300u);
    EXPECT_LT(fake.now - started, 400u);
    std::vector<double> out(16);
    EXPECT_EQ(OneChSam(123, code_, 16, 1, 1, out.data()), 1);
    EXPECT_EQ(Checkcard(123, text, &status), 1);
    EXPECT_EQ(fake.startedPrograms, std::vector<std::string>{"GENWAVE"});

    // A program that never publishes: 0 after a bounded wait, with the reason.
    published.reset();
    fake.onWait = nullptr;
    fake.onStartProgram = nullptr;
    const uint32_t t0 = fake.now;
    EXPECT_EQ(Checkcard(123, text, &status), 0);
    EXPECT_STREQ(text, "GENWAVE was started but published no parameters within 5 s");
    EXPECT_GE(fake.now - t0, 5000u);
    EXPECT_LT(fake.now - t0, 5100u);
    // A program that cannot be started at all: 0 at once, naming where it was looked for.
    fake.programMissing = true;
    EXPECT_EQ(Checkcard(-123, text, &status), 0);
    EXPECT_STREQ(text, "GENWAVE could not be started; looked for in the fake's list");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Checkcard(854, text, &status), 1);
    EXPECT_STREQ(text, "");
    // A status block that cannot be created is reported, for cards too.
    reset_process_state_for_tests();
    status_.reset();
    fake.foreignNames.insert("USB_samp");
    EXPECT_EQ(Checkcard(602, text, &status), 0);
    EXPECT_STREQ(text, "The status block USB_samp cannot be created (system error 6)");
}

}  // namespace
}  // namespace kelmo::test

namespace kelmo::test {
namespace {

// Parameters are written by another process: whatever the block holds,
// every family gives finite values (or refuses) and touches nothing
// outside its buffers.
TEST_F(SimAcquisition, AnyParameterBlockGivesFiniteOutput) {
    uint32_t state = 12345;
    auto next = [&] { return state = state * 1664525u + 1013904223u; };
    const double specials[] = {0.0, -0.0, 1.0, -1.0, 1e300, -1e300, 1e-300, std::nan(""), INFINITY, -INFINITY,
                               5000.0, 0.5, 4.0, 1e9};
    std::vector<double> out(8 * 256);
    std::vector<int16_t> words(8 * 256);
    uint32_t handle = 0;
    for (int round = 0; round < 40; ++round) {
        auto* raw = static_cast<uint32_t*>(params_->data());
        for (int w = 0; w < 992; ++w) raw[w] = next();  // the parameter fields, not the continuous ones
        if (round % 2) {  // readable numbers, with the awkward ones among them
            for (int k = 0; k < 32; ++k) {
                p().waveform[k] = static_cast<int32_t>(next() % 9) - 1;
                p().modulation[k] = static_cast<int32_t>(next() % 13) - 1 + (next() % 4 == 0 ? 10000 : 0);
                p().shapeParam[k] = static_cast<int32_t>(next() % 2401) - 1200;
                double* fields[] = {&p().phase[k], &p().freq1[k], &p().freq2[k], &p().amp1[k],
                                    &p().amp2[k],  &p().period[k], &p().damping[k], &p().burstCycles[k]};
                for (double* f : fields) *f = specials[next() % std::size(specials)];
            }
        }
        // Every family delivers (the block exists and the arguments are
        // good); values are finite and within full scale; the raw forms stay
        // inside their buffers (a guard word after each).
        std::fill(out.begin(), out.end(), 0.0);
        ASSERT_EQ(MulChSam(123, static_cast<int>(code_), 256, 1, 8, out.data()), 1);
        for (double v : out) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) <= 5000.0) << round;
        words.assign(8 * 256 + 1, 0x7E7E);
        ASSERT_EQ(MulChSamW(123, static_cast<int>(code_), 256, 1, 8, words.data()), 1);
        ASSERT_EQ(words.back(), 0x7E7E);
        ASSERT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code_), 1, 0x1808, 1000), 1);  // 8 from 24
        ASSERT_EQ(get_dbl_data(&handle, 123, 256, 8, out.data(), 256, 0, nullptr), 1);
        for (double v : out) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) <= 5000.0) << round;
        words.assign(8 * 256 + 1, 0x7E7E);
        ASSERT_EQ(get_dbl_dataW(&handle, 123, 256, 8, words.data(), 256, 0, nullptr), 1);
        ASSERT_EQ(words.back(), 0x7E7E);
    }
}

// Cards go through the driver: one request, then conversion.
TEST_F(SimAcquisition, DriverBlockInThirtyTwoFoldMode) {
    fake.deviceMissing = false;
    fake.set_word("USB_samp", 0, -1);
    fake.handler = [](uint32_t, const platform::RequestRecord&, void* out, uint32_t size, uint32_t*) {
        auto* w = static_cast<int16_t*>(out);
        for (uint32_t i = 0; i < size / 2; ++i) w[i] = static_cast<int16_t>(i % 32 == 0 ? i / 32 : -1);
        return true;
    };
    std::vector<double> out(100);
    ASSERT_EQ(OneChSam(602, 0x12345, 100, 8, 3, out.data()), 1);
    ASSERT_EQ(fake.requests.size(), 1u);
    const auto& r = fake.requests[0];
    EXPECT_EQ(r.code, 0x222007u);
    EXPECT_EQ(r.record.samples, 3200);
    EXPECT_EQ(r.record.divider, 0x2345);
    EXPECT_EQ(r.record.gainCode, 3);
    EXPECT_EQ(r.record.channel, -2);
    for (int i : {0, 1, 99}) EXPECT_EQ(out[i], i * 0.152587890625);  // raw sample 32 x i
    EXPECT_EQ(fake.openDevices, 0);
    // Gain 1 on 653 is sent as 255; a gain of 0 has no code and is refused.
    fake.set_word("USB_samp", 0, 1);
    ASSERT_EQ(OneChSam(653, 10, 4, 1, 1, out.data()), 1);
    EXPECT_EQ(fake.requests.back().record.gainCode, 255);
    EXPECT_EQ(OneChSam(653, 10, 4, 0, 1, out.data()), 0);
    // A device that is missing: the console line with the system's code.
    fake.deviceMissing = true;
    EXPECT_EQ(MulChSam(602, 10, 4, 1, 1, out.data()), 0);
    ASSERT_FALSE(fake.consoleLines.empty());
    EXPECT_EQ(fake.consoleLines.back(), "Failed to obtain file handle to device: ZEB1 with Win32 error code: 2\n");
    EXPECT_TRUE(fake.livePages.empty());

    // The reason, for the console reader beside the line and for the host:
    // the whole length is returned, the copy is cut to the buffer, and it
    // belongs to this thread alone until its next export.
    const std::string expected = "MulChSam failed: the fake device ZEB1 is missing (injected failure 2)";
    EXPECT_EQ(fake.consoleWords.back(), expected);
    char small[9] = "xxxxxxxx";
    EXPECT_EQ(kelmo_last_error(nullptr, 0), static_cast<int>(expected.size()));
    EXPECT_EQ(kelmo_last_error(small, sizeof small), static_cast<int>(expected.size()));
    EXPECT_STREQ(small, "MulChSam");
    std::string other = "unset";
    std::thread([&] {
        char r[200] = "unset";
        kelmo_last_error(r, sizeof r);
        other = r;
    }).join();
    EXPECT_EQ(other, "");
    EXPECT_EQ(kelmo_last_error(small, 0), static_cast<int>(expected.size()));  // asking changes nothing
    // A message handler asking while the export runs gets its reason so far.
    static std::string asked;
    kelmo_set_message_handler([](const char*, void*) {
        char r[200];
        kelmo_last_error(r, sizeof r);
        asked = r;
    }, nullptr);
    EXPECT_EQ(OneChSam(602, 10, 4, 1, 1, out.data()), 0);
    kelmo_set_message_handler(nullptr, nullptr);
    EXPECT_EQ(asked, "OneChSam failed: the fake device ZEB1 is missing (injected failure 2)");
    fake.deviceMissing = false;
    ASSERT_EQ(OneChSam(653, 10, 4, 1, 1, out.data()), 1);
    EXPECT_EQ(kelmo_last_error(nullptr, 0), 0);
}

}  // namespace
}  // namespace kelmo::test
