// Entry points of the generator: time base, seeding, choice of the signal
// family, and the two pure helpers of the periodic family and the noise
// filter.
#include "sources/sim/generator.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "core/cpu.h"
#include "core/numconv.h"
#include "platform/platform.h"
#include "sources/sim/clock.h"
#include "sources/sim/generator_detail.h"
#include "sources/sim/runs.h"
#include "sources/sim/state.h"

namespace kelmo::sim {
namespace {

using detail::Output;
using detail::Store;

// Whether the values came out limited already.
bool generate(const GenArgs& a, const Output& o) {
    const auto [shape, startSample, timeOffsetMs, waveform, modulation, A, A2, f1, f2, phi, Tp, freqCode, N, gain, slot,
                extra] = a;
    // 5 is a sum channel, which the callers mix themselves; 6 and above
    // carry no signal. Either way the buffer keeps what it holds.
    if (waveform >= 5) return false;

    const double dt = step_seconds(freqCode, clock_scale());
    const double T0 = static_cast<double>(startSample) * dt + timeOffsetMs * 0.001;
    const auto g = static_cast<int16_t>(gain);

    if (waveform >= 2) {
        const detail::PeriodicArgs args{shape, waveform, modulation, A, A2, f1, f2, phi, Tp, g, extra};
        return detail::periodic(args, T0, dt, N, o);
    }

    // Noise. The seed keeps its low 32 bits; a start time without a value
    // (NaN, or beyond the integers) seeds with 0.
    sim_srand(static_cast<uint32_t>(trunc_i64(T0 * 1000.0 + slot)));
    if (waveform == 1 && o.kind == Store::Double) sim_srand(platform::current().clock.tick_count());

    bool bandPass = false;
    int lo = 0, hi = 0;
    if (waveform == 1) {
        // Band edges in 1/1024 of the sampling rate. An edge that is
        // negative or above half the rate (or has no value at all) makes
        // the call plain white noise.
        const int64_t e1 = trunc_i64(f1 * dt * 1024.0);
        const int64_t e2 = trunc_i64(f2 * dt * 1024.0);
        const int64_t l = std::min(e1, e2), h = std::max(e1, e2);
        if (l >= 0 && h <= 512) {
            bandPass = true;
            lo = static_cast<int>(l);
            hi = static_cast<int>(h);
        }
    }
    detail::noise(bandPass, lo, hi, A, g, N, slot, o);
    return false;
}

}  // namespace

void SimSignalGen(const GenArgs& a, double* out) { generate(a, Output{Store::Double, out}); }
void SimSignalGenLimited(const GenArgs& a, double* out, double fullScale) {
    if (!generate(a, Output{Store::Double, out, fullScale})) detail::limit_values(out, a.N, fullScale);
}
void SimSignalGenW16(const GenArgs& a, int16_t* out) { generate(a, Output{Store::W16, out}); }
void SimSignalGenW32(const GenArgs& a, int32_t* out) { generate(a, Output{Store::W32, out}); }

double SimWarpPhase(double a, double b, double c, double d) {
    const double pi = 4.0 * std::atan(1.0);
    const double x = a * b + d / (2.0 * pi);
    double p = x - std::floor(x);
    if (p <= 0.0) p = p + 1.0;
    const double D = (c + 1000.0) * 0.0005;
    if (p <= D && D != 0.0) return 0.5 * p / D;
    return 0.5 + 0.5 * (p - D) / (1.0 - D);
}

namespace detail {
namespace {
std::atomic<int> g_kernelOverride{static_cast<int>(SimKernel::Auto)};

SimKernel override_setting() { return static_cast<SimKernel>(g_kernelOverride.load(std::memory_order_relaxed)); }
}  // namespace

const NoiseKernels& noise_kernels_of(SimKernel k) {
    switch (k) {
#ifdef KELMO_HAVE_AVX512_KERNEL
        case SimKernel::Avx512: return kNoiseAvx512;
#endif
#ifdef KELMO_HAVE_AVX2_KERNEL
        case SimKernel::Avx2: return kNoiseAvx2;
#endif
        default: return kNoiseScalar;
    }
}

const PeriodicKernels* periodic_kernels_of(SimKernel k) {
    switch (k) {
#ifdef KELMO_HAVE_AVX512_KERNEL
        case SimKernel::Avx512: return &kPeriodicAvx512;
#endif
#ifdef KELMO_HAVE_AVX2_KERNEL
        case SimKernel::Avx2: return &kPeriodicAvx2;
#endif
        default: return nullptr;
    }
}

const NoiseKernels& noise_kernels() { return noise_kernels_of(sim_noise_kernel()); }
const PeriodicKernels* periodic_kernels() { return periodic_kernels_of(sim_periodic_kernel()); }

namespace {
#ifdef KELMO_HAVE_AVX512_KERNEL
constexpr bool kAvx512Built = true;
#else
constexpr bool kAvx512Built = false;
#endif

KernelChooser& periodic_chooser() {
    static KernelChooser c("periodic waveforms", kAvx512Built, [](Kernel k) {
        if (const PeriodicKernels* p = periodic_kernels_of(k)) periodic_trial(*p);
    });
    return c;
}
KernelChooser& noise_chooser() {
    static KernelChooser c("noise", kAvx512Built, [](Kernel k) { noise_trial(noise_kernels_of(k)); });
    return c;
}
}  // namespace
}  // namespace detail

bool sim_avx2_supported() { return cpu_has_avx2(); }

bool sim_avx512_supported() {
#ifdef KELMO_HAVE_AVX512_KERNEL
    return cpu_has_avx512();
#else
    return false;
#endif
}

SimKernel sim_periodic_kernel() { return detail::periodic_chooser().choose(detail::override_setting()); }
SimKernel sim_noise_kernel() { return detail::noise_chooser().choose(detail::override_setting()); }
std::string sim_kernel_reasons() { return detail::periodic_chooser().why() + "; " + detail::noise_chooser().why(); }

SimKernel sim_kernel_override(SimKernel kernel) {
    return static_cast<SimKernel>(detail::g_kernelOverride.exchange(static_cast<int>(kernel)));
}

double BesselI0(double a) {
    double sum = 1.0;
    double t = 1.0;
    // Bounded for every argument: a negative term ends it at once, a
    // positive one falls below 1e-6 a few times a/2 terms after its peak,
    // and a term that overflows or has no value ends it too (arguments
    // large enough to need more than a few thousand terms overflow first).
    for (int k = 1;; ++k) {
        t = t * (a / 2.0) / k;
        sum += t * t;
        if (t < 0.000001 || !std::isfinite(t)) break;
    }
    return sum;
}

}  // namespace kelmo::sim
