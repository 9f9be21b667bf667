#include "encoding.h"

#include <cmath>
#include <initializer_list>

namespace zebsim {
namespace {

bool among(int32_t t, std::initializer_list<int32_t> types) {
    for (const int32_t x : types)
        if (x == t) return true;
    return false;
}

// Toward zero, as a 64-bit integer (whose low bits are stored).
int64_t truncated(double x) { return static_cast<int64_t>(std::trunc(x)); }
uint32_t low16(int64_t x) { return static_cast<uint32_t>(static_cast<uint64_t>(x) & 0xFFFFu); }
uint32_t low32(int64_t x) { return static_cast<uint32_t>(static_cast<uint64_t>(x) & 0xFFFFFFFFu); }

}  // namespace

Encoding encoding_of(int32_t cardType) {
    const int32_t t = cardType >= 831 && cardType <= 859 ? cardType - 30 : cardType;
    using enum Encoding;
    if (among(t, {123, 602, 603, 638, 648, 658, 668, 669, 678, 679, 698, 699, 861, 863})) return Signed16Of5000;
    if (among(t, {616, 618, 619, 688})) return Offset16Of5000;
    if (among(t, {632, 633, 661, 662, 666})) return Signed12Of5000;
    if (t == 653) return Inverted12Of5000;
    if (among(t, {806, 807, 810, 811, 812})) return Offset12Of5000;
    if (among(t, {706, 712, 718, 719, 728, 729, 808, 809, 872, 881, 882, 884, 885, 886}) || (t >= 721 && t <= 724) ||
        (t >= 801 && t <= 805) || (t >= 813 && t <= 829))
        return Signed16Of10000;
    if (t == 720) return Signed16Of1000;
    if (t == 880) return Signed16Of2000;
    if (t == 800) return Signed16Sound;
    if (t == 124 || t == 891) return Signed32Of5000;
    if (t == 890) return Signed24Of5000;
    if (t == 892) return Signed32Of10000;
    return None;
}

std::size_t word_bytes(Encoding e) {
    using enum Encoding;
    return e == Signed32Of5000 || e == Signed24Of5000 || e == Signed32Of10000 ? 4 : 2;
}

double full_scale_of(Encoding e) {
    using enum Encoding;
    switch (e) {
        case Signed16Of10000:
        case Signed32Of10000: return 10000.0;
        case Signed16Of1000: return 1000.0;
        case Signed16Of2000: return 2000.0;
        default: return 5000.0;
    }
}

uint32_t encode(Encoding e, double v) {
    using enum Encoding;
    switch (e) {
        case None: return 0;
        case Signed16Of5000: return low16(truncated(v * 6.5536));
        case Offset16Of5000: return low16(truncated(v * 6.5536 + 32768.0));
        case Signed12Of5000: return low16((truncated(v * 0.4096 + 2048.0) & 0x0FFF) ^ 0x0800);
        case Inverted12Of5000: return low16(truncated(2048.0 - v * 0.4096));
        case Offset12Of5000: return low16(truncated(v * 0.4096 + 2048.0));
        case Signed16Of10000: return low16(truncated(v * 3.2768));
        case Signed16Of1000: return low16(truncated(v * 32.752));
        case Signed16Of2000: return low16(truncated(v * 16.384));
        case Signed16Sound: return low16(truncated(v * 32768.0 / 140.0));  // at an input gain of 1
        case Signed32Of5000: return low32(truncated(v * 429496.7296));
        case Signed24Of5000: return low32(truncated(v * 429496.7296) >> 8);
        case Signed32Of10000: return low32(truncated(v * 214748.3648));
    }
    return 0;
}

}  // namespace zebsim
