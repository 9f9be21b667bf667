// Waveform output through winmm.
#include "platform/win32/wave_headers.h"

namespace kelmo::platform::win32 {
namespace {

const WaveCalls<HWAVEOUT> kWaveOutCalls{::waveOutPrepareHeader, ::waveOutUnprepareHeader, ::waveOutWrite,
                                        ::waveOutReset,         ::waveOutGetPosition,     ::waveOutClose};

class Win32WaveOut final : public WaveOut {
public:
    Win32WaveOut(HWAVEOUT h, uint16_t blockAlign) : d_(h, blockAlign, kWaveOutCalls) {}
    uint32_t prepare(int slot, void* data, uint32_t bytes) override { return d_.prepare(slot, data, bytes); }
    uint32_t unprepare(int slot) override { return d_.unprepare(slot); }
    uint32_t write(int slot) override { return d_.queue(slot); }
    uint32_t pause() override { return ::waveOutPause(d_.handle()); }
    uint32_t restart() override { return ::waveOutRestart(d_.handle()); }
    uint32_t reset() override { return d_.reset(); }
    uint32_t position(uint32_t* frames) override { return d_.position(frames); }
    uint32_t set_volume(uint32_t volume) override { return ::waveOutSetVolume(d_.handle(), volume); }
    uint32_t close() override { return d_.close(); }

private:
    WaveHeaders<HWAVEOUT> d_;
};

}  // namespace

namespace {
class Win32WaveOutputs final : public WaveOutputs {
public:
    uint32_t wave_out_count() override;
    uint32_t wave_out_caps(uint32_t device, WaveOutCaps* caps) override;
    uint32_t wave_out_query(uint32_t device, const WaveFormat& format) override;
    uint32_t wave_out_open(uint32_t device, const WaveFormat& format, WaveOutPtr* out) override;
};
}  // namespace

uint32_t Win32WaveOutputs::wave_out_count() { return ::waveOutGetNumDevs(); }

uint32_t Win32WaveOutputs::wave_out_caps(uint32_t device, WaveOutCaps* caps) {
    WAVEOUTCAPSA c{};
    const MMRESULT r = ::waveOutGetDevCapsA(device, &c, sizeof c);
    if (r == MMSYSERR_NOERROR) *caps = WaveOutCaps{c.dwFormats, c.wChannels, (c.dwSupport & WAVECAPS_VOLUME) != 0};
    return r;
}

uint32_t Win32WaveOutputs::wave_out_query(uint32_t device, const WaveFormat& format) {
    WAVEFORMATEX w = wave_format(format);
    return ::waveOutOpen(nullptr, device, &w, 0, 0, WAVE_FORMAT_QUERY);
}

uint32_t Win32WaveOutputs::wave_out_open(uint32_t device, const WaveFormat& format, WaveOutPtr* out) {
    WAVEFORMATEX w = wave_format(format);
    HWAVEOUT h = nullptr;
    const MMRESULT r = ::waveOutOpen(&h, device, &w, 0, 0, CALLBACK_NULL);
    if (r == MMSYSERR_NOERROR) *out = std::make_unique<Win32WaveOut>(h, format.blockAlign);
    return r;
}

WaveOutputs& wave_outputs() {
    static Win32WaveOutputs instance;
    return instance;
}

}  // namespace kelmo::platform::win32
