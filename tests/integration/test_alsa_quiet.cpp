// The library's uses of ALSA with no sound device: nothing of ALSA's own
// reaches stderr, what ALSA said is kept as the cause, and a thread's own
// ALSA error handler is the one in place again afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/posix/alsa_quiet.h"

// ALSA's header declares this one without C linkage; the other two are
// declared here so that the test need not include it.
extern "C" {
kelmo::platform::posix::AlsaLocalHandler snd_lib_error_set_local(kelmo::platform::posix::AlsaLocalHandler func);
int snd_pcm_open(void** pcm, const char* name, int stream, int mode);
}

namespace {

using namespace kelmo::platform;

int g_mine = 0;
void mine(const char*, int, const char*, int, const char*, va_list) { ++g_mine; }

class AlsaQuiet : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // An ALSA configuration without any device: every open fails with
        // ALSA's "Unknown PCM default".
        static const std::string conf = testing::TempDir() + "kelmo-alsa-empty.conf";
        std::fclose(std::fopen(conf.c_str(), "w"));
        ::setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
    }
};

TEST_F(AlsaQuiet, NoDeviceSaysNothingOnStderr) {
    Platform& p = current();
    testing::internal::CaptureStderr();
    uint32_t formats = 0;
    EXPECT_NE(p.wave_in.wave_in_caps(0, &formats), kWaveOk);
    EXPECT_NE(posix::alsa_cause().find("Unknown PCM default"), std::string::npos) << posix::alsa_cause();
    const WaveFormat f{1, 11025, 16, 2, 22050};
    WaveInPtr in;
    EXPECT_NE(p.wave_in.wave_in_open(0, f, &in), kWaveOk);
    EXPECT_EQ(p.wave_out.wave_out_count(), 0u);
    WaveOutPtr out;
    EXPECT_NE(p.wave_out.wave_out_open(0, f, &out), kWaveOk);
    EXPECT_EQ(p.mixer.mixer_count(), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(AlsaQuiet, TheThreadsOwnHandlerComesBack) {
    const auto before = snd_lib_error_set_local(&mine);
    g_mine = 0;
    uint32_t formats = 0;
    EXPECT_NE(current().wave_in.wave_in_caps(0, &formats), kWaveOk);
    EXPECT_EQ(g_mine, 0);  // the library's call kept its errors to itself
    void* pcm = nullptr;
    EXPECT_LT(snd_pcm_open(&pcm, "default", 1, 0), 0);
    EXPECT_GT(g_mine, 0);  // the thread's own errors reach its handler again
    EXPECT_EQ(snd_lib_error_set_local(before), &mine);
}

}  // namespace
