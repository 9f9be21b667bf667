#include "core/presamp.h"

#include <cmath>

#include "core/card_types.h"
#include "core/numconv.h"

namespace kelmo {

SimDivider sim_divider(double frequency) {
    double f = std::isnan(frequency) ? 0.001 : frequency;
    if (f > kSimClock) f = kSimClock;
    if (f < 0.001) f = 0.001;
    const double d = kSimClock / f;
    if (d <= 4096000000.0) {
        const auto code = static_cast<uint32_t>(trunc_i64(d + 0.4));
        return {code, kSimClock / code, 1.0};
    }
    const double s = 20000.0 / f;
    return {kSimSlowDivider, (kSimClock / s) / kSimSlowDivider, s};
}

SoundDivider sound_divider(double frequency, double highestRate) {
    double f = frequency > highestRate ? highestRate : frequency;
    double q = kSoundClock / f;
    if (!(q <= 65535.0)) q = 65535.0;  // also a NaN request
    const auto c = static_cast<uint16_t>(trunc_i64(q + 0.4));
    const uint32_t code = c <= 8 ? 8 : c <= 16 ? 16 : c <= 32 ? 32 : 40;
    return {code, code == 40 ? 8000.0 : kSoundClock / code};
}

bool read_back_frequency(int32_t type, uint32_t freqCode, int32_t n, int32_t clockFlag, double simScale, double* hz) {
    const cards::CardType c = cards::card_type(type);
    const double d = static_cast<double>(freqCode);
    const double ch = static_cast<double>(n);
    double f;
    switch (c.readBack) {
        case cards::ReadBack::NoFormula: return false;
        case cards::ReadBack::ScaledClock: f = c.clock / d / simScale; break;
        case cards::ReadBack::Fixed: f = c.clock / d; break;
        case cards::ReadBack::PerChannel: f = c.clock / d / ch; break;
        case cards::ReadBack::PerChannelClockFlag: f = (clockFlag == -1 ? 8192000.0 : 10000000.0) / d / ch; break;
        case cards::ReadBack::PerChannelPair:
            f = c.clock / d / static_cast<double>((static_cast<int64_t>(n) + 1) / 2);
            break;
        default: return false;
    }
    *hz = f;
    return true;
}

}  // namespace kelmo
