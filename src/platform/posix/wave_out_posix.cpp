// Waveform output through ALSA. Device 0 is ALSA's "default" playback PCM.
// A thread of the device plays the written buffers in order, as a
// waveform device does; the PCM is touched by that thread only, and a
// thread stuck inside ALSA (a sound server that vanished) is left behind
// rather than waited for. The volume is applied to the samples on their
// way to the PCM, as the system's per-device volume is.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
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
    // What the PCM has played: the frames written to it less those it still
    // holds, as its delay tells after each write (and, while nothing is left
    // to write, now and then until it holds none). Never back, never past
    // what was written.
    uint64_t played = 0;
    uint32_t rate = 0;
    // What the PCM held after the last write, and when: while nothing more
    // is written it has played them all once they have had their time (a
    // sound server's delay need not come down to 0 by itself).
    snd_pcm_sframes_t heldAfterWrite = 0;
    std::chrono::steady_clock::time_point writtenAt;
    // A caller waiting for the position to reach `target` hears from
    // `progress` once it does, and not at every chunk before.
    bool waiting = false;
    uint32_t target = 0;
    std::condition_variable progress;

    bool reached(uint32_t frames) const { return static_cast<int32_t>(static_cast<uint32_t>(played) - frames) >= 0; }
    // The PCM holds `delay` frames of those written (negative: not known).
    // True when a waiting caller is due to hear of it: it is told once the
    // lock is let go, so that it does not wake into a lock still held.
    bool settle(snd_pcm_sframes_t delay) {
        if (delay < 0) return false;
        const uint64_t held = std::min<uint64_t>(static_cast<uint64_t>(delay), frames);
        played = std::max(played, frames - held);
        if (!waiting || !reached(target)) return false;
        waiting = false;
        return true;
    }
};

// Frames the PCM holds that it has not played yet: none after an underrun
// (all were played), -1 where it cannot say. Called by the device's
// thread only.
snd_pcm_sframes_t held_frames(snd_pcm_t* pcm) {
    snd_pcm_sframes_t delay = 0;
    const int r = snd_pcm_delay(pcm, &delay);
    if (r == -EPIPE) return 0;
    if (r < 0) return -1;
    return std::max<snd_pcm_sframes_t>(delay, 0);
}
// How often the thread looks at the delay while the PCM plays out what it
// holds and nothing more is queued.
constexpr auto kDrainLook = std::chrono::milliseconds(10);

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
            while (!sh->quit && (sh->paused || sh->buffers.queue.empty())) {
                if (sh->played >= sh->frames) {
                    sh->cv.wait(g);
                    continue;
                }
                sh->cv.wait_for(g, kDrainLook);
                g.unlock();
                snd_pcm_sframes_t held = held_frames(sh->pcm);
                g.lock();
                const double since = std::chrono::duration<double>(std::chrono::steady_clock::now() - sh->writtenAt).count();
                const double due = double(sh->heldAfterWrite) - since * sh->rate;
                held = std::min<snd_pcm_sframes_t>(held < 0 ? sh->heldAfterWrite : held,
                                                   due > 0 ? static_cast<snd_pcm_sframes_t>(due) : 0);
                if (sh->settle(held)) {
                    g.unlock();
                    sh->progress.notify_all();
                    g.lock();
                }
            }
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
        const snd_pcm_sframes_t held = lost ? -1 : held_frames(sh->pcm);
        bool tell = true;
        {
            std::lock_guard<std::mutex> g(sh->m);
            // A device that went away plays nothing more, and says so.
            if (lost) {
                sh->failed = true;
                sh->buffers.unqueue_all();
            } else {
                sh->frames += n;
                tell = sh->settle(held);
                sh->heldAfterWrite = held < 0 ? static_cast<snd_pcm_sframes_t>(sh->frames - sh->played) : held;
                sh->writtenAt = std::chrono::steady_clock::now();
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
    uint32_t position(uint32_t* frames) override {
        return d_.locked([&](Shared& s) {
            if (s.failed) return static_cast<uint32_t>(kWaveError);
            *frames = static_cast<uint32_t>(s.played);
            return static_cast<uint32_t>(kWaveOk);
        });
    }
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
        sh->rate = f.rate;
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

uint32_t wave_out_count() {
    snd_pcm_t* pcm = nullptr;
    const AlsaCall call;
    if (open_default(&pcm, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) return 0;
    snd_pcm_close(pcm);
    return 1;
}

uint32_t wave_out_caps(uint32_t device, WaveOutCaps* caps) {
    if (!default_device(device)) return kWaveBadDevice;
    uint32_t formats = 0;
    uint16_t channels = 1;
    if (const uint32_t r = default_pcm_formats(SND_PCM_STREAM_PLAYBACK, &formats, &channels)) return r;
    *caps = WaveOutCaps{formats, channels, true};  // the volume is applied to the samples
    return kWaveOk;
}

uint32_t wave_out_query(uint32_t device, const WaveFormat& format) {
    if (!default_device(device)) return kWaveBadDevice;
    uint32_t result = kWaveOk;
    if (snd_pcm_t* pcm = open_default_pcm(SND_PCM_STREAM_PLAYBACK, 0, format, kLatencyUs, &result)) snd_pcm_close(pcm);
    return result;
}

uint32_t wave_out_open(uint32_t device, const WaveFormat& format, WaveOutPtr* out) {
    if (!default_device(device)) return kWaveBadDevice;
    uint32_t result = kWaveOk;
    snd_pcm_t* pcm = open_default_pcm(SND_PCM_STREAM_PLAYBACK, 0, format, kLatencyUs, &result);
    if (!pcm) return result;
    *out = std::make_unique<AlsaWaveOut>(pcm, format);
    return kWaveOk;
}

}  // namespace kelmo::platform::posix
