// The sound card on a real sound stack: on Linux a PulseAudio server of the
// test's own, whose default source is a 1000 Hz sine, reached through
// ALSA's default device; under wine the server the test run started, reached
// through wine's waveform input.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <chrono>

#include "core/share_block.h"
#include "kelmo.h"
#include "peer_process.h"
#include "platform/platform.h"

namespace kelmo::test {
namespace {

constexpr double kTone = 1000.0;

class SoundStack : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
#ifdef _WIN32
        uint32_t formats = 0;
        running_ = platform::current().wave_in_caps(0, &formats) == 0;
#else
        if (std::system("command -v pulseaudio >/dev/null 2>&1 && command -v pactl >/dev/null 2>&1") != 0) return;
        dir_ = testing::TempDir() + "kelmo-pulse-" + std::to_string(::getpid());
        ::mkdir(dir_.c_str(), 0700);
        set_env("XDG_RUNTIME_DIR", dir_.c_str());
        set_env("PULSE_SERVER", nullptr);
        const std::string start =
            "pulseaudio --daemonize=yes --exit-idle-time=-1 -n --load=module-native-protocol-unix "
            "--load='module-null-sink sink_name=out' "
            "--load='module-sine-source source_name=sine rate=44100 frequency=1000' >/dev/null 2>&1 && "
            "pactl set-default-source sine";
        running_ = std::system(start.c_str()) == 0;
#endif
    }
    static void TearDownTestSuite() { stop_server(); }
    static void stop_server() {
#ifndef _WIN32
        std::ifstream pid(dir_ + "/pulse/pid");
        long p = 0;
        if (pid >> p && p > 0) ::kill(static_cast<pid_t>(p), SIGTERM);
        for (int i = 0; i < 50 && p > 0 && ::kill(static_cast<pid_t>(p), 0) == 0; ++i) ::usleep(100000);
#endif
        running_ = false;
    }
    void SetUp() override {
        if (!running_) GTEST_SKIP() << "no sound server here (PulseAudio could not be started, or wine has no capture device)";
        uint32_t code = 0;
        double actual = 0;
        ASSERT_EQ(PreSamp(800, 44100, &code, &actual), 1);
        ASSERT_EQ(code, 8u);
    }
    static std::string dir_;
    static bool running_;
};
std::string SoundStack::dir_;
bool SoundStack::running_ = false;

// Crossings of zero and the peak of a block of words.
struct Shape {
    int crossings = 0, peak = 0;
};
Shape shape(const std::vector<int16_t>& w) {
    Shape s;
    for (std::size_t i = 1; i < w.size(); ++i) {
        if ((w[i - 1] < 0) != (w[i] < 0)) ++s.crossings;
        s.peak = std::max(s.peak, std::abs(int{w[i]}));
    }
    return s;
}

TEST_F(SoundStack, CapturesTheSourcesTone) {
    std::vector<int16_t> w(8192);
    ASSERT_EQ(OneChSamW(800, 8, 8192, 1, 1, w.data()), 1);
    const Shape s = shape(w);
    EXPECT_NEAR(s.crossings, 2 * kTone * 8192 / 44100, 2);  // within one bin
    EXPECT_GT(s.peak, 8000);

    // Values: the code x the input gain x 140 / 32768.
    process_state().soundInputGain = 1.0;
    std::vector<double> v(4096);
    ASSERT_EQ(OneChSam(800, 8, 4096, 1, 1, v.data()), 1);
    double peak = 0;
    for (double x : v) peak = std::max(peak, std::fabs(x));
    EXPECT_NEAR(peak, s.peak * 0.0042724609375, 0.05 * peak);
}

// Blocks of a continuous capture join: the step between the last sample of
// one block and the first of the next is a step of the tone, not a jump.
TEST_F(SoundStack, ContinuousBlocksJoin) {
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, 1, 1024), 1);
    std::vector<int16_t> all;
    std::vector<int16_t> block(1024);
    for (int b = 0; b < 60; ++b) {
        ASSERT_EQ(get_dbl_dataW(&handle, 800, 1024, 1, block.data(), 1024, 0, nullptr), 1) << b;
        all.insert(all.end(), block.begin(), block.end());
    }
    recover(&handle, 800);
    const Shape s = shape(all);
    const double step = 2 * 3.14159265358979323846 * kTone / 44100 * s.peak;  // the largest step of the tone
    for (std::size_t i = 1; i < all.size(); ++i)
        ASSERT_LE(std::abs(all[i] - all[i - 1]), step * 1.1 + 2) << "at " << i;
    EXPECT_NEAR(s.crossings, 2 * kTone * all.size() / 44100, 2);
}

// The server goes away in the middle of a capture: the fetch ends with 0
// in bounded time and recover cleans up.
#ifndef _WIN32
TEST_F(SoundStack, ServerThatGoesAway) {
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, 1, 1024), 1);
    std::vector<double> block(1024);
    ASSERT_EQ(get_dbl_data(&handle, 800, 1024, 1, block.data(), 1024, 0, nullptr), 1);
    stop_server();
    int result = 1;
    const auto t0 = std::chrono::steady_clock::now();
    for (int b = 0; b < 200 && result; ++b) result = get_dbl_data(&handle, 800, 1024, 1, block.data(), 1024, 0, nullptr);
    EXPECT_EQ(result, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
    recover(&handle, 800);
}
#endif

}  // namespace
}  // namespace kelmo::test
