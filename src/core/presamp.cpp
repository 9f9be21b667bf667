#include "core/presamp.h"

#include <cmath>

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
    const double d = static_cast<double>(freqCode);
    const double ch = static_cast<double>(n);
    const double b = clockFlag == -1 ? 8192000.0 : 10000000.0;
    auto per_channel = [&](double clock) { return clock / d / ch; };
    double f;
    switch (type) {
        case 123: case 124: f = kSimClock / d / simScale; break;
        case 602: case 603: f = 1e7 / d; break;
        case 616: case 618: f = per_channel(2e6); break;
        case 619: f = per_channel(2.048e6); break;
        case 632: case 633: case 661: case 662: case 666: f = per_channel(2e6); break;
        case 638: case 648: case 658: case 668: case 669: case 678: case 679: case 698: case 699: case 688:
            f = per_channel(b);
            break;
        case 653: f = 2e6 / d / static_cast<double>((static_cast<int64_t>(n) + 1) / 2); break;
        case 706: case 712: case 885: case 886: f = 2.4e6 / d; break;
        case 718: case 721: case 722: case 723: case 724: f = per_channel(2e6); break;
        case 719: f = per_channel(2.048e6); break;
        case 720: f = 4e7 / d; break;
        case 728: case 729: case 861: f = per_channel(8.192e6); break;
        case 800: f = kSoundClock / d; break;
        case 802: case 803: case 804: case 805: case 808: case 809: case 820: case 881: case 882: case 884:
        case 806: case 807: case 810: case 811: case 812:
            f = per_channel(6e6);
            break;
        // Base clocks of these instruments: 8.192 MHz for the 16-bit ones,
        // 24.576 MHz (the usual 24-bit converter master clock) for the 32-bit.
        case 863: case 872: f = per_channel(8.192e6); break;
        case 891: case 892: f = per_channel(2.4576e7); break;
        case 880: f = 8.192e6 / d; break;
        case 890: f = 146484.375 / d; break;
        default:
            if (type >= 813 && type <= 829 && type != 820) {
                f = per_channel(8.192e6);
                break;
            }
            return false;
    }
    *hz = f;
    return true;
}

}  // namespace kelmo
