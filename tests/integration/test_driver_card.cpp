// The driver path end to end on Linux: the library against zebsim, the
// simulated card, serving the device socket in a folder of the test's own.
// zebsim's default signal: channel c carries A sin(2 pi (c + 1) s / 64) at
// raw sample s, A being half the card type's full scale.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "kelmo.h"
#include "peer_process.h"

namespace kelmo::test {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct Format {
    int type;
    double fullScale;
    double code;  // engineering size of one raw code
};
// One card type of every raw format.
const Format kFormats[] = {
    {602, 5000, 10000.0 / 65536},      // signed 16-bit
    {618, 5000, 10000.0 / 65536},      // offset binary 16-bit
    {632, 5000, 10000.0 / 4096},       // 12-bit two's complement
    {653, 5000, 10000.0 / 4096},       // 12-bit offset binary, complemented
    {806, 5000, 10000.0 / 4096},       // 12-bit offset binary
    {718, 10000, 20000.0 / 65536},     // signed 16-bit, +-10000
    {720, 1000, 1000.0 / 32752},       // 32752 codes = 1000
    {880, 2000, 4000.0 / 65536},       // +-2000
    {890, 5000, 10000.0 / 16777216},   // 24 bits in 32
    {891, 5000, 10000.0 / 4294967296}, // signed 32-bit
    {892, 10000, 20000.0 / 4294967296},
};

double expected(const Format& f, int channel, long s) {
    return f.fullScale / 2 * std::sin(2 * kPi * (channel + 1) * static_cast<double>(s) / 64);
}

class DriverCard : public ::testing::Test {
protected:
    DriverCard() {
        dir_ = testing::TempDir() + "kelmo-zebsim-" + std::to_string(::getpid());
        log_ = dir_ + ".log";
        std::remove(log_.c_str());
        set_env("KELMO_DEVICE_DIR", dir_.c_str());
        uint32_t code = 0;
        double actual = 0;
        PreSamp(602, 1000.0, &code, &actual);  // the unit's block, mode 1
    }
    ~DriverCard() override {
        if (zebsim_) {
            zebsim_->terminate();
            EXPECT_EQ(zebsim_->wait(), 0);  // exits cleanly on SIGTERM
        }
        zebsim_.reset();
        std::remove(log_.c_str());
    }
    void serve(const std::string& options = "") {
        zebsim_ = std::make_unique<PeerProcess>(program_command("zebsim") + " --unpaced --dir " + dir_ +
                                                " --log " + log_ + " " + options);
        ASSERT_TRUE(zebsim_->ready());
    }
    std::vector<std::string> log_lines() const {
        std::ifstream in(log_);
        std::vector<std::string> v;
        for (std::string l; std::getline(in, l);) v.push_back(l);
        return v;
    }
    std::string dir_, log_;
    std::unique_ptr<PeerProcess> zebsim_;
};

TEST_F(DriverCard, EveryFamilyAndRawFormat) {
    serve();
    const int n = 256, channels = 2;  // the two-channel cards have no more
    for (const Format& f : kFormats) {
        SCOPED_TRACE(f.type);
        const double tolerance = 1.01 * f.code + 1e-9 * f.fullScale;
        std::vector<double> one(n);
        ASSERT_EQ(OneChSam(f.type, 100, n, 1, 2, one.data()), 1);  // channel 2: index 1
        for (int s = 0; s < n; ++s) ASSERT_NEAR(one[s], expected(f, 1, s), tolerance) << s;

        std::vector<double> block(channels * n);
        ASSERT_EQ(MulChSam(f.type, 100, n, 1, channels, block.data()), 1);
        for (int c = 0; c < channels; ++c)
            for (int s = 0; s < n; ++s) ASSERT_NEAR(block[c * n + s], expected(f, c, s), tolerance) << c << " " << s;

        uint32_t handle = 0;
        ASSERT_EQ(Set_dbl_MulChSam(&handle, f.type, 100, 1, channels, n), 1);
        for (int b = 0; b < 3; ++b) {
            ASSERT_EQ(get_dbl_data(&handle, f.type, n, channels, block.data(), n, 0, nullptr), 1);
            for (int c = 0; c < channels; ++c)
                for (int s = 0; s < n; ++s)
                    ASSERT_NEAR(block[c * n + s], expected(f, c, long(b) * n + s), tolerance) << b << " " << c;
        }
        recover(&handle, f.type);
    }
    // Raw words, interleaved: sample 0 of every channel, then sample 1 ...
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 602, 100, 1, 2, 64), 1);
    std::vector<int16_t> words(2 * 64);
    ASSERT_EQ(get_dbl_dataW(&handle, 602, 64, 2, words.data(), 0, 65535, nullptr), 1);
    EXPECT_NEAR(words[2 * 16 + 0], 16384, 1);  // channel 0 at a quarter period
    EXPECT_NEAR(words[2 * 8 + 1], 16384, 1);   // channel 1 at a quarter of its period
    recover(&handle, 602);
}

TEST_F(DriverCard, ThousandBlocksWithoutAGapOrARepeat) {
    serve();
    const Format f{638, 5000, 10000.0 / 65536};
    const int n = 256, channels = 4;
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, f.type, 100, 1, channels, n), 1);
    std::vector<double> block(channels * n);
    for (long b = 0; b < 1000; ++b) {
        ASSERT_EQ(get_dbl_data(&handle, f.type, n, channels, block.data(), n, 0, nullptr), 1) << b;
        for (int c = 0; c < channels; ++c)
            for (int s : {0, 1, n - 1})
                ASSERT_NEAR(block[c * n + s], expected(f, c, b * n + s), f.code) << b << " " << c << " " << s;
    }
    recover(&handle, f.type);
}

// A child made by fork() that ends the acquisition it inherited (recover,
// as a `with` block of Python's does on leaving) lets go of its copy and
// nothing more: the parent's acquisition goes on without a gap.
TEST_F(DriverCard, AForkedChildDoesNotStopItsParentsAcquisition) {
    serve();
    const Format f{602, 5000, 10000.0 / 65536};
    const int n = 256;
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, f.type, 100, 1, 1, n), 1);
    std::vector<double> block(n);
    ASSERT_EQ(get_dbl_data(&handle, f.type, n, 1, block.data(), n, 0, nullptr), 1);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        uint32_t inherited = handle;
        recover(&inherited, f.type);
        ::_exit(0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (long b = 1; b < 4; ++b) {
        ASSERT_EQ(get_dbl_data(&handle, f.type, n, 1, block.data(), n, 0, nullptr), 1);
        for (int s : {0, 1, n - 1}) ASSERT_NEAR(block[s], expected(f, 0, b * n + s), f.code) << b << " " << s;
    }
    recover(&handle, f.type);
    int stops = 0;  // the parent's own, at its end
    for (const auto& line : log_lines()) stops += line.rfind("code=0x222463", 0) == 0;
    EXPECT_EQ(stops, 1);
}

// Resident memory of this process, in KiB.
long resident_kib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// One large block (32 x 65536 samples, 4 MiB of raw words) leaves no more
// than 1 MiB of the library's buffers resident after its call.
TEST_F(DriverCard, ALargeBlockIsNotKept) {
    serve();
    const int n = 65536, channels = 32;
    std::vector<double> block(std::size_t(channels) * n, 1.0);  // resident before the baseline
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 638, 100, 1, channels, n), 1);
    ASSERT_EQ(get_dbl_data(&handle, 638, 16, channels, block.data(), 16, 0, nullptr), 1);  // the session is up
    const long before = resident_kib();
    ASSERT_EQ(get_dbl_data(&handle, 638, n, channels, block.data(), n, 0, nullptr), 1);
    const long after = resident_kib();
    recover(&handle, 638);
    EXPECT_LE(after - before, 1024) << before << " KiB before the call, " << after << " after";
}

// zebsim --loopback: what SetDAData writes on D/A channel c comes back as
// A/D channel c, its words repeated from the first raw sample, in a block
// and across the fetches of a continuous run; the other channels keep
// their sines. A signed 16-bit word reads as code * 10000 / 65536.
TEST_F(DriverCard, DaDataComesBackThroughTheAcquisition) {
    serve("--loopback");
    const int n = 256, channels = 4, da = 3, length = 100;  // 100 words: no whole number per block
    const Format sine{602, 5000, 10000.0 / 65536};
    for (int type : {678, 698}) {
        SCOPED_TRACE(type);
        std::vector<int16_t> buffer(16384, 0);
        for (int k = 0; k < length; ++k) buffer[k] = static_cast<int16_t>(k * 655 - 32768 + type);
        auto played = [&](long s) { return buffer[s % length] * (10000.0 / 65536); };
        std::vector<double> block(channels * n);

        uint32_t handle = 0;
        ASSERT_EQ(Set_dbl_MulChSam(&handle, type, 100, 1, channels, n), 1);
        ASSERT_EQ(SetDAData(&handle, type, da, buffer.data(), length), 1);
        for (long b = 0; b < 3; ++b) {
            ASSERT_EQ(get_dbl_data(&handle, type, n, channels, block.data(), n, 0, nullptr), 1);
            for (int s = 0; s < n; ++s) {
                ASSERT_EQ(block[da * n + s], played(b * n + s)) << b << " " << s;
                ASSERT_NEAR(block[s], expected(sine, 0, b * n + s), 1.01 * sine.code) << b << " " << s;
            }
        }
        recover(&handle, type);

        ASSERT_EQ(MulChSam(type, 100, n, 1, channels, block.data()), 1);  // the words stay loaded
        for (int s = 0; s < n; ++s) {
            ASSERT_EQ(block[da * n + s], played(s)) << s;
            ASSERT_NEAR(block[2 * n + s], expected(sine, 2, s), 1.01 * sine.code) << s;
        }
    }
    EXPECT_EQ(log_lines()[1], "code=0x22209F type=678 divider=0 samples=100 gain=0 channel=3 adjust=0 out=32768 in=32768");
}

// What the device received: the request records, with the "AdjustSmp"
// flag of the user's settings file.
TEST_F(DriverCard, RequestRecordsAsTheDeviceSeesThem) {
    const std::string settings = dir_ + ".ini";
    {
        std::ofstream s(settings);
        s << "[software\\KELMO\\Common]\nAdjustSmp = 1\n";
    }
    set_env("KELMO_SETTINGS_FILE", settings.c_str());
    serve();
    std::vector<double> out(2 * 100);
    ASSERT_EQ(MulChSam(653, 0x10064, 100, 4, 2, out.data()), 1);
    ASSERT_EQ(OneChSam(602, 100, 100, 8, 2, out.data()), 1);
    set_env("KELMO_SETTINGS_FILE", "");
    std::remove(settings.c_str());
    const auto lines = log_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "code=0x22200B type=653 divider=100 samples=100 gain=4 channel=2 adjust=1 out=400");
    EXPECT_EQ(lines[1], "code=0x222007 type=602 divider=100 samples=100 gain=3 channel=1 adjust=0 out=200");
}

// A refusing device, a device that hangs up in the middle of a run and a
// device held by another client: 0 and the message; nothing leaks.
TEST_F(DriverCard, FailuresOfTheDevice) {
    serve("--refuse 0x222017 --drop-after 3");
    const int before = open_descriptors();
    uint32_t handle = 0;
    std::vector<double> block(256);
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 638, 100, 1, 1, 256), 1);
    EXPECT_EQ(get_dbl_data(&handle, 638, 256, 1, block.data(), 256, 0, nullptr), 0);  // refused
    // Held by this acquisition: a second client is refused as busy.
    testing::internal::CaptureStderr();
    EXPECT_EQ(OneChSam(638, 100, 16, 1, 1, block.data()), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("OneChSam failed: another program holds the acquisition "
                                                          "device ZEB1 at "),
              std::string::npos);
    EXPECT_EQ(get_dbl_data(&handle, 638, 256, 1, block.data(), 256, 0, nullptr), 0);  // refused, third request
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_dbl_data(&handle, 638, 256, 1, block.data(), 256, 0, nullptr), 0);  // dropped
    const std::string dropped = testing::internal::GetCapturedStderr();
    EXPECT_NE(dropped.find("Request to device ZEB1 (code 0x222017) failed: the device closed the connection"),
              std::string::npos)
        << dropped;
    recover(&handle, 638);
    EXPECT_EQ(open_descriptors(), before);
    // The device is free again for the next client.
    EXPECT_EQ(MulChSam(638, 100, 16, 1, 1, block.data()), 1);
    EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
}  // namespace kelmo::test
