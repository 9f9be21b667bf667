// Waveform input through winmm: device 0 .. n-1, or the wave mapper.
#include "platform/win32/wave_headers.h"

namespace kelmo::platform::win32 {
namespace {

const WaveCalls<HWAVEIN> kWaveInCalls{::waveInPrepareHeader, ::waveInUnprepareHeader, ::waveInAddBuffer,
                                      ::waveInReset,         ::waveInGetPosition,     ::waveInClose};

class Win32WaveIn final : public WaveIn {
public:
    Win32WaveIn(HWAVEIN h, uint16_t blockAlign) : d_(h, blockAlign, kWaveInCalls) {}
    HWAVEIN handle() const { return d_.handle(); }
    uint32_t prepare(int slot, void* data, uint32_t bytes) override { return d_.prepare(slot, data, bytes); }
    uint32_t unprepare(int slot) override { return d_.unprepare(slot); }
    uint32_t add(int slot) override { return d_.queue(slot); }
    uint32_t start() override { return ::waveInStart(d_.handle()); }
    uint32_t stop() override { return ::waveInStop(d_.handle()); }
    uint32_t reset() override { return d_.reset(); }
    uint32_t position(uint32_t* frames) override { return d_.position(frames); }
    uint32_t close() override { return d_.close(); }

private:
    WaveHeaders<HWAVEIN> d_;
};

}  // namespace

namespace {
class Win32WaveInputs final : public WaveInputs {
public:
    uint32_t wave_in_caps(uint32_t device, uint32_t* formats) override;
    uint32_t wave_in_query(uint32_t device, const WaveFormat& format) override;
    uint32_t wave_in_open(uint32_t device, const WaveFormat& format, WaveInPtr* out) override;
};
}  // namespace

uint32_t Win32WaveInputs::wave_in_caps(uint32_t device, uint32_t* formats) {
    WAVEINCAPSA caps{};
    const MMRESULT r = ::waveInGetDevCapsA(device, &caps, sizeof caps);
    if (r == MMSYSERR_NOERROR) *formats = caps.dwFormats;
    return r;
}

uint32_t Win32WaveInputs::wave_in_query(uint32_t device, const WaveFormat& format) {
    WAVEFORMATEX w = wave_format(format);
    return ::waveInOpen(nullptr, device, &w, 0, 0, WAVE_FORMAT_QUERY);
}

uint32_t Win32WaveInputs::wave_in_open(uint32_t device, const WaveFormat& format, WaveInPtr* out) {
    WAVEFORMATEX w = wave_format(format);
    HWAVEIN h = nullptr;
    const MMRESULT r = ::waveInOpen(&h, device, &w, 0, 0, CALLBACK_NULL);
    if (r == MMSYSERR_NOERROR) *out = std::make_unique<Win32WaveIn>(h, format.blockAlign);
    return r;
}

bool wave_in_handle(WaveIn& device, HWAVEIN* handle) {
    auto* in = dynamic_cast<Win32WaveIn*>(&device);
    if (!in) return false;
    *handle = in->handle();
    return true;
}

WaveInputs& wave_inputs() {
    static Win32WaveInputs instance;
    return instance;
}

}  // namespace kelmo::platform::win32
