// The fake playback device.
#include "platform/fake/fake_wave.h"

#include <algorithm>
#include <cstring>

namespace kelmo::platform {
namespace {

class FakeWaveOut final : public WaveOut, fake::FakeWave<FakePlatform::Speaker> {
public:
    explicit FakeWaveOut(FakePlatform& owner) : FakeWave(owner, owner.speaker) {}
    ~FakeWaveOut() override { close(); }
    uint32_t prepare(int slot, void* data, uint32_t bytes) override { return prepare_slot(slot, data, bytes); }
    uint32_t unprepare(int slot) override { return slot_call("unprepare", slot, &WaveSlots::unprepare); }
    uint32_t write(int slot) override { return slot_call("write", slot, &WaveSlots::enqueue); }
    uint32_t pause() override { return call("pause", [&] { return s_.paused = true, 0u; }); }
    uint32_t restart() override { return call("restart", [&] { return s_.paused = false, 0u; }); }
    uint32_t reset() override {
        return call("reset", [&] {
            s_.buffers.unqueue_all();
            return 0u;
        });
    }
    uint32_t position(uint32_t* frames) override {
        return call("position", [&] {
            if (!s_.paused && !s_.stalled) play(s_.framesPerPoll);
            *frames = static_cast<uint32_t>(s_.frames);
            return 0u;
        });
    }
    // With `signals`, the device plays up to the frames waited for (as far
    // as its buffers go), and the wait takes the time they take at the
    // device's rate; a stalled or paused device lets the whole timeout pass.
    bool wait_position(uint32_t frames, uint32_t timeoutUs) override {
        if (!s_.signals) return false;
        s_.calls.push_back("wait");
        const auto missing = static_cast<uint32_t>(frames - static_cast<uint32_t>(s_.frames));
        if (s_.paused || s_.stalled || static_cast<int32_t>(missing) <= 0 || s_.format.rate == 0) {
            if (s_.paused || s_.stalled) owner().sleep_us(timeoutUs);
            return true;
        }
        const uint64_t before = s_.frames;
        play(missing);
        owner().sleep_us(static_cast<uint32_t>(
            std::min<uint64_t>((s_.frames - before) * 1000000 / s_.format.rate, timeoutUs)));
        return true;
    }
    uint32_t set_volume(uint32_t volume) override {
        return call("volume", [&] { return s_.volume = volume, 0u; });
    }
    uint32_t close() override {
        return close_device([] {});
    }

private:
    // Plays n frames of the queued buffers; a device with nothing queued
    // plays nothing.
    void play(uint32_t n) {
        const uint32_t frameBytes = 2u * s_.format.channels;
        for (uint32_t i = 0; i < n && !s_.buffers.queue.empty(); ++i, ++s_.frames) {
            auto& slot = s_.buffers.slots[s_.buffers.queue.front()];
            for (uint32_t c = 0; c < s_.format.channels; ++c) {
                int16_t v;
                std::memcpy(&v, slot.data + slot.used, 2);
                s_.played.push_back(v);
                slot.used += 2;
            }
            s_.buffers.advance(frameBytes);
        }
    }
};

}  // namespace

uint32_t FakePlatform::wave_out_caps(uint32_t, WaveOutCaps* caps) {
    speaker.calls.push_back("caps");
    if (speaker.capsResult == 0 && injected()) return kWaveError;
    if (speaker.capsResult == 0) *caps = speaker.caps;
    return speaker.capsResult;
}

uint32_t FakePlatform::wave_out_query(uint32_t, const WaveFormat&) {
    speaker.calls.push_back("query");
    if (speaker.queryResult == 0 && injected()) return kWaveError;
    return speaker.queryResult;
}

uint32_t FakePlatform::wave_out_open(uint32_t, const WaveFormat& format, WaveOutPtr* out) {
    speaker.calls.push_back("open");
    if (speaker.openResult) return speaker.openResult;
    if (injected()) return kWaveError;
    speaker.open = true;
    ++speaker.opens;
    speaker.format = format;
    speaker.frames = 0;
    speaker.played.clear();
    speaker.paused = false;
    speaker.buffers = WaveSlots{};
    *out = std::make_unique<FakeWaveOut>(*this);
    return 0;
}

}  // namespace kelmo::platform
