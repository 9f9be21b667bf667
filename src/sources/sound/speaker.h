// Speaker playback: a signal played through the first waveform-output
// device from a ring of two halves, resampled when the device's rate is
// far from the signal's.
#pragma once

#include <cstdint>

namespace kelmo::sound {

int open_speaker(double rate, int32_t channels, int32_t volume, double fullScale);
int write_speaker(int32_t count, int32_t start, int32_t length, const double* left, const double* right);
int close_speaker();
// Closes the playback quietly and forgets it (test_reset.h).
void reset_speaker_for_tests();

// The largest conversion block: frames x channels.
inline constexpr int32_t kSpeakerBlock = 8192;
// How long a write waits for a device that plays nothing, in ms.
inline constexpr uint32_t kSpeakerStallMs = 3000;

// Output frame j of the resampler at running position `pos`: the windowed
// sinc over 33 taps of `x` (of `length` samples) at (pos + j) / ratio.
double resample_at(const double* x, int32_t length, uint32_t pos, uint32_t j, double ratio);

}  // namespace kelmo::sound
