// Waveform input through ALSA. Device 0 is ALSA's "default" capture PCM
// (on a desktop usually the sound server). A thread of the device reads
// the PCM and fills the queued buffers in order, so recording goes on
// between the caller's calls, as a waveform device does; the PCM itself is
// touched by that thread only. While no buffer is queued the thread leaves
// the frames in the PCM's own buffer (two seconds of them), so a caller
// that queues its next buffer late, or a source that delivers in bursts,
// loses nothing; only a PCM that overruns loses frames, and the position
// counts the frames that went into buffers.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/posix/alsa_pcm.h"
#include "platform/posix/posix.h"

namespace kelmo::platform::posix {
namespace {

constexpr unsigned kBufferUs = 2000000;
constexpr unsigned kPeriodUs = 10000;
constexpr unsigned kQueryLatencyUs = 200000;
constexpr snd_pcm_uframes_t kChunk = 256;

struct Shared : AlsaShared {
    bool running = false;

    // Frames read from the PCM go into the queued buffers; the thread reads
    // no more than the queued buffers take.
    void store(const int16_t* data, snd_pcm_uframes_t n) {
        std::lock_guard<std::mutex> g(m);
        const auto* bytes = reinterpret_cast<const unsigned char*>(data);
        std::size_t left = n * frameBytes;
        while (left > 0 && !buffers.queue.empty()) {
            WaveSlots::Slot& s = buffers.slots[buffers.queue.front()];
            const std::size_t take = std::min<std::size_t>(s.bytes - s.used, left);
            std::memcpy(s.data + s.used, bytes, take);
            s.used += static_cast<uint32_t>(take);
            bytes += take;
            left -= take;
            buffers.advance(static_cast<uint32_t>(frameBytes));
            frames += take / frameBytes;
        }
    }
    // Frames the queued buffers still take.
    std::size_t room() const {
        std::size_t bytes = 0;
        for (int slot : buffers.queue) bytes += buffers.slots[slot].bytes - buffers.slots[slot].used;
        return bytes / frameBytes;
    }
};

// The device's thread: reads the PCM while running, stops it while not.
void record(const std::shared_ptr<Shared>& sh) {
    std::vector<int16_t> chunk(kChunk * sh->frameBytes / 2);
    bool started = false;
    for (;;) {
        bool run;
        {
            std::unique_lock<std::mutex> g(sh->m);
            sh->cv.wait(g, [&] { return sh->quit || sh->running || started; });
            if (sh->quit) break;
            run = sh->running;
        }
        if (!run) {
            snd_pcm_drop(sh->pcm);
            started = false;
            continue;
        }
        if (!started) {
            snd_pcm_prepare(sh->pcm);
            snd_pcm_start(sh->pcm);
            started = true;
        }
        snd_pcm_uframes_t want = kChunk;
        {
            // Nothing queued: the frames wait in the PCM.
            std::unique_lock<std::mutex> g(sh->m);
            sh->cv.wait_for(g, std::chrono::milliseconds(20), [&] { return sh->quit || !sh->running || sh->room() > 0; });
            if (sh->quit || !sh->running || sh->room() == 0) continue;
            want = std::min<snd_pcm_uframes_t>(kChunk, sh->room());
        }
        if (snd_pcm_wait(sh->pcm, 50) < 0) snd_pcm_recover(sh->pcm, -EPIPE, 1);
        const snd_pcm_sframes_t got = snd_pcm_readi(sh->pcm, chunk.data(), want);
        if (got > 0) {
            sh->store(chunk.data(), static_cast<snd_pcm_uframes_t>(got));
        } else if (got < 0 && got != -EAGAIN) {
            // An overrun or a suspended stream starts afresh; a device that
            // went away ends the recording.
            if (snd_pcm_recover(sh->pcm, static_cast<int>(got), 1) < 0) {
                std::lock_guard<std::mutex> g(sh->m);
                sh->failed = true;
                sh->running = false;
            } else {
                snd_pcm_start(sh->pcm);
            }
        }
    }
    sh->finish();
}

class AlsaWaveIn final : public WaveIn {
public:
    AlsaWaveIn(snd_pcm_t* pcm, const WaveFormat& f) : AlsaWaveIn(std::make_shared<Shared>(), pcm, f) {}
    ~AlsaWaveIn() override { close(); }

    uint32_t prepare(int slot, void* data, uint32_t bytes) override { return d_.prepare(slot, data, bytes); }
    uint32_t unprepare(int slot) override { return d_.unprepare(slot); }
    uint32_t add(int slot) override { return d_.enqueue(slot); }
    uint32_t start() override { return command(true); }
    uint32_t stop() override { return command(false); }
    uint32_t reset() override {
        return d_.locked([](Shared& s) {
            s.running = false;
            s.buffers.unqueue_all();
            s.cv.notify_all();
            return static_cast<uint32_t>(kWaveOk);
        });
    }
    uint32_t position(uint32_t* frames) override { return d_.position(frames); }
    uint32_t close() override { return d_.close(); }

private:
    AlsaWaveIn(std::shared_ptr<Shared> sh, snd_pcm_t* pcm, const WaveFormat& f) : d_(sh) {
        sh->pcm = pcm;
        sh->frameBytes = 2u * f.channels;
        std::thread([sh] { record(sh); }).detach();
    }
    uint32_t command(bool run) {
        return d_.locked([&](Shared& s) {
            s.running = run;
            s.cv.notify_all();
            return static_cast<uint32_t>(kWaveOk);
        });
    }
    AlsaSlots<Shared> d_;
};

}  // namespace

namespace {
class PosixWaveInputs final : public WaveInputs {
public:
    uint32_t wave_in_caps(uint32_t device, uint32_t* formats) override;
    uint32_t wave_in_query(uint32_t device, const WaveFormat& format) override;
    uint32_t wave_in_open(uint32_t device, const WaveFormat& format, WaveInPtr* out) override;
};
}  // namespace

uint32_t PosixWaveInputs::wave_in_caps(uint32_t device, uint32_t* formats) {
    if (!default_device(device)) return kWaveBadDevice;
    return default_pcm_formats(SND_PCM_STREAM_CAPTURE, formats, nullptr);
}

uint32_t PosixWaveInputs::wave_in_query(uint32_t device, const WaveFormat& format) {
    if (!default_device(device)) return kWaveBadDevice;
    uint32_t result = kWaveOk;
    if (snd_pcm_t* pcm = open_default_pcm(SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK, format, kQueryLatencyUs, &result))
        snd_pcm_close(pcm);
    return result;
}

uint32_t PosixWaveInputs::wave_in_open(uint32_t device, const WaveFormat& format, WaveInPtr* out) {
    if (!default_device(device)) return kWaveBadDevice;
    uint32_t result = kWaveOk;
    snd_pcm_t* pcm = open_default_capture(SND_PCM_NONBLOCK, format, kBufferUs, kPeriodUs, &result);
    if (!pcm) return result;
    *out = std::make_unique<AlsaWaveIn>(pcm, format);
    return kWaveOk;
}

WaveInputs& wave_inputs() {
    static PosixWaveInputs instance;
    return instance;
}

}  // namespace kelmo::platform::posix
