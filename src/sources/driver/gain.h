// Gain codes: the form in which the driver takes a gain.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

namespace kelmo::driver {

// floor(log2(gain) + bias); no code for a gain that has no logarithm.
inline std::optional<int32_t> log2_code(double gain, double bias) {
    if (!(gain > 0.0) || !std::isfinite(gain)) return std::nullopt;
    return static_cast<int32_t>(std::floor(std::log2(gain) + bias));
}

// 256 / gain for the one card that counts gains down from 256 (a code of
// 256 is sent as 255); no code for a gain of 0.
inline std::optional<int32_t> divided_code(int32_t gain) {
    if (gain == 0) return std::nullopt;
    int32_t code = 256 / gain;
    if ((code & 0xFFFF) == 256) code = 255;
    return code;
}

// The two-channel cards (602, 603) take one code per channel, one per
// nibble: channel 1's above channel 0's. No code without both gains.
inline std::optional<int32_t> nibble_code(const double* chGains) {
    if (!chGains) return std::nullopt;
    const auto hi = log2_code(chGains[1], 0.0001), lo = log2_code(chGains[0], 0.0001);
    if (!hi || !lo) return std::nullopt;
    return *hi * 16 + *lo;
}

}  // namespace kelmo::driver
