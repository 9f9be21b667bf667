#include "core/fused.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/cpu.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kelmo {
namespace {

// s + t == a + b exactly.
inline void two_sum(double a, double b, double& s, double& t) {
    s = a + b;
    const double bb = s - a;
    t = (a - (s - bb)) + (b - bb);
}

// p + e == a * b exactly (no overflow in the split: |a|, |b| < 2^996).
inline void two_product(double a, double b, double& p, double& e) {
    constexpr double kSplit = 134217729.0;  // 2^27 + 1
    const double ca = kSplit * a, cb = kSplit * b;
    const double ah = ca - (ca - a), al = a - ah;
    const double bh = cb - (cb - b), bl = b - bh;
    p = a * b;
    e = ((ah * bh - p) + ah * bl + al * bh) + al * bl;
}

// a + b rounded to odd: the exact sum where it is a double, else of its
// two neighbours the one whose last bit is 1.
inline double add_round_to_odd(double a, double b) {
    double s, t;
    two_sum(a, b, s, t);
    if (t == 0.0) return s;
    uint64_t bits;
    std::memcpy(&bits, &s, sizeof bits);
    if (bits & 1) return s;
    // Toward the exact sum s + t: away from zero when t has s's sign.
    bits += ((t > 0.0) == (s > 0.0)) ? 1 : uint64_t(-1);
    std::memcpy(&s, &bits, sizeof s);
    return s;
}

// The operands whose split cannot overflow and whose product's rounding
// error is a normal number.
inline bool splits(double v) {
    const double m = std::fabs(v);
    return m >= 0x1p-480 && m <= 0x1p480;
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("fma"))) double fused_hardware(double a, double b, double c) {
    return _mm_cvtsd_f64(_mm_fmadd_sd(_mm_set_sd(a), _mm_set_sd(b), _mm_set_sd(c)));
}
bool cpu_has_fma() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("fma") != 0;
    }();
    return has;
}
#endif

}  // namespace

double fused_multiply_add_emulated(double a, double b, double c) {
    const double product = a * b;
    // With a zero term the sum is exact after the product's one rounding,
    // signs of zero included.
    if (product == 0.0 || c == 0.0) return product + c;
    if (!splits(a) || !splits(b) || !(std::fabs(c) <= 0x1p1000)) return std::fma(a, b, c);
    double p, e, s, t;
    two_product(a, b, p, e);
    two_sum(c, p, s, t);
    const double r = s + add_round_to_odd(t, e);
    // A result below the normal numbers would be rounded twice.
    if (r != 0.0 && std::fabs(r) < 0x1p-1000) return std::fma(a, b, c);
    return r;
}

double fused_multiply_add(double a, double b, double c) {
#if defined(__x86_64__) || defined(__i386__)
    if (cpu_has_fma()) return fused_hardware(a, b, c);
#endif
    return fused_multiply_add_emulated(a, b, c);
}

}  // namespace kelmo
