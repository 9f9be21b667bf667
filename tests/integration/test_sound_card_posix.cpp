// The sound card on Linux's sound stack (a PulseAudio server of the test's
// own, through ALSA's default device): the standard descriptors stay free,
// Checkcard reads the source's volume, playback reaches the null sink, and
// a server that goes away ends capture and playback cleanly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kelmo.h"
#include "sound_card_test.h"
#include "platform/platform.h"
#include "sources/sound/state.h"

namespace kelmo::test {
namespace {

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

// Checkcard reads the recording input's volume and turns it into the
// input gain: full volume 1.0, half volume 10^0.3 (four steps of 1.5 dB).
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

// Playback into the null sink, recorded from its monitor: the copied path
// (8000 Hz on an 8000 Hz device) and the resampled one (2000 Hz played at
// 8000 Hz). The tone arrives at its frequency and level (half of full
// scale at full volume; a quarter at half volume).
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

// The samples of a recording file so far.
std::vector<int16_t> samples_of(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<int16_t> w;
    int16_t v;
    while (in.read(reinterpret_cast<char*>(&v), 2)) w.push_back(v);
    return w;
}

// Whether a recording at 8000 Hz holds a tone that has ended: at least half
// a second from its first loud sample to its last, and a tenth of a second
// of the sink's silence after it.
bool holds_a_whole_tone(const std::vector<int16_t>& w) {
    std::size_t first = w.size(), last = 0;
    for (std::size_t i = 0; i < w.size(); ++i)
        if (std::abs(w[i]) > 1000) first = std::min(first, i), last = i;
    return first < last && last - first >= 4000 && w.size() - last > 800;
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
    // The recorder lags behind the sink, the more so on a busy machine: it
    // is stopped once its file holds the tone and the silence after it (or
    // after a generous bound, for the checks to say what it holds).
    std::vector<int16_t> w = samples_of(file);
    for (int i = 0; i < 300 && !holds_a_whole_tone(w); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        w = samples_of(file);
    }
    // Read again once the recorder has gone (at most 10 s), with all it wrote.
    std::system(("p=$(cat " + file + ".pid); kill $p; for i in $(seq 100); do kill -0 $p 2>/dev/null || break; "
                 "sleep 0.1; done").c_str());
    w = samples_of(file);
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

// The playback device's position counts the frames it took from the
// buffers: one second queued at 8000 Hz, the position read all along never
// goes back, never passes the 8000 frames written and ends at them. A wait
// for a position returns once it is reached, and one for a position never
// reached after its timeout.
TEST_F(SoundStack, PlaybackPositionCountsWhatTheDeviceTook) {
    auto& p = platform::current();
    platform::WaveFormat f{};
    f.channels = 1;
    f.rate = 8000;
    f.bitsPerSample = 16;
    f.blockAlign = 2;
    f.bytesPerSecond = 16000;
    platform::WaveOutPtr dv;
    ASSERT_EQ(p.wave_out.wave_out_open(0, f, &dv), platform::kWaveOk);
    std::vector<int16_t> tone(8000);
    for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = int16_t(8000 * std::sin(0.3 * double(i)));
    ASSERT_EQ(dv->prepare(0, tone.data(), 16000), platform::kWaveOk);
    ASSERT_EQ(dv->write(0), platform::kWaveOk);
    ASSERT_EQ(dv->restart(), platform::kWaveOk);
    uint32_t pos = 0, last = 0;
    bool backwards = false, beyond = false;
    const auto t0 = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10)) {
        ASSERT_EQ(dv->position(&pos), platform::kWaveOk);
        backwards |= pos < last;
        beyond |= pos > 8000;
        last = pos;
        if (pos == 8000) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(backwards);
    EXPECT_FALSE(beyond);
    EXPECT_EQ(pos, 8000u);
    // A wait for a position reached returns at once; one for a position
    // beyond what was written, after its timeout.
    EXPECT_TRUE(dv->wait_position(8000, 10000000));
    EXPECT_TRUE(dv->wait_position(8001, 1000));
    EXPECT_EQ(dv->close(), platform::kWaveOk);
}

// The server goes away in the middle of a capture and of a playback: the
// fetch and the playback end with 0 in bounded time, and recover and
// CloseSpeaker clean up.
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

}  // namespace
}  // namespace kelmo::test
