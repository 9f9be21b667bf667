#include "decimal.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace kelmo::cli {
namespace {

constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The digits of `n`, no leading zeros ("0" for 0).
char* put_unsigned(char* out, uint64_t n) {
    char b[20];
    char* p = b + sizeof b;
    while (n >= 100) {
        p -= 2;
        std::memcpy(p, kPairs + 2 * (n % 100), 2);
        n /= 100;
    }
    if (n >= 10) {
        p -= 2;
        std::memcpy(p, kPairs + 2 * n, 2);
    } else {
        *--p = char('0' + n);
    }
    const std::size_t k = std::size_t(b + sizeof b - p);
    std::memcpy(out, p, k);
    return out + k;
}

// Exactly six digits of `n` < 10^6, leading zeros kept.
char* put_six(char* out, uint32_t n) {
    std::memcpy(out, kPairs + 2 * (n / 10000), 2);
    std::memcpy(out + 2, kPairs + 2 * (n / 100 % 100), 2);
    std::memcpy(out + 4, kPairs + 2 * (n % 100), 2);
    return out + 6;
}

char* put_slow_fixed6(char* out, double v) {
    const auto r = std::to_chars(out, out + kFixed6Most, v, std::chars_format::fixed, 6);
    return r.ec == std::errc() ? r.ptr : out;
}

// Scaled values from here on are kept below 10^6 times this, so that the
// integer part always fits comfortably in 64 bits.
constexpr uint64_t kMostWhole = 9'000'000'000'000ull;
constexpr uint64_t kMillion = 1'000'000;

// round(m * 2^-s * 10^6), ties to even, for 1 <= s; false where the result
// would not be below kMostWhole * 10^6.
bool scaled_micros(uint64_t m, int s, uint64_t* n) {
    // P = m * 10^6 as hi:lo (m < 2^53, so P < 2^73 and hi < 2^9).
    const uint64_t lowProd = (m & 0xFFFFFFFFu) * kMillion;  // < 2^52
    const uint64_t highProd = (m >> 32) * kMillion;          // < 2^41
    uint64_t lo = (highProd << 32) + lowProd;
    const uint64_t hi = (highProd >> 32) + (lo < lowProd ? 1 : 0);
    if (s >= 74) {  // P < 2^73 <= half of 2^s: rounds to 0
        *n = 0;
        return true;
    }
    uint64_t q;
    bool above, tie;
    if (s < 64) {
        if (s < 9 && (hi >> s) != 0) return false;
        q = (hi << (64 - s)) | (lo >> s);
        const uint64_t r = lo & ((uint64_t(1) << s) - 1), half = uint64_t(1) << (s - 1);
        above = r > half;
        tie = r == half;
    } else {
        const int t = s - 64;  // 0 .. 9
        q = hi >> t;
        const uint64_t rHi = hi & ((uint64_t(1) << t) - 1);
        // half = 2^(s-1): in lo for s == 64, else bit t-1 of hi.
        const uint64_t halfHi = t == 0 ? 0 : uint64_t(1) << (t - 1), halfLo = t == 0 ? uint64_t(1) << 63 : 0;
        above = rHi > halfHi || (rHi == halfHi && lo > halfLo);
        tie = rHi == halfHi && lo == halfLo;
    }
    if (above || (tie && (q & 1))) ++q;
    if (q >= kMostWhole * kMillion) return false;
    *n = q;
    return true;
}

}  // namespace

char* put_fixed6(char* out, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const bool negative = (bits >> 63) != 0;
    const int biased = int((bits >> 52) & 0x7FF);
    const uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
    if (biased == 0x7FF) return put_slow_fixed6(out, v);
    const uint64_t m = biased == 0 ? fraction : fraction | (uint64_t(1) << 52);
    const int e = biased == 0 ? -1074 : biased - 1075;  // v = m * 2^e
    uint64_t n = 0;                                     // round(|v| * 10^6)
    if (m == 0) {
        n = 0;
    } else if (e >= 0) {
        if (e > 43 || (m << e) >> e != m || (m << e) >= kMostWhole) return put_slow_fixed6(out, v);
        n = (m << e) * kMillion;
    } else if (!scaled_micros(m, -e, &n)) {
        return put_slow_fixed6(out, v);
    }
    if (negative) *out++ = '-';
    out = put_unsigned(out, n / kMillion);
    *out++ = '.';
    return put_six(out, uint32_t(n % kMillion));
}

char* put_general9(char* out, double v) {
    const auto r = std::to_chars(out, out + 32, v, std::chars_format::general, 9);
    return r.ec == std::errc() ? r.ptr : out;
}

}  // namespace kelmo::cli
