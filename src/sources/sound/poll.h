// The sound-card waits look at the device's position in slices: half the
// time the frames still missing take to arrive, between 1 ms and `capUs`
// (a wait that lets window messages run keeps that short), so a long wait
// costs a few dozen looks and a short one stays precise.
#pragma once

#include <algorithm>
#include <cstdint>

namespace kelmo::sound {

inline uint32_t poll_sleep_us(uint64_t missingFrames, uint32_t rate, uint32_t capUs) {
    if (rate == 0) return 1000;
    return static_cast<uint32_t>(std::clamp<uint64_t>(missingFrames * 500000 / rate, 1000, capUs));
}

}  // namespace kelmo::sound
