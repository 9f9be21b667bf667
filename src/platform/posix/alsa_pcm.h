// What the ALSA capture and playback devices share: ALSA's "default" PCM,
// opened for 16-bit PCM, the standard formats it takes, and the state a
// device shares with the thread that moves its frames.
#pragma once

#include <alsa/asoundlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/platform.h"
#include "platform/wave_slots.h"

namespace kelmo::platform::posix {

// snd_pcm_open of the default PCM of `stream`; where it fails, the
// export's reason says so in ALSA's words. Call it inside an AlsaCall.
int open_default(snd_pcm_t** pcm, snd_pcm_stream_t stream, int mode);

// The default PCM of `stream` set to `format` (16-bit interleaved, at most
// `latencyUs` of buffer); nullptr with *result kWaveBadDevice or
// kWaveBadFormat when it cannot be had.
snd_pcm_t* open_default_pcm(snd_pcm_stream_t stream, int mode, const WaveFormat& format, unsigned latencyUs,
                            uint32_t* result);

// The default capture PCM set to `format`, with a buffer of about
// `bufferUs` read in periods of about `periodUs`; as above otherwise.
snd_pcm_t* open_default_capture(int mode, const WaveFormat& format, unsigned bufferUs, unsigned periodUs,
                                uint32_t* result);

// The standard format flags (0x1 .. 0x800) the default PCM of `stream`
// takes, and the most channels among them; kWaveBadDevice without one.
uint32_t default_pcm_formats(snd_pcm_stream_t stream, uint32_t* formats, uint16_t* maxChannels);

// Device 0 and the system's choice are both ALSA's default PCM.
inline bool default_device(uint32_t device) { return device == 0 || device == kWaveMapper; }

// What a device and its thread share. The thread holds it too: a PCM whose
// sound server vanished can leave the thread stuck inside ALSA, and then
// the device is abandoned to it rather than waited for.
struct AlsaShared {
    snd_pcm_t* pcm = nullptr;
    std::size_t frameBytes = 0;
    std::mutex m;
    std::condition_variable cv;
    WaveSlots buffers;
    uint64_t frames = 0;  // moved between the PCM and the buffers
    bool quit = false, exited = false, failed = false;

    // The thread's last act: the PCM goes, and a close waiting for it
    // hears so.
    void finish() {
        snd_pcm_drop(pcm);
        snd_pcm_close(pcm);
        std::lock_guard<std::mutex> g(m);
        exited = true;
        cv.notify_all();
    }
};

// The calls both devices answer alike: each under the shared lock, and
// only while the device is open.
template <class Shared>
class AlsaSlots {
public:
    explicit AlsaSlots(std::shared_ptr<Shared> sh) : sh_(std::move(sh)) {}

    template <class F>
    uint32_t locked(F&& f) {
        std::lock_guard<std::mutex> g(sh_->m);
        return open_ ? f(*sh_) : static_cast<uint32_t>(kWaveBadHandle);
    }
    uint32_t prepare(int slot, void* data, uint32_t bytes) {
        return locked([&](Shared& s) { return s.buffers.prepare(slot, data, bytes); });
    }
    uint32_t unprepare(int slot) {
        return locked([&](Shared& s) { return s.buffers.unprepare(slot); });
    }
    uint32_t enqueue(int slot) {
        return locked([&](Shared& s) {
            s.cv.notify_all();
            return s.buffers.enqueue(slot);
        });
    }
    uint32_t position(uint32_t* frames) {
        return locked([&](Shared& s) {
            if (s.failed) return static_cast<uint32_t>(kWaveError);
            *frames = static_cast<uint32_t>(s.frames);
            return static_cast<uint32_t>(kWaveOk);
        });
    }
    // Ends the thread and waits for it a while; the caller's buffers are
    // given back at once.
    uint32_t close() {
        std::unique_lock<std::mutex> g(sh_->m);
        if (!open_) return kWaveBadHandle;
        open_ = false;
        sh_->quit = true;
        sh_->buffers = WaveSlots{};
        sh_->cv.notify_all();
        sh_->cv.wait_for(g, std::chrono::seconds(2), [&] { return sh_->exited; });
        return kWaveOk;
    }

private:
    std::shared_ptr<Shared> sh_;
    bool open_ = true;
};

}  // namespace kelmo::platform::posix
