// Pre-sampling: from a wanted sampling frequency to the divider
// (freqCode) the acquisitions take, and back.
#pragma once

#include <cstdint>

namespace kelmo {

inline constexpr double kSimClock = 4.096e13;
inline constexpr uint32_t kSimSlowDivider = 2048000000u;
inline constexpr double kSoundClock = 352800.0;

struct SimDivider {
    uint32_t freqCode;
    double actual;
    double clockScale;
};
// Divider of the simulated source for `frequency` Hz.
SimDivider sim_divider(double frequency);

struct SoundDivider {
    uint32_t freqCode;
    double actual;
};
// Divider of the sound card; `highestRate` is the best standard rate the
// capture device offers (or the request itself when unknown).
SoundDivider sound_divider(double frequency, double highestRate);

// The sampling frequency that divider d gives on `type` with n channels;
// false for card types without a read-back formula.
bool read_back_frequency(int32_t type, uint32_t d, int32_t n, int32_t clockFlag, double simScale, double* hz);

}  // namespace kelmo
