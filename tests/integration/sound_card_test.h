// What the sound card's tests share: the sound stack they run on (a server
// whose default source is a 1000 Hz sine) and the shape of what they
// capture.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "kelmo.h"
#include "peer_process.h"
#include "platform/platform.h"

namespace kelmo::test {

inline constexpr double kTone = 1000.0;

class SoundStack : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = testing::TempDir() + "kelmo-pulse-" + std::to_string(platform::current().system.process_id());
        running_ = start_sound_server(dir_);
    }
    static void TearDownTestSuite() { stop_server(); }
    static void stop_server() {
        stop_sound_server(dir_);
        running_ = false;
    }
    void SetUp() override {
        if (!running_) GTEST_SKIP() << "no sound server here (PulseAudio could not be started, or wine has no capture device)";
        uint32_t code = 0;
        double actual = 0;
        ASSERT_EQ(PreSamp(800, 44100, &code, &actual), 1);
        ASSERT_EQ(code, 8u);
    }
    inline static std::string dir_;
    inline static bool running_ = false;
};

// Crossings of zero and the peak of a block of words.
struct Shape {
    int crossings = 0, peak = 0;
};
inline Shape shape(const std::vector<int16_t>& w) {
    Shape s;
    for (std::size_t i = 1; i < w.size(); ++i) {
        if ((w[i - 1] < 0) != (w[i] < 0)) ++s.crossings;
        s.peak = std::max(s.peak, std::abs(int{w[i]}));
    }
    return s;
}

}  // namespace kelmo::test
