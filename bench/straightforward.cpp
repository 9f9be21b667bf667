#include "sources/sim/clock.h"
#include "sources/sim/state.h"
#include "straightforward.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "core/share_block.h"
#include "platform/platform.h"
#include "sources/sim/generator.h"

namespace bench {

using namespace kelmo::sim;

void take_kernel_option(int& argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--kernel=", 9) != 0) continue;
        const std::string k = argv[i] + 9;
        sim_kernel_override(k == "scalar" ? SimKernel::Scalar
                            : k == "avx2" ? SimKernel::Avx2
                            : k == "avx512" ? SimKernel::Avx512
                                            : SimKernel::Auto);
        std::copy(argv + i + 1, argv + argc, argv + i);
        --argc;
        return;
    }
}

double step_seconds(uint32_t freqCode) { return freqCode * kelmo::sim::process_state().clockScale / kelmo::sim::kClock; }

void plain_noise(bool band, double f1, double f2, double A, int16_t gain, uint32_t freqCode, uint32_t N,
                 int32_t slot, double* out) {
    const double pi = 4.0 * std::atan(1.0);
    const double dt = step_seconds(freqCode);
    sim_srand(static_cast<uint32_t>(slot));  // start time 0
    int lo = 0, hi = 0;
    if (band) {
        const int e1 = int(f1 * dt * 1024), e2 = int(f2 * dt * 1024);
        lo = std::min(e1, e2), hi = std::max(e1, e2);
    }
    double h[895];
    for (int k = 0; k <= 447; ++k) {
        const double u = 1.0 - k / 447.0;
        const double w = BesselI0(8.95926 * (1.0 - u * u)) / BesselI0(8.95926);
        const double m = k - 447.0, Fl = lo / 2048.0, Fh = hi / 2048.0;
        if (k == 447) {
            h[k] = band ? (Fh - Fl) * w : 0.25 * w;
        } else {
            h[k] = band ? w * (std::sin(pi * m * Fh) - std::sin(pi * m * Fl)) / (pi * m)
                        : w * std::sin(pi * m / 4) / (pi * m);
        }
        h[894 - k] = h[k];
    }
    kelmo::platform::SharedMemoryPtr shm;
    if (slot >= 0 && slot < 32) {
        shm = kelmo::platform::current().shm.shm_open_existing(kNoiseStateName, kNoiseStateBytes,
                                                           kelmo::platform::Access::ReadWrite);
    }
    double X[1024] = {}, Y[1024];
    double* s = shm ? static_cast<double*>(shm->data()) + slot * 1024 : nullptr;
    if (s) std::memcpy(X, s, sizeof X);
    for (uint32_t pos = 0; pos < N;) {
        const uint32_t b = std::min<uint32_t>(32, N - pos);
        std::memmove(X, X + 4 * b, sizeof(double) * (1024 - 4 * b));
        for (uint32_t j = 1024 - 4 * b; j < 1024; ++j) X[j] = (sim_rand() - 16383.5) * (1 / 16383.5);
        for (int j = 0; j < 1024; ++j) Y[j] = gain * X[j] * A;
        for (uint32_t i = 0; i < b; ++i) {
            double v = 0;
            for (int t = 0; t < 895; ++t) v += h[t] * Y[894 + 4 * i - t];
            out[pos + i] = v;
        }
        pos += b;
    }
    if (s) std::memcpy(s, X, sizeof X);
}

void plain_periodic(int modulation, double A, double A2, double f1, double f2, double Tp, uint32_t freqCode,
                    uint32_t N, double* out, int waveform) {
    const double dt = step_seconds(freqCode);
    const long double twoPi = 8.0L * std::atan(1.0L);
    const long double r = static_cast<long double>(f2) / f1, lnr = std::log(r);
    double T = 0;
    for (uint32_t i = 0; i < N; ++i) {
        double b = f1, V = A;
        if (modulation == 3 || modulation == 4) T = T - Tp * std::floor(T / Tp);
        if (modulation == 3) {
            b = f1 + (f2 - f1) * T / (2 * Tp);
            V = A + (A2 - A) * T / Tp;
        } else if (modulation == 4) {
            // f1 r^(t / Tp): the phase rate is its mean since the period began
            const long double rx = std::pow(r, static_cast<long double>(T) / Tp);
            b = T == 0 ? f1 : static_cast<double>(f1 * Tp * (rx - 1) / (lnr * T));
            V = static_cast<double>(A + (A2 - A) * (f1 * rx - f1) / (f2 - f1));
        }
        const double d = waveform == 4 ? 2 * std::atan(1.0) : 0.0;  // the square starts a quarter on
        const double P = SimWarpPhase(T, b, 0, d), fr = P - std::floor(P);
        out[i] = waveform == 2   ? V * static_cast<double>(std::cos(twoPi * P))
                 : waveform == 3 ? V * (4.0 * std::fabs(fr - 0.5) - 1.0)
                                 : (fr < 0.5 ? V : -V);
        T += dt;
    }
}

void plain_double_periodic(int waveform, double A, double f, double phi, double T0, uint32_t freqCode, uint32_t N,
                           double* out) {
    const double pi = 4.0 * std::atan(1.0);
    const double dt = step_seconds(freqCode);
    const double offset = (waveform == 4 ? phi + pi / 2.0 : phi) / (2.0 * pi);
    double T = T0;
    for (uint32_t i = 0; i < N; ++i, T += dt) {
        const double x = T * f + offset, fr = x - std::floor(x);
        out[i] = waveform == 2   ? A * std::cos(2.0 * pi * fr)
                 : waveform == 3 ? A * (4.0 * std::fabs(fr - 0.5) - 1.0)
                                 : (fr < 0.5 ? A : -A);
    }
}

}  // namespace bench
