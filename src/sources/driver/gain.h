// Gain codes: the form in which the driver takes a gain.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

#include "core/card_types.h"

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

// Which export asks: each family has its own rule for the gain code.
enum class GainRule {
    Single,          // OneChSam family
    Block,           // MulChSam
    BlockWords,      // MulChSamW
    BlockEx,         // MulChSamEx
    BlockWordsEx,    // MulChSamWEx
    Start,           // Set_dbl_MulChSam
    StartEx,         // Set_dbl_MulChSamEx
};

// The gain code the driver receives for a card type, or nothing when the
// gain has none (the call is refused then). chGains: the Ex variants'
// per-channel gains (may be null).
inline std::optional<int32_t> gain_code(GainRule rule, const cards::CardType& card, int32_t gain,
                                        const double* chGains) {
    const cards::GainCode kind = card.gainCode;
    const bool countDown = kind == cards::GainCode::CountDown;
    const bool perChannel = kind == cards::GainCode::Nibbles;  // one code per channel, or 17 x the code
    switch (rule) {
        case GainRule::Single:
            if (countDown) return divided_code(static_cast<int16_t>(gain));
            return log2_code(static_cast<int16_t>(gain), 0.00001);
        case GainRule::Block:
            if (countDown) return gain;
            [[fallthrough]];
        case GainRule::Start: {
            if (countDown) return divided_code(gain);
            auto c = log2_code(gain, 0.00001);
            if (c && perChannel) *c *= 17;
            return c;
        }
        case GainRule::BlockWords:
            if (countDown) return divided_code(gain);
            return log2_code(gain, 0.00001);
        case GainRule::BlockEx:
        case GainRule::BlockWordsEx:
        case GainRule::StartEx:
            if (countDown) return divided_code(gain);
            if (perChannel) return nibble_code(chGains);
            return log2_code(gain, rule == GainRule::BlockEx ? 0.5 : 0.0001);
    }
    return std::nullopt;
}

}  // namespace kelmo::driver
