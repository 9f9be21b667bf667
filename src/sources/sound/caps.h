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

// The standard rates a sound device runs at, highest first.
inline constexpr double kStandardRates[] = {44100.0, 22050.0, 11025.0, 8000.0};
// The highest standard rate among a device's format flags (0x100 .. 0x800:
// 44100 Hz, 0x10 .. 0x80: 22050 Hz, 0x1 .. 0x8: 11025 Hz); `otherwise`
// when it names none. (The capture dividers take the request there, the
// speaker 44100 Hz, the capabilities' record 11025 Hz.)
double highest_standard_rate(uint32_t formatFlags, double otherwise);
// The highest standard rate at or below `rate` (8000 Hz below it).
double standard_rate_at_most(double rate);

// Full scale at input gain `inputGain`, truncated toward zero.
int32_t sound_full_scale(double inputGain);

}  // namespace kelmo::sound
