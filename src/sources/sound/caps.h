// What the sound card offers: its clock and dividers, the capabilities of
// the capture device, and its full scale.
#pragma once

#include <cstdint>

#include "core/card_types.h"

namespace kelmo::sound {

// Divider d samples at kClock / d Hz.
inline constexpr double kClock = cards::kSoundClock;

struct SoundDivider {
    uint32_t freqCode;
    double actual;
};
// The divider for `frequency` Hz; `highestRate` is the best standard rate
// the capture device offers (or the request itself when unknown).
SoundDivider sound_divider(double frequency, double highestRate);

// Highest standard rate and channel count of a wave-input device from the
// standard format flags of its capability record. Without any known flag
// (or when the device could not be asked) the answer is 11025 Hz, 1 channel.
struct SoundCaps {
    double highFreq;
    int32_t channels;
};
SoundCaps sound_caps(uint32_t formatFlags);

// Full scale at input gain `inputGain`, truncated toward zero.
int32_t sound_full_scale(double inputGain);

}  // namespace kelmo::sound
