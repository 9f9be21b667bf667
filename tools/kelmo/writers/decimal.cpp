#include "decimal.h"

#include <bit>
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

// The digits of `n`, no leading zeros ("0" for 0), written from the end.
char* put_unsigned(char* out, uint64_t n) {
    int digits = 1;
    for (uint64_t bound = 10; digits < 20 && n >= bound; bound *= 10) ++digits;
    char* p = out + digits;
    while (n >= 100) {
        p -= 2;
        std::memcpy(p, kPairs + 2 * (n % 100), 2);
        n /= 100;
    }
    if (n >= 10) {
        std::memcpy(p - 2, kPairs + 2 * n, 2);
    } else {
        p[-1] = char('0' + n);
    }
    return out + digits;
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
    q += uint64_t(above | (tie & ((q & 1) != 0)));  // no branch: either way is as likely
    if (q >= kMostWhole * kMillion) return false;
    *n = q;
    return true;
}

}  // namespace

namespace {

// |v| * 10^6 rounded (ties to even) and the sign, for |v| below kMostWhole;
// false for the rest (and NaN and the infinities).
bool micros_of(double v, uint64_t& n, bool& negative) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    negative = (bits >> 63) != 0;
    const int biased = int((bits >> 52) & 0x7FF);
    const uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
    if (biased == 0x7FF) return false;
    const uint64_t m = biased == 0 ? fraction : fraction | (uint64_t(1) << 52);
    const int e = biased == 0 ? -1074 : biased - 1075;  // v = m * 2^e
    if (m == 0) {
        n = 0;
        return true;
    }
    if (e >= 0) {
        if (e > 43 || (m << e) >> e != m || (m << e) >= kMostWhole) return false;
        n = (m << e) * kMillion;
        return true;
    }
    return scaled_micros(m, -e, &n);
}

// n / 10^6 with six decimals, after a '-' for a negative value.
char* put_micros(char* out, uint64_t n, bool negative) {
    *out = '-';
    out += negative ? 1 : 0;
    const uint64_t whole = n / kMillion;
    if (whole < 10000) {
        // Four digits formed at once, the leading zeros shifted out; the
        // bytes stored past them are overwritten by the decimals.
        const uint32_t w = uint32_t(whole);
        char four[4];
        std::memcpy(four, kPairs + 2 * (w / 100), 2);
        std::memcpy(four + 2, kPairs + 2 * (w % 100), 2);
        const int digits = 1 + (w >= 10) + (w >= 100) + (w >= 1000);
        uint32_t packed;
        std::memcpy(&packed, four, 4);
        if constexpr (std::endian::native == std::endian::little) {
            packed >>= 8 * (4 - digits);
            std::memcpy(out, &packed, 4);
        } else {
            std::memcpy(out, four + (4 - digits), std::size_t(digits));
        }
        out += digits;
    } else {
        out = put_unsigned(out, whole);
    }
    *out++ = '.';
    return put_six(out, uint32_t(n - whole * kMillion));
}

}  // namespace

char* put_fixed6(char* out, double v) {
    uint64_t n;
    bool negative;
    return micros_of(v, n, negative) ? put_micros(out, n, negative) : put_slow_fixed6(out, v);
}

char* put_fixed6_each(char* out, const double* v, std::size_t count, std::ptrdiff_t stride, char before) {
    // In batches: the scaled values of a batch do not depend on each other,
    // and only their digits wait for the place the one before them ended.
    constexpr std::size_t kBatch = 16;
    uint64_t n[kBatch];
    bool negative[kBatch], fast[kBatch];
    for (std::size_t from = 0; from < count; from += kBatch) {
        const std::size_t k = count - from < kBatch ? count - from : kBatch;
        const double* x = v + std::ptrdiff_t(from) * stride;
        for (std::size_t i = 0; i < k; ++i) fast[i] = micros_of(x[std::ptrdiff_t(i) * stride], n[i], negative[i]);
        for (std::size_t i = 0; i < k; ++i) {
            *out++ = before;
            out = fast[i] ? put_micros(out, n[i], negative[i]) : put_slow_fixed6(out, x[std::ptrdiff_t(i) * stride]);
        }
    }
    return out;
}

char* put_general9(char* out, double v) {
    const auto r = std::to_chars(out, out + 32, v, std::chars_format::general, 9);
    return r.ec == std::errc() ? r.ptr : out;
}

}  // namespace kelmo::cli
