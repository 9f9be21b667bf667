// Pieces of the generator shared by its translation units: how a sample is
// stored, the two signal families, the noise filter and its kernels.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/cpu.h"
#include "core/numconv.h"

#ifdef KELMO_HAVE_AVX512_KERNELS
#define KELMO_HAVE_AVX512_KERNEL 1
#endif

namespace kelmo::sim::detail {

// ---- storing a sample -------------------------------------------------------
//
// A sample that is not finite is stored as 0 (code 0). Codes are limited to
// the word's range before truncation, so a finite value never wraps.
enum class Store { Double, W16, W32 };

struct Output {
    Store kind;
    void* out;
    // Values (Store::Double) are limited to +-limit; infinity: not at all.
    double limit = INFINITY;

    // Scale from output units to codes and the code range.
    double scale() const { return kind == Store::W16 ? 6.5536 : 429496.7296; }
    double lowest() const { return kind == Store::W16 ? -32768.0 : -2147483648.0; }
    double highest() const { return kind == Store::W16 ? 32767.0 : 2147483647.0; }
    double limited(double v) const { return v < lowest() ? lowest() : (v > highest() ? highest() : v); }

    void code(std::size_t i, int64_t c) const {
        if (kind == Store::W16) {
            static_cast<int16_t*>(out)[i] = static_cast<int16_t>(c);  // low 16 bits
        } else {
            static_cast<int32_t*>(out)[i] = static_cast<int32_t>(c);  // low 32 bits
        }
    }

    // Cosine and triangle samples: codes truncated toward zero.
    void periodic(std::size_t i, double s) const {
        if (!std::isfinite(s)) s = 0.0;
        if (kind == Store::Double) {
            static_cast<double*>(out)[i] = s;
        } else {
            code(i, trunc_i64(limited(s * scale())));
        }
    }

    // Square samples: the level gv = gain * V is limited and truncated, and
    // the negative half stores the negation of that code (so a level of
    // -32768 codes comes back as +32768, whose low 16 bits read -32768).
    void square(std::size_t i, double gv, bool positive, bool finite) const {
        if (!finite || !std::isfinite(gv)) {
            if (kind == Store::Double) {
                static_cast<double*>(out)[i] = 0.0;
            } else {
                code(i, 0);
            }
        } else if (kind == Store::Double) {
            static_cast<double*>(out)[i] = gv * (positive ? 1.0 : -1.0);
        } else {
            const int64_t t = trunc_i64(limited(gv * scale()));
            code(i, positive ? t : -t);
        }
    }

    // Noise samples v[0 .. b-1] at out[pos ..]: codes rounded toward minus
    // infinity.
    void noise_block(std::size_t pos, const double* v, int b) const {
        if (kind == Store::Double) {
            double* d = static_cast<double*>(out) + pos;
            for (int i = 0; i < b; ++i) d[i] = std::isfinite(v[i]) ? v[i] : 0.0;
        } else {
            for (int i = 0; i < b; ++i) {
                code(pos + i, std::isfinite(v[i]) ? trunc_i64(std::floor(limited(v[i] * scale()))) : 0);
            }
        }
    }
};

// The full-scale rule for values that another step may have left in out[0 ..
// n-1]: beyond +-limit the limit, not a number 0.
inline void limit_values(double* v, uint32_t n, double limit) {
    for (uint32_t i = 0; i < n; ++i) {
        const double x = v[i];
        v[i] = x > limit ? limit : x < -limit ? -limit : (x == x ? x : 0.0);
    }
}

// ---- the two families -------------------------------------------------------

struct PeriodicArgs {
    int32_t shape;
    int32_t waveform;  // 2 cosine, 3 triangle, 4 square
    int32_t modulation;
    double A, A2, f1, f2, phi, Tp;
    int16_t gain;
    double extra;
};
// True when the values came out limited already (the vector kernels limit
// as they store).
bool periodic(const PeriodicArgs& args, double T0, double dt, uint32_t N, const Output& o);

// Noise through the 895-tap filter: low-pass at half the sampling rate, or
// band-pass between lo and hi (0 <= lo <= hi <= 512, in 1/1024 of the
// sampling rate) when bandPass. The random sequence must be seeded.
void noise(bool bandPass, int lo, int hi, double A, int16_t gain, uint32_t N, int32_t slot, const Output& o);

// ---- the noise filter ---------------------------------------------------------
//
// The noise runs at four times the sampling rate. Its values are kept as
// frames of four (one frame per output sample), split into four phase
// arrays of kPhaseStride values each, laid out one after the other: phase p
// of frame f is raw value 4f + p. Output i of a block is
//   sum over u = 0 .. 894 of h[u] * Y[4i + u],
// that is, with u = 4q + p, the sum over p, q of h[4q + p] * Yp[i + q].
// The filter is symmetric, h[u] = h[894 - u], so the two inputs of a pair
// of taps are added first and multiplied once: u = 4q + p pairs with
// 4 (223 - q) + (2 - p) for p = 0, 1, 2 (phase 0 with phase 2, phase 1 with
// itself) and with 4 (222 - q) + 3 for p = 3, whose middle tap, the centre
// u = 447, stands alone. A term is a fused multiply-add,
//   acc = fma(h, Ya + Yb, acc)   (acc = fma(h, Y, acc) for the centre),
// added from 0.0 in one fixed order, the same in every kernel, so all
// kernels give the same bits:
//  - first the groups: 16 pairs whose first taps are consecutive, q0 ..
//    q0 + 15 of one phase (their partners run down from q0's), in the order
//    q0 + kGroupOrder[0 .. 15] (four interleaved runs with stride 4, which
//    lets a vector kernel load each input once for four taps);
//  - then the pairs left over, in their order; then the centre.
// Taps that the design makes exactly zero are not in the list.
inline constexpr int kTaps = 895;
inline constexpr int kCentre = 447;
inline constexpr std::size_t kPhaseStride = 512;  // frames per phase array
inline constexpr int kGroupOrder[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};

struct Taps {
    int groups = 0;
    int pairs = 0;
    int singles = 0;
    // Group g: taps h[0 .. 15] of its pairs; input j of the first taps at
    // groupAt[g] + j, of their partners at partnerAt[g] - j (offsets
    // p * kPhaseStride + q from frame 0 of phase array 0).
    std::size_t groupAt[32], partnerAt[32];
    double group[32][16];
    std::size_t pairAt[16], pairPartnerAt[16];
    double pair[16];
    std::size_t singleAt[2];
    double single[2];
};

// The filter taps h[0 .. 894], as the design defines them.
void design_taps(bool bandPass, int lo, int hi, double* h);

// The noise's kernels, one set per instruction set:
//  - dot: out[i] for i = 0 .. b - 1 (b <= 32); y points at frame 0 of the
//    window (the 256 frames of the current history) in phase array 0;
//  - draw: frames [from, from + b) of the phase arrays ph (b <= 32) from
//    the random sequence after `state`: phase p of frame from + k is
//    g * x * A, x = (rand_value(s) - 16383.5) / 16383.5 for the state s of
//    value 4k + p + 1 after `state`. Returns the state after the 4b values.
// Every one gives the scalar code's bits.
struct NoiseKernels {
    void (*dot)(const Taps& taps, const double* y, int b, double* out);
    uint32_t (*draw)(double* ph, std::size_t from, int b, double g, double A, uint32_t state);
};
extern const NoiseKernels kNoiseScalar;
#ifdef KELMO_HAVE_AVX2_KERNEL
extern const NoiseKernels kNoiseAvx2;
#endif
#ifdef KELMO_HAVE_AVX512_KERNEL
extern const NoiseKernels kNoiseAvx512;
#endif
void noise_dot_scalar(const Taps& taps, const double* y, int b, double* out);
#ifdef KELMO_HAVE_AVX2_KERNEL
void noise_dot_avx2(const Taps& taps, const double* y, int b, double* out);
#endif

// ---- the periodic waveforms' kernels --------------------------------------------
//
// cos(2 pi p) for |p| < 2^50. The reduction is exact: 4p is the angle in
// quarter turns, q the nearest whole quarter and f = 4p - q in [-1/2, 1/2];
// then x = f pi / 2 lies in [-pi/4, pi/4], where the Taylor polynomials of
// sin x (to x^15) and cos x (to x^16) are within 1e-16 of the functions,
// and the quarter q picks +-sin or +-cos. Not-a-number gives not-a-number.
struct CosTurns {
    static constexpr double kRound = 6755399441055744.0;  // 1.5 * 2^52: adding it rounds to a whole number
    static constexpr double kHalfPi = 1.5707963267948966;
    // 1 / n! for the polynomials.
    static constexpr double kS3 = -1.0 / 6, kS5 = 1.0 / 120, kS7 = -1.0 / 5040, kS9 = 1.0 / 362880,
                            kS11 = -1.0 / 39916800, kS13 = 1.0 / 6227020800.0, kS15 = -1.0 / 1307674368000.0;
    static constexpr double kC2 = -1.0 / 2, kC4 = 1.0 / 24, kC6 = -1.0 / 720, kC8 = 1.0 / 40320,
                            kC10 = -1.0 / 3628800, kC12 = 1.0 / 479001600, kC14 = -1.0 / 87178291200.0,
                            kC16 = 1.0 / 20922789888000.0;

    static double eval(double p) {
        const double r = 4.0 * p;
        const double big = r + kRound;
        const double q = big - kRound;
        uint64_t bits;
        __builtin_memcpy(&bits, &big, sizeof bits);  // the low bits of big are q's
        const double x = (r - q) * kHalfPi, z = x * x;
        const double s = x + x * (z * (kS3 + z * (kS5 + z * (kS7 + z * (kS9 + z * (kS11 + z * (kS13 + z * kS15)))))));
        const double c = 1.0 + z * (kC2 + z * (kC4 + z * (kC6 + z * (kC8 + z * (kC10 + z * (kC12 + z * (kC14 + z * kC16)))))));
        const double v = (bits & 1) ? s : c;
        return ((bits ^ (bits >> 1)) & 1) ? -v : v;
    }
};

// SimWarpPhase with the constants of a block formed once: the same
// operations on the same values, so the same bits.
class Warp {
public:
    Warp(double c, double d) : offset(d / (2.0 * (4.0 * std::atan(1.0)))), D((c + 1000.0) * 0.0005) {}
    double operator()(double a, double b) const {
        const double x = a * b + offset;
        double p = x - std::floor(x);
        if (p <= 0.0) p = p + 1.0;
        if (p <= D && D != 0.0) return 0.5 * p / D;
        return 0.5 + 0.5 * (p - D) / (1.0 - D);
    }

    double offset, D;
};

// The running time folded into a sweep's period Tp: one-sided into
// [0, Tp), two-sided into (-Tp, Tp].
inline double fold_one_sided(double T, double Tp) { return T - Tp * std::floor(T / Tp); }
inline double fold_two_sided(double T, double Tp, double twoTp) {
    double tau = T - twoTp * std::floor(T / twoTp);
    if (tau > Tp) tau = tau - twoTp;
    return tau;
}

// 2^y and 2^y - 1 for |y| <= kLimit in double arithmetic alone, the same
// bits on every platform: k is the whole number nearest y, f = y - k
// (exact), 2^f - 1 = f (c1 + f (c2 + ... + f c14)) with cn = ln(2)^n / n!
// (the Taylor series, whose remainder on |f| <= 1/2 is below 1e-17), and
// 2^y = (1 + (2^f - 1)) 2^k, the power of two made from its exponent bits.
// Beyond the limit, and for not-a-number, both are not-a-number.
struct Exp2 {
    static constexpr double kLimit = 1020.0;
    static constexpr double kC1 = 0.6931471805599453, kC2 = 0.24022650695910072, kC3 = 0.05550410866482158,
                            kC4 = 0.009618129107628477, kC5 = 0.0013333558146428443, kC6 = 0.0001540353039338161,
                            kC7 = 1.5252733804059841e-05, kC8 = 1.321548679014431e-06, kC9 = 1.01780860092397e-07,
                            kC10 = 7.054911620801123e-09, kC11 = 4.4455382718708116e-10,
                            kC12 = 2.5678435993488206e-11, kC13 = 1.3691488853904128e-12,
                            kC14 = 6.778726354822545e-14;

    static double minus_one(double f) {
        return f * (kC1 + f * (kC2 + f * (kC3 + f * (kC4 + f * (kC5 + f * (kC6 + f * (kC7 + f * (kC8 + f * (kC9 +
               f * (kC10 + f * (kC11 + f * (kC12 + f * (kC13 + f * kC14)))))))))))));
    }
    static double power_of_two(double k) {
        const uint64_t bits = static_cast<uint64_t>(static_cast<int64_t>(k) + 1023) << 52;
        double v;
        __builtin_memcpy(&v, &bits, sizeof v);
        return v;
    }
    static void eval(double y, double& power, double& minusOne) {
        if (!(std::fabs(y) <= kLimit)) {
            power = minusOne = std::numeric_limits<double>::quiet_NaN();
            return;
        }
        const double k = std::floor(y + 0.5), p = minus_one(y - k);
        power = (1.0 + p) * power_of_two(k);
        minusOne = k == 0.0 ? p : power - 1.0;
    }
};

// The exponential sweeps (modulations 2 and 4) in double precision, where
// their ratio allows: f1 != f2 sweeps the rate by r = f2 / f1, b = f1 Tp
// (r^x - 1) / (t ln r) and V = A + (A2 - A) f1 (r^x - 1) / (f2 - f1); equal
// frequencies sweep the level, V = A (A2 / A)^x; x = t / Tp. Both powers
// are 2^(x log2 r) by Exp2, so within 1e-15 relative of the extended
// precision forms for any |log2 r| <= kMostLog2. Other ratios (a level
// sweep from or to 0, of opposite signs, or ratios beyond 2^+-1000) keep
// the extended-precision modulator.
struct ExpSweep {
    static constexpr double kMostLog2 = 1000.0;
    bool fast = false, equal = false;
    double log2r = 0, lnr = 0, f1Tp = 0, A = 0, dA = 0, f1 = 0, dF = 0;

    ExpSweep() = default;
    ExpSweep(double A_, double A2, double f1_, double f2, double Tp)
        : equal(f1_ == f2), f1Tp(f1_ * Tp), A(A_), dA(A2 - A_), f1(f1_), dF(f2 - f1_) {
        const long double ratio = equal ? static_cast<long double>(A2) / A_ : static_cast<long double>(f2) / f1_;
        if (!(ratio > 0.0L) || !std::isfinite(static_cast<double>(ratio))) return;
        const long double ln = equal ? std::log(ratio) : std::log(static_cast<long double>(f2)) -
                                                           std::log(static_cast<long double>(f1_));
        log2r = static_cast<double>(ln / std::log(2.0L));
        lnr = static_cast<double>(ln);
        fast = std::fabs(log2r) <= kMostLog2 && lnr != 0.0 && std::isfinite(f1Tp);
    }

    // b and V at the folded |T| = t (t / Tp given as x).
    void at(double t, double x, double& b, double& V) const {
        double power, minusOne;
        Exp2::eval(x * log2r, power, minusOne);
        if (equal) {
            b = f1;
            V = A * power;
            return;
        }
        b = t == 0.0 ? f1 : f1Tp * (minusOne / (lnr * t));
        V = A + (dA * (f1 * minusOne)) / dF;
    }
};

// A block of a periodic waveform as the vector kernels take it: the
// modulation after the substitutions of periodic.cpp (0 .. 10, with a valid
// period where it needs one), the channel's values and the phase warp.
struct PeriodicPlan {
    int32_t mod;
    int32_t waveform;  // 2 cosine, 3 triangle, 4 square
    double A, A2, f1, f2, Tp, twoTp, extra;
    double steps;  // the step count of a stepped sweep
    double gain;
    Warp warp;
    ExpSweep sweep;  // modulations 2 and 4
};

// The modulations whose times, phase rates and envelopes the vector
// kernels form themselves: all but the damped oscillation and the
// exponential sweeps that need the extended-precision modulator.
inline bool lanes_modulation(const PeriodicPlan& p) {
    return p.mod != 9 && ((p.mod != 2 && p.mod != 4) || p.sweep.fast);
}

// The kernels of the periodic waveforms, one set per instruction set:
//  - run: the whole block from the start time T0 (a lanes_modulation);
//  - wave: out[at + i] from the phase and level of each sample, i < n;
//  - warp and cos_turns: as warp_block and cos_turns_block.
// Every one gives the scalar code's bits.
struct PeriodicKernels {
    void (*run)(const PeriodicPlan& plan, double T0, double dt, uint32_t N, const Output& o);
    void (*wave)(const PeriodicPlan& plan, const double* phase, const double* level, uint32_t n, const Output& o,
                 std::size_t at);
    void (*warp)(const Warp& warp, const double* a, double b, uint32_t n, double* out);
    void (*cos_turns)(const double* p, uint32_t n, double* out);
};
#ifdef KELMO_HAVE_AVX2_KERNEL
extern const PeriodicKernels kPeriodicAvx2;
#endif
#ifdef KELMO_HAVE_AVX512_KERNEL
extern const PeriodicKernels kPeriodicAvx512;
#endif

// out[i] = warp(a[i], b) for i < n, the same bits by every kernel.
void warp_block(const Warp& warp, const double* a, double b, uint32_t n, double* out);

// out[i] = CosTurns::eval(p[i]) for i < n, the same bits by every kernel.
void cos_turns_block(const double* p, uint32_t n, double* out);

// The noise's kernels now in use (processor support and the override).
const NoiseKernels& noise_kernels();
// The periodic waveforms' kernels now in use; nullptr for the scalar code.
const PeriodicKernels* periodic_kernels();

// Work of a few microseconds for the choice of kernel: the noise filter of
// 16 blocks, a cosine of 2048 samples.
void noise_trial(const NoiseKernels& kernels);
void periodic_trial(const PeriodicKernels& kernels);

// ---- the random sequence --------------------------------------------------------
uint32_t rand_state();
void set_rand_state(uint32_t state);
constexpr uint32_t rand_step(uint32_t s) { return s * 214013u + 2531011u; }
constexpr int rand_value(uint32_t s) { return static_cast<int>((s >> 16) & 0x7FFFu); }

// n steps of the sequence at once: s -> a * s + c.
struct RandJump {
    uint32_t a = 1, c = 0;
    constexpr uint32_t operator()(uint32_t s) const { return a * s + c; }
};
constexpr RandJump rand_jump(uint64_t n) {
    RandJump r, p{214013u, 2531011u};  // p: 2^k steps
    for (; n; n >>= 1) {
        if (n & 1) r = {p.a * r.a, p.a * r.c + p.c};
        p = {p.a * p.a, p.a * p.c + p.c};
    }
    return r;
}
static_assert(rand_jump(3)(777u) == rand_step(rand_step(rand_step(777u))));

}  // namespace kelmo::sim::detail
