// The sound card on a real sound stack: on Linux a PulseAudio server of the
// test's own, whose default source is a 1000 Hz sine, reached through
// ALSA's default device; under wine the server the test run started, reached
// through wine's waveform input.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "sources/sound/caps.h"
#include "sources/sound/state.h"
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
    // Channel 1 on its own: the second channel of a stereo capture (the
    // server spreads its mono source over both); channel 2 there is not.
    ASSERT_EQ(OneChSamW(800, 8, 8192, 1, 2, w.data()), 1);
    EXPECT_NEAR(shape(w).crossings, 2 * kTone * 8192 / 44100, 2);
    EXPECT_GT(shape(w).peak, 8000);
    kelmo_set_message_handler([](const char*, void*) {}, nullptr);
    EXPECT_EQ(OneChSamW(800, 8, 8192, 1, 3, w.data()), 0);
    kelmo_set_message_handler(nullptr, nullptr);

    // Values: the code x the input gain x 140 / 32768.
    sound::process_state().inputGain = 1.0;
    std::vector<double> v(4096);
    ASSERT_EQ(OneChSam(800, 8, 4096, 1, 1, v.data()), 1);
    double peak = 0;
    for (double x : v) peak = std::max(peak, std::fabs(x));
    EXPECT_NEAR(peak, s.peak * 0.0042724609375, 0.05 * peak);
}

// Blocks of a continuous capture join: the step between the last sample of
// one block and the first of the next is a step of the tone, not a jump.
// Mono and stereo, a host that fetches at once and one that comes back
// only every 100 ms or 40 ms (in stereo, beyond the first pass of the ring and
// through the source's start-up burst).
void expect_joined(const std::vector<int16_t>& all) {
    const Shape s = shape(all);
    const double step = 2 * 3.14159265358979323846 * kTone / 44100 * s.peak;  // the largest step of the tone
    for (std::size_t i = 1; i < all.size(); ++i)
        ASSERT_LE(std::abs(all[i] - all[i - 1]), step * 1.1 + 2) << "at " << i;
    EXPECT_NEAR(s.crossings, 2 * kTone * all.size() / 44100, 2);
}

void capture_joined(int nch, int len, int blocks, int pauseMs) {
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, nch, len), 1);
    std::vector<std::vector<int16_t>> all(nch);
    std::vector<int16_t> block(std::size_t(nch) * len);
    for (int b = 0; b < blocks; ++b) {
        ASSERT_EQ(get_dbl_dataW(&handle, 800, len, nch, block.data(), len, 0, nullptr), 1) << b;
        for (int c = 0; c < nch; ++c) all[c].insert(all[c].end(), block.begin() + c * len, block.begin() + (c + 1) * len);
        if (pauseMs) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    recover(&handle, 800);
    for (int c = 0; c < nch; ++c) expect_joined(all[c]);
}

TEST_F(SoundStack, ContinuousBlocksJoin) {
    capture_joined(1, 1024, 60, 0);
    capture_joined(2, 1024, 150, 0);
    capture_joined(1, 5120, 15, 100);
    capture_joined(2, 2048, 25, 40);
}

// Threads share the process's one capture device and one playback. Block
// acquisitions take turns and each delivers the tone; a continuous capture
// that another thread's block closes fails its fetch cleanly; a playback
// closed under a writer fails the write. Nothing touches freed memory
// (this runs under AddressSanitizer too).
TEST_F(SoundStack, ThreadsTakeTurns) {
    static std::mutex seenLock;
    static std::vector<std::string> seen;
    kelmo_set_message_handler([](const char* text, void*) {
        std::lock_guard<std::mutex> g(seenLock);
        seen.emplace_back(text);
    }, nullptr);
    std::atomic<int> badBlocks{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> blocks;
    for (int t = 0; t < 3; ++t)
        blocks.emplace_back([&] {
            std::vector<int16_t> w(4096);
            std::vector<double> v(4096);
            for (int i = 0; i < 4; ++i) {
                if (OneChSamW(800, 8, 4096, 1, 1, w.data()) != 1 || shape(w).peak < 8000) ++badBlocks;
                if (OneChSam(800, 8, 4096, 1, 1, v.data()) != 1) ++badBlocks;
            }
        });
    std::thread continuous([&] {
        std::vector<int16_t> block(1024);
        while (!done) {
            uint32_t handle = 0;
            if (Set_dbl_MulChSam(&handle, 800, 8, 1, 1, 1024) == 1)
                for (int b = 0; b < 5 && get_dbl_dataW(&handle, 800, 1024, 1, block.data(), 1024, 0, nullptr); ++b) {
                }
            recover(&handle, 800);
        }
    });
    std::thread player([&] {
        const std::vector<double> tone(8000, 100.0);
        while (!done) {
            if (OpenSpeaker(8000, 1, 65535, 1000.0) == 1)
                for (int start = 0; start + 1024 <= 4096; start += 1024) TransSpeakerData(1024, start, 8000, tone.data(), nullptr);
            CloseSpeaker();
        }
    });
    std::thread writer([&] {
        const std::vector<double> tone(8000, 100.0);
        while (!done) {
            TransSpeakerData(1024, 0, 8000, tone.data(), nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (auto& t : blocks) t.join();
    done = true;
    continuous.join();
    player.join();
    writer.join();
    kelmo_set_message_handler(nullptr, nullptr);
    EXPECT_EQ(badBlocks, 0);
    // The blocks' own steps never failed: whatever was shown came from the
    // continuous capture and the playback that other threads closed.
    for (const std::string& m : seen) EXPECT_EQ(m.find("PrepareHeader 1st"), std::string::npos) << m;
}

#ifndef _WIN32
// A host started with its standard descriptors closed: what the sound
// stack opens and keeps while a capture and a playback run lands above
// them, so that the host's output never goes into a sound server's socket.
TEST_F(SoundStack, StandardDescriptorsStayFree) {
    int saved[3];
    for (int fd = 0; fd < 3; ++fd) saved[fd] = ::dup(fd);
    for (int fd = 0; fd < 3; ++fd) ::close(fd);
    uint32_t handle = 0;
    const int started = Set_dbl_MulChSam(&handle, 800, 8, 1, 1, 1024);
    const int opened = OpenSpeaker(8000, 1, 65535, 1000.0);
    bool closed[3];
    for (int fd = 0; fd < 3; ++fd) closed[fd] = ::fcntl(fd, F_GETFD) == -1;
    CloseSpeaker();
    recover(&handle, 800);
    for (int fd = 0; fd < 3; ++fd) {
        ::dup2(saved[fd], fd);
        ::close(saved[fd]);
    }
    EXPECT_EQ(started, 1);
    EXPECT_EQ(opened, 1);
    for (int fd = 0; fd < 3; ++fd) EXPECT_TRUE(closed[fd]) << "descriptor " << fd << " was taken";
}
#endif

// Checkcard reads the recording input's volume and turns it into the
// input gain: full volume 1.0, half volume 10^0.3 (four steps of 1.5 dB).
#ifndef _WIN32
TEST_F(SoundStack, CheckcardReadsTheInputVolume) {
    char text[131] = "x";
    int status = -1;
    ASSERT_EQ(std::system("pactl set-source-volume sine 100%"), 0);
    ASSERT_EQ(Checkcard(800, text, &status), 1);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(status, 0);
    EXPECT_DOUBLE_EQ(sound::process_state().inputGain, 1.0);

    ASSERT_EQ(std::system("pactl set-source-volume sine 50%"), 0);
    ASSERT_EQ(Checkcard(800, text, &status), 1);
    EXPECT_NEAR(sound::process_state().inputGain, std::pow(10.0, 0.3), 1e-12);
    // The full scale follows, and values are codes x gain x 140 / 32768.
    int fullScale = 0;
    GetADParameter(800, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &fullScale);
    EXPECT_EQ(fullScale, 279);  // 140 x 10^0.3
    std::vector<int16_t> w(4096);
    std::vector<double> v(4096);
    ASSERT_EQ(OneChSamW(800, 8, 4096, 1, 1, w.data()), 1);
    ASSERT_EQ(OneChSam(800, 8, 4096, 1, 1, v.data()), 1);
    double peak = 0;
    for (double x : v) peak = std::max(peak, std::fabs(x));
    EXPECT_NEAR(peak, shape(w).peak * std::pow(10.0, 0.3) * 140 / 32768, 0.05 * peak);
    ASSERT_EQ(std::system("pactl set-source-volume sine 100%"), 0);
}
#else
// wine's wave mapper has no mixer of its own: the check stops there.
TEST_F(SoundStack, CheckcardStopsAtTheMappersMixer) {
    char text[131] = "x";
    int status = -1;
    EXPECT_EQ(Checkcard(800, text, &status), 0);
    EXPECT_STREQ(text, ".InputXxxVolume: FAILURE: WaveIn Mapper in Mixer is not available. mmResult=5\n");
    EXPECT_EQ(status, 0);
}
#endif

// Playback into the null sink, recorded from its monitor: the copied path
// (8000 Hz on an 8000 Hz device) and the resampled one (2000 Hz played at
// 8000 Hz). The tone arrives at its frequency and level (half of full
// scale at full volume; a quarter at half volume).
#ifndef _WIN32
double tone_level(const std::vector<int16_t>& w, double freq, double rate) {
    // The amplitude of one frequency over the middle half second of the tone.
    std::size_t first = w.size(), last = 0;
    for (std::size_t i = 0; i < w.size(); ++i)
        if (std::abs(w[i]) > 1000) first = std::min(first, i), last = i;
    const std::size_t n = std::size_t(rate / 2);
    if (first >= last || last - first < n) return 0;
    const std::size_t from = (first + last - n) / 2;
    double re = 0, im = 0;
    for (std::size_t i = 0; i < n; ++i) {
        re += w[from + i] * std::cos(2 * 3.14159265358979323846 * freq * double(i) / rate);
        im += w[from + i] * std::sin(2 * 3.14159265358979323846 * freq * double(i) / rate);
    }
    return 2 * std::hypot(re, im) / double(n);
}

std::vector<int16_t> play_and_record(double rate, double freq, int volume) {
    const std::string file = testing::TempDir() + "kelmo-played-" + std::to_string(::getpid()) + ".raw";
    const std::string rec = "parecord --device=out.monitor --raw --format=s16le --rate=8000 --channels=1 " + file +
                            " >/dev/null 2>&1 & echo $! >" + file + ".pid";
    EXPECT_EQ(std::system(rec.c_str()), 0);
    // Play once the recording runs.
    struct stat st{};
    for (int i = 0; i < 100 && (::stat(file.c_str(), &st) != 0 || st.st_size < 1600); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int n = int(rate * 2);
    std::vector<double> signal(n);
    for (int i = 0; i < n; ++i) signal[i] = 500.0 * std::sin(2 * 3.14159265358979323846 * freq * i / rate);
    EXPECT_EQ(OpenSpeaker(rate, 1, volume, 1000.0), 1);
    const int block = rate > 4000 ? 4096 : 1024;
    for (int start = 0; start + block <= n; start += block)
        EXPECT_EQ(TransSpeakerData(block, start, n, signal.data(), nullptr), 1) << start;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(CloseSpeaker(), 1);
    std::system(("kill $(cat " + file + ".pid); sleep 0.3").c_str());
    std::ifstream in(file, std::ios::binary);
    std::vector<int16_t> w;
    int16_t v;
    while (in.read(reinterpret_cast<char*>(&v), 2)) w.push_back(v);
    if (std::getenv("KELMO_KEEP_RECORDING")) return w;
    std::remove(file.c_str());
    std::remove((file + ".pid").c_str());
    return w;
}

TEST_F(SoundStack, PlaysIntoTheSink) {
    if (std::system("command -v parecord >/dev/null 2>&1") != 0) GTEST_SKIP() << "parecord is not installed";
    const std::vector<int16_t> copied = play_and_record(8000, 440, 65535);
    ASSERT_GT(copied.size(), 4000u);
    EXPECT_NEAR(tone_level(copied, 440, 8000), 16384, 0.1 * 16384);
    EXPECT_LT(tone_level(copied, 600, 8000), 0.02 * 16384);
    const std::vector<int16_t> resampled = play_and_record(2000, 300, 32767);
    ASSERT_GT(resampled.size(), 4000u);
    EXPECT_NEAR(tone_level(resampled, 300, 8000), 8192, 0.1 * 8192);
    EXPECT_LT(tone_level(resampled, 1700, 8000), 0.02 * 8192);  // no image of the tone
}
#endif

// The server goes away in the middle of a capture and of a playback: the
// fetch and the playback end with 0 in bounded time, and recover and
// CloseSpeaker clean up.
#ifndef _WIN32
TEST_F(SoundStack, ServerThatGoesAway) {
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 800, 8, 1, 1, 1024), 1);
    std::vector<double> block(1024);
    ASSERT_EQ(get_dbl_data(&handle, 800, 1024, 1, block.data(), 1024, 0, nullptr), 1);
    // A playback runs too.
    const std::vector<double> tone(8000, 100.0);
    ASSERT_EQ(OpenSpeaker(8000, 1, 65535, 1000.0), 1);
    ASSERT_EQ(TransSpeakerData(1024, 0, 8000, tone.data(), nullptr), 1);
    stop_server();
    int result = 1;
    const auto t0 = std::chrono::steady_clock::now();
    for (int b = 0; b < 200 && result; ++b) result = get_dbl_data(&handle, 800, 1024, 1, block.data(), 1024, 0, nullptr);
    EXPECT_EQ(result, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
    recover(&handle, 800);
    const auto t1 = std::chrono::steady_clock::now();
    for (int start = 1024; start < 8000 - 1024 && result == 0; start += 1024)
        result = TransSpeakerData(1024, start, 8000, tone.data(), nullptr) ? 0 : -1;
    EXPECT_EQ(result, -1);  // a block failed
    EXPECT_LT(std::chrono::steady_clock::now() - t1, std::chrono::seconds(30));
    CloseSpeaker();
}
#endif

}  // namespace
}  // namespace kelmo::test
