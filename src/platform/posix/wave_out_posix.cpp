// Waveform output through ALSA. Device 0 is ALSA's "default" playback PCM.
// A thread of the device plays the written buffers in order, as a
// waveform device does; the PCM is touched by that thread only, and a
// thread stuck inside ALSA (a sound server that vanished) is left behind
// rather than waited for. The volume is applied to the samples on their
// way to the PCM, as the system's per-device volume is.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/posix/alsa_pcm.h"
#include "platform/posix/alsa_quiet.h"
#include "platform/posix/posix.h"

namespace kelmo::platform::posix {
namespace {

constexpr unsigned kLatencyUs = 100000;
constexpr uint32_t kChunkFrames = 256;
struct Shared : AlsaShared {
    uint32_t volume = 0xFFFFFFFF;  // left in the low 16 bits, right in the high 16
    bool paused = false;
    // A caller waiting for the position to reach `target` hears from
    // `progress` once it does, and not at every chunk before.
    bool waiting = false;
    uint32_t target = 0;
    std::condition_variable progress;

    bool reached(uint32_t at) const { return static_cast<int32_t>(static_cast<uint32_t>(frames) - at) >= 0; }
    // True when a waiting caller is due to hear of the position: it is told
    // once the lock is let go, so that it does not wake into a lock still
    // held.
    bool due() {
        if (!waiting || !reached(target)) return false;
        waiting = false;
        return true;
    }
};

// Scales interleaved 16-bit frames by the left and right volumes.
void apply_volume(std::vector<unsigned char>& chunk, uint32_t frameBytes, uint32_t volume) {
    if (volume == 0xFFFFFFFF) return;
    const int32_t gain[2] = {int32_t(volume & 0xFFFF), int32_t(volume >> 16)};
    const uint32_t channels = frameBytes / 2;
    for (std::size_t i = 0; i + 1 < chunk.size(); i += 2) {
        int16_t v;
        std::memcpy(&v, &chunk[i], 2);
        v = static_cast<int16_t>(v * gain[(i / 2) % channels == 0 ? 0 : 1] / 65535);
        std::memcpy(&chunk[i], &v, 2);
    }
}

// The device's thread: plays what is queued while not paused.
void play(const std::shared_ptr<Shared>& sh) {
    const auto frameBytes = static_cast<uint32_t>(sh->frameBytes);
    std::vector<unsigned char> chunk;
    for (;;) {
        {
            std::unique_lock<std::mutex> g(sh->m);
            sh->cv.wait(g, [&] { return sh->quit || (!sh->paused && !sh->buffers.queue.empty()); });
            if (sh->quit) break;
            // Take the next chunk of the front buffer.
            WaveSlots::Slot& s = sh->buffers.slots[sh->buffers.queue.front()];
            const uint32_t take = std::min<uint32_t>(s.bytes - s.used, kChunkFrames * frameBytes);
            chunk.assign(s.data + s.used, s.data + s.used + take);
            s.used += take;
            sh->buffers.advance(frameBytes);
            apply_volume(chunk, frameBytes, sh->volume);
        }
        const auto n = static_cast<snd_pcm_uframes_t>(chunk.size() / frameBytes);
        snd_pcm_uframes_t written = 0;
        bool lost = false;
        while (written < n) {
            const snd_pcm_sframes_t w = snd_pcm_writei(sh->pcm, chunk.data() + written * frameBytes, n - written);
            if (w < 0) {
                if (snd_pcm_recover(sh->pcm, static_cast<int>(w), 1) < 0) {
                    lost = true;
                    break;
                }
                continue;
            }
            written += static_cast<snd_pcm_uframes_t>(w);
        }
        bool tell = true;
        {
            std::lock_guard<std::mutex> g(sh->m);
            // A device that went away plays nothing more, and says so.
            if (lost) {
                sh->failed = true;
                sh->buffers.unqueue_all();
            } else {
                sh->frames += n;
                tell = sh->due();
            }
        }
        if (tell) sh->progress.notify_all();
    }
    sh->finish();
}

class AlsaWaveOut final : public WaveOut {
public:
    AlsaWaveOut(snd_pcm_t* pcm, const WaveFormat& f) : AlsaWaveOut(std::make_shared<Shared>(), pcm, f) {}
    ~AlsaWaveOut() override { close(); }

    uint32_t prepare(int slot, void* data, uint32_t bytes) override { return d_.prepare(slot, data, bytes); }
    uint32_t unprepare(int slot) override { return d_.unprepare(slot); }
    uint32_t write(int slot) override { return d_.enqueue(slot); }
    uint32_t pause() override { return set_paused(true); }
    uint32_t restart() override { return set_paused(false); }
    uint32_t reset() override {
        return d_.locked([](Shared& s) {
            s.buffers.unqueue_all();
            return static_cast<uint32_t>(kWaveOk);
        });
    }
    // The frames the device has taken from the buffers and handed to the
    // PCM. They are what a writer of the buffers must keep ahead of: the
    // PCM holds up to kLatencyUs more that it has not played yet, so a
    // position of the frames played would let a writer of blocks shorter
    // than that fall behind what the thread reads.
    uint32_t position(uint32_t* frames) override { return d_.position(frames); }
    bool wait_position(uint32_t frames, uint32_t timeoutUs) override {
        std::unique_lock<std::mutex> g(sh_->m);
        sh_->waiting = true;
        sh_->target = frames;
        sh_->progress.wait_for(g, std::chrono::microseconds(timeoutUs),
                               [&] { return sh_->quit || sh_->failed || sh_->reached(frames); });
        sh_->waiting = false;
        return true;
    }
    uint32_t set_volume(uint32_t volume) override {
        return d_.locked([&](Shared& s) {
            s.volume = volume;
            return static_cast<uint32_t>(kWaveOk);
        });
    }
    uint32_t close() override { return d_.close(); }

private:
    AlsaWaveOut(std::shared_ptr<Shared> sh, snd_pcm_t* pcm, const WaveFormat& f) : sh_(sh), d_(sh) {
        sh->pcm = pcm;
        sh->frameBytes = 2u * f.channels;
        std::thread([sh] { play(sh); }).detach();
    }
    uint32_t set_paused(bool p) {
        return d_.locked([&](Shared& s) {
            s.paused = p;
            s.cv.notify_all();
            return static_cast<uint32_t>(kWaveOk);
        });
    }
    std::shared_ptr<Shared> sh_;
    AlsaSlots<Shared> d_;
};

}  // namespace

namespace {
class PosixWaveOutputs final : public WaveOutputs {
public:
    uint32_t wave_out_count() override;
    uint32_t wave_out_caps(uint32_t device, WaveOutCaps* caps) override;
    uint32_t wave_out_query(uint32_t device, const WaveFormat& format) override;
    uint32_t wave_out_open(uint32_t device, const WaveFormat& format, WaveOutPtr* out) override;
};
}  // namespace

uint32_t PosixWaveOutputs::wave_out_count() {
    snd_pcm_t* pcm = nullptr;
    const AlsaCall call;
    if (open_default(&pcm, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) return 0;
    snd_pcm_close(pcm);
    return 1;
}

uint32_t PosixWaveOutputs::wave_out_caps(uint32_t device, WaveOutCaps* caps) {
    if (!default_device(device)) return kWaveBadDevice;
    uint32_t formats = 0;
    uint16_t channels = 1;
    if (const uint32_t r = default_pcm_formats(SND_PCM_STREAM_PLAYBACK, &formats, &channels)) return r;
    *caps = WaveOutCaps{formats, channels, true};  // the volume is applied to the samples
    return kWaveOk;
}

uint32_t PosixWaveOutputs::wave_out_query(uint32_t device, const WaveFormat& format) {
    if (!default_device(device)) return kWaveBadDevice;
    uint32_t result = kWaveOk;
    if (snd_pcm_t* pcm = open_default_pcm(SND_PCM_STREAM_PLAYBACK, 0, format, kLatencyUs, &result)) snd_pcm_close(pcm);
    return result;
}

uint32_t PosixWaveOutputs::wave_out_open(uint32_t device, const WaveFormat& format, WaveOutPtr* out) {
    if (!default_device(device)) return kWaveBadDevice;
    uint32_t result = kWaveOk;
    snd_pcm_t* pcm = open_default_pcm(SND_PCM_STREAM_PLAYBACK, 0, format, kLatencyUs, &result);
    if (!pcm) return result;
    *out = std::make_unique<AlsaWaveOut>(pcm, format);
    return kWaveOk;
}

WaveOutputs& wave_outputs() {
    static PosixWaveOutputs instance;
    return instance;
}

}  // namespace kelmo::platform::posix
