// The fake capture device.
#include "platform/fake/fake_wave.h"

#include <cstring>

namespace kelmo::platform {
namespace {

class FakeWaveIn final : public WaveIn, fake::FakeWave<FakePlatform::Sound> {
public:
    explicit FakeWaveIn(FakePlatform& owner) : FakeWave(owner, owner.sound) {}
    ~FakeWaveIn() override { close(); }
    uint32_t prepare(int slot, void* data, uint32_t bytes) override { return prepare_slot(slot, data, bytes); }
    uint32_t unprepare(int slot) override { return slot_call("unprepare", slot, &WaveSlots::unprepare); }
    uint32_t add(int slot) override { return slot_call("add", slot, &WaveSlots::enqueue); }
    uint32_t start() override { return call("start", [&] { return s_.running = true, 0u; }); }
    uint32_t stop() override { return call("stop", [&] { return s_.running = false, 0u; }); }
    uint32_t reset() override {
        return call("reset", [&] {
            s_.running = false;
            s_.buffers.unqueue_all();
            return 0u;
        });
    }
    uint32_t position(uint32_t* frames) override {
        return call("position", [&] {
            if (s_.running && !s_.stalled) record(s_.framesPerPoll);
            *frames = static_cast<uint32_t>(s_.frames);
            return 0u;
        });
    }
    uint32_t close() override {
        return close_device([&] { s_.running = false; });
    }

private:
    void record(uint32_t n) {
        const int ch = s_.format.channels;
        for (uint32_t i = 0; i < n; ++i, ++s_.frames) {
            if (s_.buffers.queue.empty()) break;  // nothing queued: the frames wait in the device
            auto& slot = s_.buffers.slots[s_.buffers.queue.front()];
            for (int c = 0; c < ch; ++c) {
                const int16_t v = s_.signal(s_.frames, c);
                std::memcpy(slot.data + slot.used, &v, 2);
                slot.used += 2;
            }
            s_.buffers.advance(2u * ch);
        }
    }
};

}  // namespace

uint32_t FakePlatform::wave_in_caps(uint32_t, uint32_t* formats) {
    sound.calls.push_back("caps");
    if (sound.capsResult == 0 && injected()) return kWaveError;
    if (sound.capsResult == 0) *formats = sound.formats;
    return sound.capsResult;
}

uint32_t FakePlatform::wave_in_query(uint32_t, const WaveFormat&) {
    sound.calls.push_back("query");
    if (sound.queryResult == 0 && injected()) return kWaveError;
    return sound.queryResult;
}

uint32_t FakePlatform::wave_in_open(uint32_t, const WaveFormat& format, WaveInPtr* out) {
    sound.calls.push_back("open");
    if (sound.openResult) return sound.openResult;
    if (injected()) return kWaveError;
    sound.open = true;
    ++sound.opens;
    sound.format = format;
    sound.frames = 0;
    sound.buffers = WaveSlots{};
    *out = std::make_unique<FakeWaveIn>(*this);
    return 0;
}

}  // namespace kelmo::platform
