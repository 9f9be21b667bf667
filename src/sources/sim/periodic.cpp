// Cosine, triangle and square waves with their modulations.
//
// Every sample: the modulation folds the running time T (where it folds),
// gives the envelope V, the time argument a and the phase rate b; the phase
// P = SimWarpPhase(a, b, shape, d) gives the wave; the sample is
// gain * V * wave(P); then T grows by dt. The exponential sweeps' powers
// are Exp2's, in double precision, wherever their ratio allows; the other
// transcendental functions of the modulations run in extended precision.
//
// This scalar code defines the values. The cosine of a phase, which lies
// in (0, 1], is reduced exactly and evaluated in double precision
// (CosTurns): within 1e-15 of the extended-precision cosine. Samples go in
// chunks: first the phase and level of every sample of the chunk, one after
// the other as above, then the wave of the whole chunk.
//
// Where the processor has vector units (AVX-512, else AVX2) the kernels of
// periodic_lanes.h give the same bits, chosen once per block: the whole
// block for most modulations, the wave and its store for the damped
// oscillation and the sweeps whose modulator stays in extended precision.
//
// Parameters without a value in these formulas get these answers:
//  - a modulation outside 0 .. 10: every sample is 0;
//  - a modulation that needs a period (1 .. 10) with a period that is not a
//    positive number (0, negative, NaN, infinite, or so large that twice it
//    overflows): the constant modulation, with its phase offset;
//  - exponential sweeps (2, 4) with different frequencies of which one is
//    not positive: the linear sweep of the same fold (1, 3);
//  - exponential amplitude sweep (equal frequencies) with A = 0: envelope 0;
//    with A and A2 of opposite signs the power has no value and the
//    samples are 0 (last rule);
//  - a stepped sweep (5, 6) with one step or fewer: the level of step 0
//    (frequency f1, amplitude A) throughout;
//  - damping ratio above 1 (or below -1): an over-damped channel, cycle
//    frequency 0 (the wave stays at its start phase) with the envelope
//    still decaying with f1 * zeta;
//  - any sample that still has no finite value (NaN or infinite amplitudes,
//    frequencies or times) is stored as 0.
// Nothing here loops on anything but N.
#include <algorithm>
#include <cmath>

#include "sources/sim/generator.h"
#include "sources/sim/generator_detail.h"

namespace kelmo::sim::detail {
namespace {

enum Modulation {
    kConstant = 0,
    kLinearUpDown = 1,
    kExpUpDown = 2,
    kLinearRepeat = 3,
    kExpRepeat = 4,
    kStepsUpDown = 5,
    kStepsRepeat = 6,
    kBurstCycle = 7,
    kBurstHalf = 8,
    kDamped = 9,
    kBurstN = 10,
};

enum Waveform { kCosine = 2, kTriangle = 3, kSquare = 4 };

class Modulator {
public:
    Modulator(const PeriodicArgs& w, int mod, const ExpSweep& sweep)
        : w_(w), mod_(mod), twoTp_(2.0 * w.Tp), sweep_(sweep) {
        equal_ = w.f2 == w.f1;
        if (!equal_) {
            r_ = static_cast<long double>(w.f2) / w.f1;
            lnr_ = std::log(static_cast<long double>(w.f2)) - std::log(static_cast<long double>(w.f1));
        }
        n_ = w.shape;
        const double zz = 1.0 - w.extra * w.extra;
        cycle_ = w.f1 * std::sqrt(zz > 0.0 ? zz : 0.0);
    }

    // One sample: updates T (folding) and yields a, b, V. For the damped
    // oscillation the phase is taken before the fold, so P is computed here.
    void step(double& T, double& a, double& b, double& V) const {
        const double A = w_.A, A2 = w_.A2, f1 = w_.f1, f2 = w_.f2, Tp = w_.Tp;
        switch (mod_) {
            case kConstant:
                a = T, b = f1, V = A;
                return;
            case kLinearUpDown:
            case kLinearRepeat: {
                T = mod_ == kLinearUpDown ? fold2(T) : fold1(T);
                const double t = std::fabs(T);
                a = T;
                b = f1 + (f2 - f1) * t / twoTp_;
                V = A + (A2 - A) * t / Tp;
                return;
            }
            case kExpUpDown:
            case kExpRepeat: {
                T = mod_ == kExpUpDown ? fold2(T) : fold1(T);
                const double t = std::fabs(T);
                a = T;
                if (sweep_.fast) {
                    sweep_.at(t, t / Tp, b, V);
                } else {
                    exponential(t, b, V);
                }
                return;
            }
            case kStepsUpDown:
            case kStepsRepeat: {
                T = mod_ == kStepsUpDown ? fold2(T) : fold1(T);
                const double t = mod_ == kStepsUpDown ? std::fabs(T) : T;
                a = t;
                if (n_ <= 1) {
                    b = f1, V = A;
                    return;
                }
                const double n = n_;
                double k = std::floor(n * t / Tp);
                if (mod_ == kStepsUpDown && k == n) k = n - 1.0;
                b = f1 + (f2 - f1) * k / (n - 1.0);
                V = A + (A2 - A) * k / (n - 1.0);
                return;
            }
            case kBurstCycle:
            case kBurstHalf:
            case kBurstN: {
                T = fold1(T);
                const double limit = mod_ == kBurstCycle ? 1.0 : (mod_ == kBurstHalf ? 0.5 : w_.extra);
                const double x = f1 * T;
                const bool on = x < limit && (w_.waveform != kSquare || 0.0 < x);
                a = T, b = f1, V = on ? A : 0.0;
                return;
            }
            case kDamped: {
                a = T;
                b = cycle_;
                T = fold1(T);
                const long double e = std::exp(-2.0L * piL() * f1 * w_.extra * T);
                V = static_cast<double>(A * e);
                return;
            }
            default:
                a = b = V = 0.0;
                return;
        }
    }

private:
    static long double piL() { return 4.0L * std::atan(1.0L); }

    double fold1(double T) const { return fold_one_sided(T, w_.Tp); }
    double fold2(double T) const { return fold_two_sided(T, w_.Tp, twoTp_); }

    void exponential(double t, double& b, double& V) const {
        const double A = w_.A, A2 = w_.A2, f1 = w_.f1, f2 = w_.f2, Tp = w_.Tp;
        const long double x = static_cast<long double>(t) / Tp;
        if (equal_) {
            b = f1;
            V = A == 0.0 ? 0.0 : static_cast<double>(A * std::pow(static_cast<long double>(A2) / A, x));
            return;
        }
        const long double rx = std::pow(r_, x);
        // ln r of two different positive doubles is not 0 in extended
        // precision; should it round to 0, the limit f1 is the rate.
        if (t == 0.0 || lnr_ == 0.0L) {
            b = f1;
        } else {
            b = static_cast<double>(f1 * static_cast<long double>(Tp) * (rx - 1.0L) / (lnr_ * t));
        }
        V = static_cast<double>(A + (A2 - A) * (f1 * rx - f1) / (f2 - f1));
    }

    const PeriodicArgs& w_;
    int mod_;
    double twoTp_;
    const ExpSweep& sweep_;
    // Exponential sweeps: r = f2 / f1, ln r = ln f2 - ln f1.
    bool equal_;
    long double r_ = 1.0L;
    long double lnr_ = 0.0L;
    int32_t n_;
    double cycle_;
};

}  // namespace

void periodic_trial(const PeriodicKernels& kernels) {
    static double out[2048];
    const PeriodicPlan plan{kConstant, kCosine, 1000, 1000, 50, 50, 1, 2, 0, 0, 1, Warp(0, 0), ExpSweep()};
    kernels.run(plan, 0.0, 1e-4, 2048, Output{Store::Double, out});
}

bool periodic(const PeriodicArgs& w, double T0, double dt, uint32_t N, const Output& o) {
    const double pi = 4.0 * std::atan(1.0);

    int mod = w.modulation;
    if (mod < 0 || mod > 10) {
        for (uint32_t i = 0; i < N; ++i) o.periodic(i, 0.0);
        return false;
    }
    const bool periodOk = w.Tp > 0.0 && std::isfinite(2.0 * w.Tp);
    if (!periodOk) mod = kConstant;
    if ((mod == kExpUpDown || mod == kExpRepeat) && w.f1 != w.f2 && !(w.f1 > 0.0 && w.f2 > 0.0)) {
        mod = mod == kExpUpDown ? kLinearUpDown : kLinearRepeat;
    }

    double d = w.waveform == kSquare ? w.phi + pi / 2.0 : w.phi;
    if (mod == kBurstCycle || mod == kBurstHalf || mod == kBurstN) {
        // Bursts start at zero and rise (positive half first for the square).
        d = w.waveform == kCosine ? -pi / 2.0 : (w.waveform == kTriangle ? 1.5 * pi : 0.0);
    }

    const double gain = w.gain;
    const Warp warp(w.shape, d);
    constexpr uint32_t kChunk = 256;
    double phase[kChunk], level[kChunk], wave[kChunk];
    double T = T0;

    const PeriodicKernels* k = periodic_kernels();
    const bool sweeps = mod == kExpUpDown || mod == kExpRepeat;
    const PeriodicPlan plan{mod, w.waveform, w.A, w.A2, w.f1, w.f2, w.Tp, 2.0 * w.Tp, w.extra,
                            static_cast<double>(w.shape), gain, warp,
                            sweeps ? ExpSweep(w.A, w.A2, w.f1, w.f2, w.Tp) : ExpSweep()};
    if (k && lanes_modulation(plan)) {
        k->run(plan, T0, dt, N, o);
        return true;
    }
    // The modulator in extended precision: the phases and levels of the
    // next n samples.
    const Modulator m(w, mod, plan.sweep);
    auto modulate = [&](uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) {
            double a, b, V;
            m.step(T, a, b, V);
            phase[i] = warp(a, b);
            level[i] = gain * V;
            T += dt;
        }
    };
    if (k) {  // the waves in vectors
        for (uint32_t base = 0; base < N; base += kChunk) {
            const uint32_t n = N - base < kChunk ? N - base : kChunk;
            modulate(n);
            k->wave(plan, phase, level, n, o, base);
        }
        return true;
    }

    // The scalar code, which defines the values.
    for (uint32_t base = 0; base < N; base += kChunk) {
        const uint32_t n = N - base < kChunk ? N - base : kChunk;
        if (mod == kConstant) {
            // The running time alone, then the phases of the whole chunk.
            for (uint32_t i = 0; i < n; ++i, T += dt) wave[i] = T;
            warp_block(warp, wave, w.f1, n, phase);
            std::fill(level, level + n, gain * w.A);
        } else {
            modulate(n);
        }
        switch (w.waveform) {
            case kCosine:
                cos_turns_block(phase, n, wave);
                for (uint32_t i = 0; i < n; ++i) o.periodic(base + i, level[i] * wave[i]);
                break;
            case kTriangle:
                for (uint32_t i = 0; i < n; ++i) {
                    const double fr = phase[i] - std::floor(phase[i]);
                    o.periodic(base + i, level[i] * (4.0 * std::fabs(fr - 0.5) - 1.0));
                }
                break;
            default:
                // +1 while trunc(2 frac(P)) is even, that is frac(P) < 0.5.
                for (uint32_t i = 0; i < n; ++i) {
                    const double fr = phase[i] - std::floor(phase[i]);
                    o.square(base + i, level[i], fr < 0.5, std::isfinite(phase[i]));
                }
                break;
        }
    }
    return false;
}

void warp_block(const Warp& warp, const double* a, double b, uint32_t n, double* out) {
    if (const PeriodicKernels* k = periodic_kernels()) return k->warp(warp, a, b, n, out);
    for (uint32_t i = 0; i < n; ++i) out[i] = warp(a[i], b);
}

void cos_turns_block(const double* p, uint32_t n, double* out) {
    if (const PeriodicKernels* k = periodic_kernels()) return k->cos_turns(p, n, out);
    for (uint32_t i = 0; i < n; ++i) out[i] = CosTurns::eval(p[i]);
}

}  // namespace kelmo::sim::detail
