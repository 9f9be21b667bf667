// The ring both directions of the sound card stream through: 16-bit
// samples in two halves, each half one waveform buffer, so that the device
// works on one half while the library copies the other.
#pragma once

#include <cstdint>

namespace kelmo::sound {

inline constexpr uint32_t kRingBytes = 102400;
inline constexpr uint32_t kHalfBytes = kRingBytes / 2;
inline constexpr uint32_t kRingSamples = kRingBytes / 2;  // of 16 bits
inline constexpr uint32_t kHalfSamples = kRingSamples / 2;

}  // namespace kelmo::sound
