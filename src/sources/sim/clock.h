// The simulated source's clock: how a divider and the clock scale become a
// sampling period, and the divider chosen for a wanted frequency.
#pragma once

#include <cstdint>

#include "core/card_types.h"

namespace kelmo::sim {

// Divider d at clock scale S samples every d x S / kClock seconds.
inline constexpr double kClock = cards::kSimClock;
// Milliseconds per clock tick at scale 1.
inline constexpr double kMsPerTick = 1000.0 / kClock;
// The divider of every rate too slow for a divider at scale 1; the clock
// scale stretches it instead.
inline constexpr uint32_t kSlowDivider = 2048000000u;
// Clock scales above this one (rates below 0.1 Hz) are not paced.
inline constexpr double kUnpacedScale = 200000.0;

// Seconds between two samples at divider freqCode and clock scale `scale`.
inline double step_seconds(uint32_t freqCode, double scale) { return static_cast<double>(freqCode) * scale / kClock; }
// The nominal length of n samples, in milliseconds.
inline double block_ms(uint32_t freqCode, uint32_t n, double scale) {
    return static_cast<double>(freqCode) * static_cast<double>(n) * scale * kMsPerTick;
}
inline bool paced(double scale) { return !(scale > kUnpacedScale); }

struct SimDivider {
    uint32_t freqCode;
    double actual;
    double clockScale;
};
// The divider (and clock scale) for `frequency` Hz.
SimDivider sim_divider(double frequency);

}  // namespace kelmo::sim
