#include "sources/sound/caps.h"

#include "core/convert.h"
#include "core/numconv.h"

#include <iterator>

namespace kelmo::sound {

SoundDivider sound_divider(double frequency, double highestRate) {
    double f = frequency > highestRate ? highestRate : frequency;
    double q = kClock / f;
    if (!(q <= 65535.0)) q = 65535.0;  // also a NaN request
    const auto c = static_cast<uint16_t>(trunc_i64(q + 0.4));
    const uint32_t code = c <= 8 ? 8 : c <= 16 ? 16 : c <= 32 ? 32 : 40;
    return {code, code == 40 ? 8000.0 : kClock / code};
}

SoundCaps sound_caps(uint32_t formatFlags) {
    // Tested from the lowest rate up, each hit overriding the earlier ones,
    // so the best standard rate wins, stereo if the device has it there.
    struct Format {
        uint32_t flag;
        double rate;
        int32_t channels;
    };
    static constexpr Format kFormats[] = {
        {0x1, 11025, 1},   {0x4, 11025, 1},   {0x2, 11025, 2},   {0x8, 11025, 2},
        {0x10, 22050, 1},  {0x40, 22050, 1},  {0x20, 22050, 2},  {0x80, 22050, 2},
        {0x100, 44100, 1}, {0x400, 44100, 1}, {0x200, 44100, 2}, {0x800, 44100, 2},
    };
    SoundCaps caps{highest_standard_rate(0, 11025.0), 1};
    for (const Format& f : kFormats)
        if (formatFlags & f.flag) caps = SoundCaps{f.rate, f.channels};
    return caps;
}

double highest_standard_rate(uint32_t formatFlags, double otherwise) {
    return (formatFlags & 0xF00) ? 44100.0 : (formatFlags & 0x0F0) ? 22050.0 : (formatFlags & 0x00F) ? 11025.0
                                                                                                   : otherwise;
}

double standard_rate_at_most(double rate) {
    for (const double r : kStandardRates)
        if (rate >= r) return r;
    return kStandardRates[std::size(kStandardRates) - 1];
}

int32_t sound_full_scale(double inputGain) {
    // A gain beyond any integer keeps only the low bits of the truncation.
    return static_cast<int32_t>(
        static_cast<uint32_t>(static_cast<uint64_t>(trunc_i64(inputGain * conv::kSoundFullScale))));
}

}  // namespace kelmo::sound
