// Speaker playback: a signal played through the first waveform-output
// device from a ring of two halves, resampled when the device's rate is
// far from the signal's.
#pragma once

#include <cstdint>
#include <vector>

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
// The longest sleep of a write's wait between two looks at the position.
inline constexpr uint32_t kSpeakerSliceUs = 50000;

// Output frame j of the resampler at running position `pos`: the windowed
// sinc over 33 taps of `x` (of `length` samples) at (pos + j) / ratio.
// This is what the resampler's values are; Resampler gives the same.
double resample_at(const double* x, int32_t length, uint32_t pos, uint32_t j, double ratio);

// The resampler of one playback: resample_at's values, with the 33 weights
// of each fractional phase worked out once. For a constant ratio the
// fraction of (pos + j) / ratio takes a few values only (4 for 2000 Hz
// played at 8000 Hz, 8 for 3000 Hz): each phase keeps the weights of the
// fraction it was computed at, with their first two derivatives, and a
// fraction that is off by rounding (at most a few 1e-7 at large positions)
// is met by the Taylor polynomial, some 1e-17 of the values off. Where
// the fraction is the same to the bit (ratios of powers of two, such as
// 4), the values are resample_at's to the bit. A ratio whose phases do
// not repeat within kPhases frames is computed directly.
class Resampler {
public:
    static constexpr uint32_t kPhases = 1024;

    Resampler() = default;
    explicit Resampler(double ratio);
    // Frames pos .. pos + count - 1 (the index wrapping at 32 bits) of x,
    // into out[0], out[stride], ...; of y too, where it is not null, into
    // out[1], out[1 + stride], ...
    void run(const double* x, const double* y, int32_t length, uint32_t pos, uint32_t count, double* out,
             uint32_t stride);
    uint32_t period() const { return period_; }

private:
    // The weights of `slot` at fraction f, and their derivatives.
    void fill(uint32_t slot, double f);

    double ratio_ = 1.0;
    double cutoff_ = 1.0;
    uint32_t period_ = 0;          // frames after which the fraction repeats; 0: none found
    std::vector<double> weights_;  // per slot: 33 weights, 33 first, 33 halved second derivatives
    std::vector<double> anchor_;   // per slot: the fraction its weights are for (NaN: none yet)
};

}  // namespace kelmo::sound
