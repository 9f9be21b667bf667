// The sound-card waits look at the device's position in slices: half the
// time the frames still missing take to arrive, between 1 ms and `capUs`
// (a wait that lets window messages run keeps that short), so a long wait
// costs a few dozen looks and a short one stays precise. The position
// itself is carried past its 32 bits.
#pragma once

#include <algorithm>
#include <cstdint>

namespace kelmo::sound {

inline uint32_t poll_sleep_us(uint64_t missingFrames, uint32_t rate, uint32_t capUs) {
    if (rate == 0) return 1000;
    return static_cast<uint32_t>(std::clamp<uint64_t>(missingFrames * 500000 / rate, 1000, capUs));
}

// A device's frame position as it reports it, 32 bits that wrap after 2^32
// frames (some 27 hours at 44.1 kHz), carried on in 64 bits. Readings come
// far more often than every 2^32 frames.
class FrameCount {
public:
    uint64_t update(uint32_t reported) {
        total_ += static_cast<uint32_t>(reported - last_);
        last_ = reported;
        return total_;
    }

private:
    uint64_t total_ = 0;
    uint32_t last_ = 0;
};

}  // namespace kelmo::sound
