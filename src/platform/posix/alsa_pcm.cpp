#include "platform/posix/alsa_pcm.h"

#include "platform/posix/alsa_quiet.h"
#include "platform/posix/posix.h"

#include <algorithm>
#include <string>

namespace kelmo::platform::posix {
namespace {
constexpr const char* kDefaultPcm = "default";
}  // namespace

int open_default(snd_pcm_t** pcm, snd_pcm_stream_t stream, int mode) {
    const int err = snd_pcm_open(pcm, kDefaultPcm, stream, mode);
    if (err < 0) {
        // ALSA's first line names the cause, its last the PCM that failed.
        std::string said = alsa_cause();
        const auto first = said.find("; "), last = said.rfind("; ");
        if (first != std::string::npos) said = said.substr(0, first) + "; ...; " + said.substr(last + 2);
        note_cause("ALSA's default %s device cannot be opened (%s); connect one, or start the sound server",
                stream == SND_PCM_STREAM_CAPTURE ? "capture" : "playback", said.empty() ? snd_strerror(err) : said.c_str());
    }
    return err;
}

snd_pcm_t* open_default_pcm(snd_pcm_stream_t stream, int mode, const WaveFormat& f, unsigned latencyUs,
                            uint32_t* result) {
    snd_pcm_t* pcm = nullptr;
    const AlsaCall call;
    if (open_default(&pcm, stream, mode) < 0) {
        *result = kWaveBadDevice;
        return nullptr;
    }
    if (f.bitsPerSample != 16 || f.channels == 0 ||
        snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, f.channels, f.rate, 1,
                           latencyUs) < 0) {
        snd_pcm_close(pcm);
        *result = kWaveBadFormat;
        return nullptr;
    }
    *result = kWaveOk;
    return pcm;
}

snd_pcm_t* open_default_capture(int mode, const WaveFormat& f, unsigned bufferUs, unsigned periodUs, uint32_t* result) {
    snd_pcm_t* pcm = nullptr;
    const AlsaCall call;
    if (open_default(&pcm, SND_PCM_STREAM_CAPTURE, mode) < 0) {
        *result = kWaveBadDevice;
        return nullptr;
    }
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    unsigned rate = f.rate, buffer = bufferUs, period = periodUs;
    int dir = 0;
    const bool ok = f.bitsPerSample == 16 && f.channels != 0 && snd_pcm_hw_params_any(pcm, hw) >= 0 &&
                    snd_pcm_hw_params_set_rate_resample(pcm, hw, 1) >= 0 &&
                    snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0 &&
                    snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE) >= 0 &&
                    snd_pcm_hw_params_set_channels(pcm, hw, f.channels) >= 0 &&
                    snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, &dir) >= 0 && rate == f.rate &&
                    snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer, &dir) >= 0 &&
                    snd_pcm_hw_params_set_period_time_near(pcm, hw, &period, &dir) >= 0 &&
                    snd_pcm_hw_params(pcm, hw) >= 0;
    if (!ok) {
        snd_pcm_close(pcm);
        *result = kWaveBadFormat;
        return nullptr;
    }
    *result = kWaveOk;
    return pcm;
}

uint32_t default_pcm_formats(snd_pcm_stream_t stream, uint32_t* formats, uint16_t* maxChannels) {
    snd_pcm_t* pcm = nullptr;
    const AlsaCall call;
    if (open_default(&pcm, stream, SND_PCM_NONBLOCK) < 0) return kWaveBadDevice;
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_malloc(&hw);
    uint32_t flags = 0;
    unsigned most = 1;
    // The standard formats: for each rate, mono/stereo at 8 bits, then at 16.
    const unsigned rates[] = {11025, 22050, 44100};
    for (int r = 0; r < 3; ++r)
        for (int bits16 = 0; bits16 < 2; ++bits16)
            for (unsigned ch = 1; ch <= 2; ++ch) {
                snd_pcm_hw_params_any(pcm, hw);
                if (snd_pcm_hw_params_test_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) == 0 &&
                    snd_pcm_hw_params_test_format(pcm, hw, bits16 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_U8) == 0 &&
                    snd_pcm_hw_params_test_channels(pcm, hw, ch) == 0 &&
                    snd_pcm_hw_params_test_rate(pcm, hw, rates[r], 0) == 0) {
                    flags |= 1u << (4 * r + 2 * bits16 + (ch - 1));
                    most = std::max(most, ch);
                }
            }
    snd_pcm_hw_params_free(hw);
    snd_pcm_close(pcm);
    *formats = flags;
    if (maxChannels) *maxChannels = static_cast<uint16_t>(most);
    return kWaveOk;
}

}  // namespace kelmo::platform::posix
