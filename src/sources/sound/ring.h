// The ring both directions of the sound card stream through: 16-bit
// samples in two halves, each half one waveform buffer (slot 0 and slot
// 1), so that the device works on one half while the library copies the
// other.
#pragma once

#include <cstdint>
#include <utility>

#include "platform/platform.h"
#include "sources/sound/step.h"

namespace kelmo::sound {

inline constexpr uint32_t kRingBytes = 102400;
inline constexpr uint32_t kHalfBytes = kRingBytes / 2;
inline constexpr uint32_t kRingSamples = kRingBytes / 2;  // of 16 bits
inline constexpr uint32_t kHalfSamples = kRingSamples / 2;

class TwoHalfRing {
public:
    TwoHalfRing() = default;
    // The ring's pages, zero-filled; none (the reason recorded) where the
    // system gives none.
    static TwoHalfRing make() { return TwoHalfRing(platform::make_page_buffer(kRingBytes)); }

    explicit operator bool() const { return pages_ != nullptr; }
    void reset() { pages_.reset(); }
    int16_t* samples() const { return static_cast<int16_t*>(pages_->data()); }
    unsigned char* half(int slot) const { return static_cast<unsigned char*>(pages_->data()) + (slot ? kHalfBytes : 0); }

    // Gives slot's half back to `device` (which may be gone) and queues it
    // again: unprepare, prepare, then `queue` (add for capture, write for
    // output). A step that fails is said with its message, and ends it.
    // `direction`: "capture" or "output"; `giveBack`: the first step in
    // words ("give back a recorded half").
    template <class Device, class Queue>
    bool requeue(Device* device, int slot, Queue queue, const char* direction, const char* giveBack,
                 const char* unprepareMsg, const char* prepareMsg, const char* queueMsg) const {
        const auto on = [&](auto&& f) { return device ? f(*device) : static_cast<uint32_t>(platform::kWaveBadHandle); };
        return device_step(on([&](Device& d) { return d.unprepare(slot); }), direction, giveBack, unprepareMsg) &&
               device_step(on([&](Device& d) { return d.prepare(slot, half(slot), kHalfBytes); }), direction,
                           "prepare a half of its buffer", prepareMsg) &&
               device_step(on([&](Device& d) { return queue(d, slot); }), direction, "queue a half of its buffer",
                           queueMsg);
    }

private:
    explicit TwoHalfRing(platform::PageBufferPtr pages) : pages_(std::move(pages)) {}
    platform::PageBufferPtr pages_;
};

}  // namespace kelmo::sound
