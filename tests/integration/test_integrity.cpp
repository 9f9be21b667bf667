// A continuous acquisition never delivers a block twice or skips one:
// every sample of thousands of fetches, of lengths that change from fetch
// to fetch, is checked against the one running time base, from the
// simulated source (genwave in another process) and from zebsim.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "kelmo.h"
#include "peer_process.h"
#include "platform/platform.h"

namespace kelmo::test {
namespace {

constexpr double kPi = 3.14159265358979323846;

// The fraction of a cycle after n steps of d cycles, kept small.
double cycles(double perStep, uint64_t n) {
    const double c = perStep * static_cast<double>(n);
    return c - std::floor(c);
}

// A fetch length from a sequence that visits short, odd and long blocks.
int length_of(uint64_t k) { return 1 + static_cast<int>((k * 389) % 700); }

// ---- the simulated source ----

// Entries 0 and 1 are cosines; the rest of the block gives no signal.
struct Cosine {
    double f, a, phi;
};
const Cosine kEntry[2] = {{37.3, 2000.0, 0.5}, {11.7, 1500.0, -1.0}};

class SimulatedIntegrity : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char text[131];
        int status;
        ASSERT_EQ(Checkcard(5, text, &status), 1);
    }
    SimulatedIntegrity() {
        path_ = testing::TempDir() + "kelmo-integrity-" + std::to_string(::getpid()) + ".toml";
        FILE* f = std::fopen(path_.c_str(), "w");
        for (int e = 0; e < 2; ++e)
            std::fprintf(f, "[[channel]]\nentry = %d\nwaveform = \"cosine\"\nfreq1 = %.17g\namp1 = %.17g\nphase = %.17g\n\n",
                         e, kEntry[e].f, kEntry[e].a, kEntry[e].phi);
        std::fclose(f);
        genwave_ = std::make_unique<PeerProcess>(program_command("genwave") + " -p " + path_);
        EXPECT_TRUE(genwave_->ready());
        for (int i = 0; i < 250 && !platform::current().shm.shm_open_existing("Vort123SigPara", 4000,
                                                                          platform::Access::ReadOnly);
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        double actual = 0;
        EXPECT_EQ(PreSamp(123, 10000.0, &code_, &actual), 1);
        dt_ = code_ / 4.096e13;  // clock scale 1 at 10 kHz
    }
    ~SimulatedIntegrity() override {
        genwave_->terminate();
        genwave_->wait();
        std::remove(path_.c_str());
    }
    double value(int e, uint64_t n) const {
        return kEntry[e].a * std::cos(2 * kPi * cycles(kEntry[e].f * dt_, n) + kEntry[e].phi);
    }
    uint32_t published() const {
        auto b = platform::current().shm.shm_open_existing("Vort123SigPara", 4000, platform::Access::ReadOnly);
        return b ? static_cast<uint32_t>(b->word(3968 / 4)) : 0;
    }
    std::string path_;
    std::unique_ptr<PeerProcess> genwave_;
    uint32_t code_ = 0;
    double dt_ = 0;
};

TEST_F(SimulatedIntegrity, ThousandsOfValueBlocks) {
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code_), 1, 2, 1024), 1);
    std::vector<double> block(2 * 700);
    uint64_t at = 0;
    for (uint64_t k = 0; k < 6000; ++k) {
        const int len = length_of(k);
        int status = -1;
        ASSERT_EQ(get_dbl_data(&handle, 1230, len, 2, block.data(), len, 0, &status), 1) << k;  // unpaced
        ASSERT_EQ(status, 0);
        for (int e = 0; e < 2; ++e)
            for (int s = 0; s < len; ++s)
                ASSERT_NEAR(block[std::size_t(e) * len + s], value(e, at + s), 1e-3)
                    << "fetch " << k << " entry " << e << " sample " << s;
        at += static_cast<uint64_t>(len);
    }
    EXPECT_EQ(published(), at);  // the running count the library keeps
    recover(&handle, 123);
}

// Raw codes, interleaved, of two channels and of a single one: the same
// running time base.
TEST_F(SimulatedIntegrity, ThousandsOfCodeBlocks) {
    for (const int channels : {2, -1}) {  // entries 0 and 1; entry 1 alone
        SCOPED_TRACE(channels);
        uint32_t handle = 0;
        ASSERT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code_), 1, channels, 1024), 1);
        const int nch = channels > 0 ? channels : 1;
        std::vector<int16_t> words(2 * 700);
        uint64_t at = 0;
        for (uint64_t k = 0; k < 3000; ++k) {
            const int len = length_of(k * 7);
            int status = -1;
            ASSERT_EQ(get_dbl_dataW(&handle, 1230, len, nch, words.data(), 0, 65535, &status), 1) << k;
            for (int i = 0; i < nch; ++i) {
                const int e = channels > 0 ? i : 1;
                for (int s = 0; s < len; ++s) {
                    const double code = std::trunc(value(e, at + s) * 6.5536);
                    ASSERT_NEAR(words[std::size_t(s) * nch + i], code, 1.0)
                        << "fetch " << k << " entry " << e << " sample " << s;
                }
            }
            at += static_cast<uint64_t>(len);
        }
        EXPECT_EQ(published(), at);
        recover(&handle, 123);
    }
}

// ---- zebsim ----

class CardIntegrity : public ::testing::Test {
protected:
    CardIntegrity() {
        dir_ = testing::TempDir() + "kelmo-integrity-zebsim-" + std::to_string(::getpid());
        set_env("KELMO_DEVICE_DIR", dir_.c_str());
        char text[131];
        int status;
        Checkcard(5, text, &status);
        std::string signals;
        for (int c = 0; c < 3; ++c) {
            char s[80];
            std::snprintf(s, sizeof s, " --signal %d:%.17g:%.17g", c, kRatio[c], kAmp[c]);
            signals += s;
        }
        zebsim_ = std::make_unique<PeerProcess>(program_command("zebsim") + " --unpaced --dir " + dir_ + signals);
        EXPECT_TRUE(zebsim_->ready());
    }
    ~CardIntegrity() override {
        zebsim_->terminate();
        EXPECT_EQ(zebsim_->wait(), 0);
        ::rmdir(dir_.c_str());
        set_env("KELMO_DEVICE_DIR", nullptr);
    }
    // Channel c carries kAmp[c] sin(2 pi kRatio[c] s) at raw sample s; no
    // two blocks of a run alike.
    static constexpr double kRatio[3] = {0.0123456, 0.00731, 0.0419};
    static constexpr double kAmp[3] = {2500.0, 1234.0, 3000.0};
    static double expected(int c, uint64_t s) { return kAmp[c] * std::sin(2 * kPi * cycles(kRatio[c], s)); }
    std::string dir_;
    std::unique_ptr<PeerProcess> zebsim_;
};

TEST_F(CardIntegrity, AThousandFetches) {
    const double code = 10000.0 / 65536;  // signed 16-bit, +-5000
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 638, 100, 1, 3, 1024), 1);
    std::vector<double> block(3 * 700);
    std::vector<int16_t> words(3 * 700);
    uint64_t at = 0;
    for (uint64_t k = 0; k < 1000; ++k) {
        const int len = length_of(k);
        int status = -1;
        if (k % 3 == 2) {  // raw words, interleaved
            ASSERT_EQ(get_dbl_dataW(&handle, 638, len, 3, words.data(), 0, 65535, &status), 1) << k;
            for (int c = 0; c < 3; ++c)
                for (int s = 0; s < len; ++s)
                    ASSERT_NEAR(words[std::size_t(s) * 3 + c] * 5000.0 / 32768, expected(c, at + s), 1.01 * code)
                        << "fetch " << k << " channel " << c << " sample " << s;
        } else {
            ASSERT_EQ(get_dbl_data(&handle, 638, len, 3, block.data(), len, 0, &status), 1) << k;
            for (int c = 0; c < 3; ++c)
                for (int s = 0; s < len; ++s)
                    ASSERT_NEAR(block[std::size_t(c) * len + s], expected(c, at + s), 1.01 * code)
                        << "fetch " << k << " channel " << c << " sample " << s;
        }
        EXPECT_EQ(status, 0);  // delivered in time
        at += static_cast<uint64_t>(len);
    }
    recover(&handle, 638);
}

}  // namespace
}  // namespace kelmo::test
