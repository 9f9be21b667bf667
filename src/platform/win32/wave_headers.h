// What the winmm waveform devices of both directions share: the format
// record, and an open device with one header per buffer slot.
#pragma once

#include "platform/win32/win32.h"

namespace kelmo::platform::win32 {

inline WAVEFORMATEX wave_format(const WaveFormat& f) {
    WAVEFORMATEX w{};
    w.wFormatTag = WAVE_FORMAT_PCM;
    w.nChannels = f.channels;
    w.nSamplesPerSec = f.rate;
    w.nAvgBytesPerSec = f.bytesPerSecond;
    w.nBlockAlign = f.blockAlign;
    w.wBitsPerSample = f.bitsPerSample;
    w.cbSize = 0;
    return w;
}

// The winmm calls of one direction of waveform device.
template <class H>
struct WaveCalls {
    MMRESULT(WINAPI* prepare)(H, LPWAVEHDR, UINT);
    MMRESULT(WINAPI* unprepare)(H, LPWAVEHDR, UINT);
    MMRESULT(WINAPI* queue)(H, LPWAVEHDR, UINT);  // add (input) or write (output)
    MMRESULT(WINAPI* reset)(H);
    MMRESULT(WINAPI* position)(H, LPMMTIME, UINT);
    MMRESULT(WINAPI* close)(H);
};

// An open waveform device of either direction with one header per slot;
// what is still prepared is given back when it goes.
template <class H>
class WaveHeaders {
public:
    WaveHeaders(H h, uint16_t blockAlign, const WaveCalls<H>& calls)
        : h_(h), blockAlign_(blockAlign ? blockAlign : 1), calls_(calls) {}
    ~WaveHeaders() {
        if (!h_) return;
        calls_.reset(h_);
        for (WAVEHDR& hdr : hdr_)
            if (hdr.dwFlags & WHDR_PREPARED) calls_.unprepare(h_, &hdr, sizeof hdr);
        calls_.close(h_);
    }
    WaveHeaders(const WaveHeaders&) = delete;
    WaveHeaders& operator=(const WaveHeaders&) = delete;

    H handle() const { return h_; }
    uint32_t prepare(int slot, void* data, uint32_t bytes) {
        if (!valid(slot)) return kWaveError;
        WAVEHDR& hdr = hdr_[slot];
        hdr = WAVEHDR{};
        hdr.lpData = static_cast<LPSTR>(data);
        hdr.dwBufferLength = bytes;
        return calls_.prepare(h_, &hdr, sizeof hdr);
    }
    uint32_t unprepare(int slot) { return valid(slot) ? calls_.unprepare(h_, &hdr_[slot], sizeof(WAVEHDR)) : kWaveError; }
    uint32_t queue(int slot) { return valid(slot) ? calls_.queue(h_, &hdr_[slot], sizeof(WAVEHDR)) : kWaveError; }
    uint32_t reset() { return calls_.reset(h_); }
    uint32_t position(uint32_t* frames) {
        MMTIME t{};
        t.wType = TIME_SAMPLES;
        const MMRESULT r = calls_.position(h_, &t, sizeof t);
        if (r != MMSYSERR_NOERROR) return r;
        *frames = t.wType == TIME_SAMPLES ? t.u.sample : t.wType == TIME_BYTES ? t.u.cb / blockAlign_ : 0;
        return MMSYSERR_NOERROR;
    }
    uint32_t close() {
        const MMRESULT r = calls_.close(h_);
        if (r == MMSYSERR_NOERROR) h_ = nullptr;
        return r;
    }

private:
    static bool valid(int slot) { return slot == 0 || slot == 1; }
    H h_;
    uint16_t blockAlign_;
    const WaveCalls<H>& calls_;
    WAVEHDR hdr_[2]{};
};

}  // namespace kelmo::platform::win32
