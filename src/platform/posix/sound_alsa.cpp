// Waveform input through ALSA. Device 0 is ALSA's "default" capture PCM
// (on a desktop usually the sound server). A thread of the device reads
// the PCM and fills the queued buffers in order, so recording goes on
// between the caller's calls, as a waveform device does; the PCM itself is
// touched by that thread only.
#include <alsa/asoundlib.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/posix.h"

namespace kelmo::platform::posix {
namespace {

constexpr const char* kCapturePcm = "default";
constexpr unsigned kLatencyUs = 200000;
constexpr snd_pcm_uframes_t kChunk = 256;

// Opens the capture PCM set to `format`; nullptr when it does not take it.
snd_pcm_t* open_pcm(const WaveFormat& f, uint32_t* result) {
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, kCapturePcm, SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0) {
        *result = kWaveBadDevice;
        return nullptr;
    }
    if (f.bitsPerSample != 16 || f.channels == 0 ||
        snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, f.channels, f.rate, 1,
                           kLatencyUs) < 0) {
        snd_pcm_close(pcm);
        *result = kWaveBadFormat;
        return nullptr;
    }
    *result = kWaveOk;
    return pcm;
}

class AlsaWaveIn final : public WaveIn {
public:
    AlsaWaveIn(snd_pcm_t* pcm, const WaveFormat& f) : pcm_(pcm), frameBytes_(2u * f.channels) {
        thread_ = std::thread([this] { run(); });
    }
    ~AlsaWaveIn() override { close(); }

    uint32_t prepare(int slot, void* data, uint32_t bytes) override {
        std::lock_guard<std::mutex> g(m_);
        if (!open_) return kWaveBadHandle;
        if (!valid(slot) || !data) return kWaveError;
        if (slots_[slot].queued) return kWaveStillPlaying;
        slots_[slot] = {static_cast<unsigned char*>(data), bytes, 0, true, false};
        return kWaveOk;
    }
    uint32_t unprepare(int slot) override {
        std::lock_guard<std::mutex> g(m_);
        if (!open_) return kWaveBadHandle;
        if (!valid(slot)) return kWaveError;
        if (slots_[slot].queued) return kWaveStillPlaying;
        slots_[slot].prepared = false;
        return kWaveOk;
    }
    uint32_t add(int slot) override {
        std::lock_guard<std::mutex> g(m_);
        if (!open_) return kWaveBadHandle;
        if (!valid(slot)) return kWaveError;
        if (!slots_[slot].prepared) return kWaveUnprepared;
        if (slots_[slot].queued) return kWaveStillPlaying;
        slots_[slot].queued = true;
        slots_[slot].filled = 0;
        queue_.push_back(slot);
        return kWaveOk;
    }
    uint32_t start() override { return command(true); }
    uint32_t stop() override { return command(false); }
    uint32_t reset() override {
        std::lock_guard<std::mutex> g(m_);
        if (!open_) return kWaveBadHandle;
        running_ = false;
        for (auto& s : slots_) s.queued = false;
        queue_.clear();
        cv_.notify_all();
        return kWaveOk;
    }
    uint32_t position(uint32_t* frames) override {
        std::lock_guard<std::mutex> g(m_);
        if (!open_) return kWaveBadHandle;
        if (failed_) return kWaveError;
        *frames = static_cast<uint32_t>(frames_);
        return kWaveOk;
    }
    uint32_t close() override {
        {
            std::lock_guard<std::mutex> g(m_);
            if (!open_) return kWaveBadHandle;
            open_ = false;
            quit_ = true;
            cv_.notify_all();
        }
        if (thread_.joinable()) thread_.join();
        snd_pcm_close(pcm_);
        return kWaveOk;
    }

private:
    struct Slot {
        unsigned char* data = nullptr;
        uint32_t bytes = 0, filled = 0;
        bool prepared = false, queued = false;
    };
    static bool valid(int slot) { return slot == 0 || slot == 1; }

    uint32_t command(bool run) {
        std::lock_guard<std::mutex> g(m_);
        if (!open_) return kWaveBadHandle;
        running_ = run;
        cv_.notify_all();
        return kWaveOk;
    }

    // Frames read from the PCM go into the queued buffers; with none
    // queued they are lost, and the position counts them all the same.
    void store(const int16_t* data, snd_pcm_uframes_t n) {
        std::lock_guard<std::mutex> g(m_);
        const auto* bytes = reinterpret_cast<const unsigned char*>(data);
        std::size_t left = n * frameBytes_;
        while (left > 0 && !queue_.empty()) {
            Slot& s = slots_[queue_.front()];
            const std::size_t room = s.bytes - s.filled;
            const std::size_t take = std::min(room, left);
            std::memcpy(s.data + s.filled, bytes, take);
            s.filled += static_cast<uint32_t>(take);
            bytes += take;
            left -= take;
            if (s.filled + frameBytes_ > s.bytes) {
                s.queued = false;
                queue_.pop_front();
            }
        }
        frames_ += n;
    }

    void run() {
        std::vector<int16_t> chunk(kChunk * frameBytes_ / 2);
        bool started = false;
        for (;;) {
            bool run;
            {
                std::unique_lock<std::mutex> g(m_);
                cv_.wait(g, [&] { return quit_ || running_ || started; });
                if (quit_) break;
                run = running_;
            }
            if (!run) {  // stopped: the PCM stops too
                snd_pcm_drop(pcm_);
                started = false;
                continue;
            }
            if (!started) {
                snd_pcm_prepare(pcm_);
                snd_pcm_start(pcm_);
                started = true;
            }
            if (snd_pcm_wait(pcm_, 50) < 0) snd_pcm_recover(pcm_, -EPIPE, 1);
            const snd_pcm_sframes_t got = snd_pcm_readi(pcm_, chunk.data(), kChunk);
            if (got > 0) {
                store(chunk.data(), static_cast<snd_pcm_uframes_t>(got));
            } else if (got < 0 && got != -EAGAIN) {
                // An overrun or a suspended stream starts afresh; a device
                // that went away ends the recording.
                if (snd_pcm_recover(pcm_, static_cast<int>(got), 1) < 0) {
                    std::lock_guard<std::mutex> g(m_);
                    failed_ = true;
                    running_ = false;
                } else {
                    snd_pcm_start(pcm_);
                }
            }
        }
        snd_pcm_drop(pcm_);
    }

    snd_pcm_t* pcm_;
    const std::size_t frameBytes_;
    std::mutex m_;
    std::condition_variable cv_;
    Slot slots_[2];
    std::deque<int> queue_;
    uint64_t frames_ = 0;
    bool running_ = false, quit_ = false, open_ = true, failed_ = false;
    std::thread thread_;
};

}  // namespace

uint32_t wave_in_caps(uint32_t device, uint32_t* formats) {
    if (device != 0) return kWaveBadDevice;
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, kCapturePcm, SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0) return kWaveBadDevice;
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_malloc(&hw);
    uint32_t flags = 0;
    // The standard formats: for each rate, mono/stereo at 8 bits, then at 16.
    const unsigned rates[] = {11025, 22050, 44100};
    for (int r = 0; r < 3; ++r)
        for (int bits16 = 0; bits16 < 2; ++bits16)
            for (unsigned ch = 1; ch <= 2; ++ch) {
                snd_pcm_hw_params_any(pcm, hw);
                const bool ok =
                    snd_pcm_hw_params_test_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) == 0 &&
                    snd_pcm_hw_params_test_format(pcm, hw, bits16 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_U8) == 0 &&
                    snd_pcm_hw_params_test_channels(pcm, hw, ch) == 0 &&
                    snd_pcm_hw_params_test_rate(pcm, hw, rates[r], 0) == 0;
                if (ok) flags |= 1u << (4 * r + 2 * bits16 + (ch - 1));
            }
    snd_pcm_hw_params_free(hw);
    snd_pcm_close(pcm);
    *formats = flags;
    return kWaveOk;
}

uint32_t wave_in_query(uint32_t device, const WaveFormat& format) {
    if (device != 0) return kWaveBadDevice;
    uint32_t result = kWaveOk;
    if (snd_pcm_t* pcm = open_pcm(format, &result)) snd_pcm_close(pcm);
    return result;
}

uint32_t wave_in_open(uint32_t device, const WaveFormat& format, WaveInPtr* out) {
    if (device != 0) return kWaveBadDevice;
    uint32_t result = kWaveOk;
    snd_pcm_t* pcm = open_pcm(format, &result);
    if (!pcm) return result;
    *out = std::make_unique<AlsaWaveIn>(pcm, format);
    return kWaveOk;
}

}  // namespace kelmo::platform::posix
