// The simulated signal generator: the physics of its signals, its raw
// codes, the noise history and its answers to parameters without a value.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "sources/sim/state.h"
#include "fixture.h"
#include "sources/sim/generator.h"
#include "sources/sim/generator_detail.h"

namespace kelmo::test {
namespace {

using namespace kelmo::sim;

const double kPi = 4.0 * std::atan(1.0);
constexpr uint32_t kCode10k = 4096000000u;  // 10 kHz with clock scale 1

struct Args {
    int32_t shape = 0;
    uint32_t start = 0;
    double offsetMs = 0;
    int32_t waveform = 2;
    int32_t modulation = 0;
    double A = 1, A2 = 1, f1 = 100, f2 = 100, phi = 0, Tp = 1;
    uint32_t N = 1000;
    int32_t gain = 1;
    int32_t slot = 0;
    double extra = 0;
};

GenArgs gen_args(const Args& a) {
    return {a.shape, a.start, a.offsetMs, a.waveform, a.modulation, a.A, a.A2, a.f1, a.f2, a.phi, a.Tp, kCode10k, a.N,
            a.gain, a.slot, a.extra};
}

class Generator : public FakeTest {
protected:
    Generator() { sim::process_state().clockScale = 1.0; }

    static std::vector<double> run(const Args& a) {
        std::vector<double> v(a.N + 1, -7.0);  // one sentinel past the end
        SimSignalGen(gen_args(a), v.data());
        EXPECT_EQ(v[a.N], -7.0);
        v.pop_back();
        return v;
    }
    template <class W, class F>
    static std::vector<W> codes(const Args& a, F gen) {
        std::vector<W> v(a.N);
        gen(gen_args(a), v.data());
        return v;
    }
    double* slot(int s) {
        if (!fake.exists(kNoiseStateName)) held = fake.shm_create_or_open(kNoiseStateName, kNoiseStateBytes, nullptr);
        return reinterpret_cast<double*>(fake.bytes(kNoiseStateName)) + s * 1024;
    }
    platform::SharedMemoryPtr held;
};

// Averaged power spectrum of Hann-windowed segments, bins 0 .. len / 2.
std::vector<double> spectrum(const std::vector<double>& x, std::size_t len) {
    std::vector<double> c(len), s(len), w(len), p(len / 2 + 1, 0.0);
    for (std::size_t n = 0; n < len; ++n) {
        c[n] = std::cos(2 * kPi * n / len), s[n] = std::sin(2 * kPi * n / len);
        w[n] = 0.5 - 0.5 * c[n];
    }
    for (std::size_t at = 0; at + len <= x.size(); at += len) {
        for (std::size_t k = 0; k < p.size(); ++k) {
            double re = 0, im = 0;
            for (std::size_t n = 0; n < len; ++n) {
                re += w[n] * x[at + n] * c[k * n % len];
                im += w[n] * x[at + n] * s[k * n % len];
            }
            p[k] += re * re + im * im;
        }
    }
    return p;
}
double mean(const std::vector<double>& p, std::size_t from, std::size_t to) {
    double m = 0;
    for (std::size_t k = from; k < to; ++k) m += p[k];
    return m / (to - from);
}

// Frequency from the spacing of rising zero crossings, at the midpoint time,
// compared with expected(t), skipping pairs that straddle a restart.
template <class F>
void expect_frequency(const std::vector<double>& x, double fs, double Tp, F expected) {
    double last = -1;
    int checked = 0;
    for (std::size_t i = 1; i < x.size(); ++i) {
        if (!(x[i - 1] < 0 && x[i] >= 0)) continue;
        const double t = (i - 1 + x[i - 1] / (x[i - 1] - x[i])) / fs;
        if (last >= 0 && std::floor(last / Tp) == std::floor(t / Tp)) {
            const double mid = 0.5 * (last + t);
            EXPECT_NEAR(1 / (t - last), expected(mid), 0.01 * expected(mid)) << "at " << mid;
            ++checked;
        }
        last = t;
    }
    EXPECT_GT(checked, 40);
}

TEST_F(Generator, CosineSpectrumAndSquareSymmetry) {
    Args a{.f1 = 1000, .phi = 0.3, .N = 4096};
    const auto p = spectrum(run(a), 4096);
    EXPECT_EQ(std::max_element(p.begin(), p.end()) - p.begin(), std::lround(1000 / (10000.0 / 4096)));

    // The positive half of the square lasts the fraction (shape + 1000) / 2000.
    for (int shape : {-500, 0, 500, 900}) {
        const auto x = run({.shape = shape, .waveform = 4, .A = 2, .f1 = 50, .N = 20000});
        const auto up = std::count_if(x.begin(), x.end(), [](double v) { return v > 0; });
        EXPECT_NEAR(double(up) / x.size(), (shape + 1000) / 2000.0, 0.002) << shape;
        EXPECT_TRUE(std::all_of(x.begin(), x.end(), [](double v) { return std::fabs(v) == 2; }));
    }
    // Shape 1000: the triangle falls for the whole cycle (a falling sawtooth).
    const auto saw = run({.shape = 1000, .waveform = 3, .f1 = 100, .N = 1000});
    int rises = 0;
    for (std::size_t i = 1; i < saw.size(); ++i) rises += saw[i] > saw[i - 1];
    EXPECT_EQ(rises, 10);
}

TEST_F(Generator, SweepsAndBursts) {
    // Linear sweep, repeating: 200 Hz up to 1000 Hz over each second.
    auto x = run({.modulation = 3, .f1 = 200, .f2 = 1000, .Tp = 1, .N = 15000});
    expect_frequency(x, 1e4, 1, [](double t) { return 200 + 800 * (t - std::floor(t)); });
    // Up and down: up over the first second, back down over the next.
    x = run({.modulation = 1, .f1 = 200, .f2 = 1000, .Tp = 1, .N = 20000});
    expect_frequency(x, 1e4, 1, [](double t) { return t < 1 ? 200 + 800 * t : 1000 - 800 * (t - 1); });
    // Exponential, repeating: f1 * r^(t / Tp).
    x = run({.modulation = 4, .f1 = 100, .f2 = 1600, .Tp = 1, .N = 10000});
    expect_frequency(x, 1e4, 1, [](double t) { return 100 * std::pow(16.0, t); });

    // Single-cycle burst, 1 Hz every 4 s: one rising cycle, then zeros.
    x = run({.modulation = 7, .A = 3, .f1 = 1, .Tp = 4, .N = 80000});
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double t = (i % 40000) / 1e4;
        ASSERT_NEAR(x[i], t < 1 ? 3 * std::sin(2 * kPi * t) : 0.0, 1e-9) << i;
    }
    const auto sq = run({.waveform = 4, .modulation = 7, .f1 = 1, .Tp = 4, .N = 80000});
    EXPECT_EQ(sq[0], 0.0);  // T exactly 0
    EXPECT_EQ(sq[1], 1.0);
    EXPECT_EQ(sq[7000], -1.0);

    // Damped oscillation: zeta 0 keeps the level, zeta 0.05 decays by
    // exp(-2 pi f1 zeta t).
    x = run({.modulation = 9, .f1 = 100, .Tp = 0.5, .N = 5000, .extra = 0.0});
    EXPECT_NEAR(*std::max_element(x.begin() + 4000, x.end()), 1.0, 1e-6);
    x = run({.modulation = 9, .f1 = 100, .Tp = 0.5, .N = 1000, .extra = 0.05});
    EXPECT_NEAR(*std::max_element(x.begin() + 450, x.begin() + 550), std::exp(-2 * kPi * 100 * 0.05 * 0.05), 0.002);
}

// The periodic waves against the same time base evaluated with the
// extended-precision cosine, start times up to 10^4 s: within 1e-12 of the
// block's largest magnitude, by either kernel; and both kernels give the
// same bits for any time and phase.
TEST_F(Generator, PeriodicWavesMatchExtendedPrecision) {
    const long double twoPiL = 8.0L * std::atan(1.0L);
    for (double startS : {0.0, 1.0, 123.456, 1e4}) {
        for (int mod : {0, 3}) {
            for (int wf : {2, 3, 4}) {
                const Args a{.shape = wf == 3 ? 250 : wf == 4 ? -600 : 0, .offsetMs = startS * 1000, .waveform = wf, .modulation = mod,
                             .A = 1000, .A2 = 200, .f1 = 997.3, .f2 = 2500, .phi = 0.7, .Tp = 0.37, .N = 4096};
                std::vector<double> ref(a.N);
                double T = a.offsetMs * 0.001, largest = 0;
                for (uint32_t i = 0; i < a.N; ++i, T += 1e-4) {
                    double b = a.f1, V = a.A;
                    if (mod == 3) {
                        T = T - a.Tp * std::floor(T / a.Tp);
                        b = a.f1 + (a.f2 - a.f1) * T / (2.0 * a.Tp);
                        V = a.A + (a.A2 - a.A) * T / a.Tp;
                    }
                    const double P = SimWarpPhase(T, b, a.shape, wf == 4 ? a.phi + kPi / 2.0 : a.phi);
                    const double fr = P - std::floor(P);
                    ref[i] = wf == 2   ? V * static_cast<double>(std::cos(twoPiL * P))
                             : wf == 3 ? V * (4.0 * std::fabs(fr - 0.5) - 1.0)
                                       : V * (fr < 0.5 ? 1.0 : -1.0);
                    largest = std::max(largest, std::fabs(ref[i]));
                }
                for (SimKernel k : {SimKernel::Scalar, SimKernel::Auto}) {
                    const auto prev = sim_kernel_override(k);
                    const auto x = run(a);
                    sim_kernel_override(prev);
                    double worst = 0;
                    for (uint32_t i = 0; i < a.N; ++i) worst = std::max(worst, std::fabs(x[i] - ref[i]));
                    EXPECT_LE(worst, 1e-12 * largest) << startS << " s, modulation " << mod << ", waveform " << wf;
                }
            }
        }
    }

    // The phase of a running time, for every symmetry including the ends.
    std::vector<double> times{0.0, -0.0, 1e-4, -2.5, 1e4, 1e300, std::numeric_limits<double>::infinity(),
                              std::numeric_limits<double>::quiet_NaN()};
    for (int i = 0; i < 500; ++i) times.push_back(i * 1.2345e-3 + (i % 3) * 1e3);
    for (double c : {-1000.0, -600.0, 0.0, 999.0, 1000.0}) {
        for (double b : {0.0, 1.0, 997.3, -50.0}) {
            const detail::Warp warp(c, 0.7);
            for (SimKernel k : {SimKernel::Scalar, SimKernel::Avx2, SimKernel::Avx512}) {
                std::vector<double> got(times.size());
                const auto prev = sim_kernel_override(k);
                detail::warp_block(warp, times.data(), b, static_cast<uint32_t>(times.size()), got.data());
                sim_kernel_override(prev);
                for (std::size_t i = 0; i < times.size(); ++i) {
                    const double expected = SimWarpPhase(times[i], b, c, 0.7);
                    EXPECT_TRUE(std::memcmp(&got[i], &expected, sizeof(double)) == 0 || (std::isnan(expected) && std::isnan(got[i])))
                        << sim_kernel_name(k) << " " << c << " " << b << " " << times[i];
                }
            }
        }
    }

    std::vector<double> phases{0.0, 1.0, -1.0, 0.125, 0.25, 0.5, 0.75, -0.375, 1e-300, 123456.789,
                               std::nextafter(0.25, 0.0), std::numeric_limits<double>::quiet_NaN()};
    for (int i = 0; i < 1000; ++i) phases.push_back(std::ldexp(std::sin(i * 0.7), i % 7));
    std::vector<double> scalar(phases.size()), vector(phases.size());
    auto prev = sim_kernel_override(SimKernel::Scalar);
    detail::cos_turns_block(phases.data(), static_cast<uint32_t>(phases.size()), scalar.data());
    for (SimKernel k : {SimKernel::Avx2, SimKernel::Avx512}) {
        sim_kernel_override(k);
        detail::cos_turns_block(phases.data(), static_cast<uint32_t>(phases.size()), vector.data());
        for (std::size_t i = 0; i < phases.size(); ++i) {
            EXPECT_TRUE(std::memcmp(&scalar[i], &vector[i], sizeof(double)) == 0 || (std::isnan(scalar[i]) && std::isnan(vector[i])))
                << sim_kernel_name(k) << " " << phases[i];
        }
    }
    sim_kernel_override(prev);
    for (std::size_t i = 0; i < phases.size(); ++i) {
        if (std::isnan(phases[i])) {
            EXPECT_TRUE(std::isnan(scalar[i]));
            continue;
        }
        // The reference turns the phase into (-1/2, 1/2] first, which is exact:
        // some x87 cosines (an emulated processor's) lose digits on a large
        // argument. (Far from 0 the extended-precision product loses more
        // than that.)
        if (std::fabs(phases[i]) < 100) {
            const double turn = phases[i] - std::nearbyint(phases[i]);
            EXPECT_NEAR(scalar[i], static_cast<double>(std::cos(twoPiL * turn)), 4e-16) << phases[i];
        }
    }
}

// The three outputs of a call (values, 16-bit and 32-bit codes), as bytes,
// with the given kernel.
std::string outputs(const Args& a, SimKernel k) {
    std::vector<double> v(a.N);
    std::vector<int16_t> w(a.N);
    std::vector<int32_t> d(a.N);
    const auto prev = sim_kernel_override(k);
    SimSignalGen(gen_args(a), v.data());
    SimSignalGenW16(gen_args(a), w.data());
    SimSignalGenW32(gen_args(a), d.data());
    sim_kernel_override(prev);
    std::string bytes(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(double));
    bytes.append(reinterpret_cast<const char*>(w.data()), w.size() * sizeof(int16_t));
    return bytes.append(reinterpret_cast<const char*>(d.data()), d.size() * sizeof(int32_t));
}
std::vector<SimKernel> vector_kernels() {
    std::vector<SimKernel> k;
    if (sim_avx2_supported()) k.push_back(SimKernel::Avx2);
    if (sim_avx512_supported()) k.push_back(SimKernel::Avx512);
    return k;
}

// The exponential sweeps' rates and levels in double precision against
// the extended-precision formulas, relative 1e-12 (reached: a few 1e-16),
// over every time of a period and ratios from barely different to 2^+-900;
// and the ratios the double form leaves to the extended-precision one.
TEST(ExponentialSweep, DoublePrecisionStaysWithinTheExtendedForms) {
    struct Case {
        double A, A2, f1, f2;
    } cases[] = {{1000, 200, 100, 1600},     {1000, 200, 1600, 100},        {5, 5, 1, 1.0 + 1e-9},
                 {3, -3, 20, 2e7},           {1, 2, 1e-300, 1e-10},         {1, 1, 1, std::ldexp(1.0, 900)},
                 {1, 1, std::ldexp(1.0, 400), std::ldexp(1.0, -500)}, {1000, 10, 50, 50}, {-4, -4000, 7, 7},
                 {1, 1 + 1e-12, 3, 3}};
    const double Tp = 0.37;
    double worst = 0;
    for (const Case& c : cases) {
        const detail::ExpSweep sweep(c.A, c.A2, c.f1, c.f2, Tp);
        ASSERT_TRUE(sweep.fast) << c.f1 << " " << c.f2;
        const long double r = c.f1 == c.f2 ? static_cast<long double>(c.A2) / c.A : static_cast<long double>(c.f2) / c.f1;
        const long double lnr = std::log(static_cast<long double>(c.f2)) - std::log(static_cast<long double>(c.f1));
        for (int i = 0; i <= 20000; ++i) {
            const double t = i == 1 ? 1e-300 : Tp * i / 20000.0;
            // r^x - 1 as expm1: near the turn, r^x - 1 itself keeps too few digits.
            const long double x = static_cast<long double>(t) / Tp;
            const long double rx = std::pow(r, x), rm1 = std::expm1(x * std::log(r));
            long double b = c.f1, V;
            if (c.f1 == c.f2) {
                V = c.A * rx;
            } else {
                if (t != 0) b = c.f1 * static_cast<long double>(Tp) * rm1 / (lnr * t);
                V = c.A + (c.A2 - c.A) * (c.f1 * rm1) / (c.f2 - c.f1);
            }
            double gotB, gotV;
            sweep.at(t, t / Tp, gotB, gotV);
            const double scaleV = std::max(std::fabs(c.A), std::fabs(c.A2));
            const double eb = static_cast<double>(std::fabs((gotB - b) / b)), ev = static_cast<double>(std::fabs(gotV - V)) / scaleV;
            worst = std::max({worst, eb, ev});
            ASSERT_LE(eb, 1e-12) << "rate at t " << t << ", " << c.f1 << " to " << c.f2;
            ASSERT_LE(ev, 1e-12) << "level at t " << t << ", " << c.A << " to " << c.A2;
        }
    }
    char worstText[32];
    std::snprintf(worstText, sizeof worstText, "%.3g", worst);
    RecordProperty("worst_relative_error", worstText);
    for (const Case& c : {Case{0, 3, 5, 5}, Case{3, 0, 5, 5}, Case{3, -3, 5, 5}, Case{1, 1, 1, std::ldexp(1.0, 1001)},
                          Case{1, 1, 1e-300, 1e300}})
        EXPECT_FALSE(detail::ExpSweep(c.A, c.A2, c.f1, c.f2, Tp).fast) << c.A << " " << c.A2 << " " << c.f1;
}

// The vector kernels against the scalar code, bit for bit: every length up
// to two vectors of eight and a tail, from times around a fold of a short
// period, and long blocks whose times cross binades (from 0 and across 0)
// and folds; every modulation, wave and output, symmetric and warped.
TEST_F(Generator, PeriodicKernelsGiveTheScalarBits) {
    const auto kernels = vector_kernels();
    if (kernels.empty()) GTEST_SKIP() << "no vector kernel on this processor";
    for (int mod = 0; mod <= 10; ++mod) {
        for (int wf : {2, 3, 4}) {
            for (int shape : {0, 7, -600}) {
                Args a{.shape = shape, .waveform = wf, .modulation = mod, .A = 900, .A2 = -300, .f1 = 437, .f2 = 2900,
                       .phi = 0.4, .Tp = 0.0013, .gain = 3, .extra = mod == 10 ? 2.5 : 0.02};
                std::vector<std::pair<double, uint32_t>> blocks{{0.0, 5000}, {-123.0, 5000}};
                for (double startMs : {0.0, 1.25, -0.61, 12345.6}) {
                    for (uint32_t n = 1; n <= 23; ++n) blocks.push_back({startMs, n});
                }
                for (const auto& [startMs, n] : blocks) {
                    // The exponential sweeps also as level sweeps (equal frequencies).
                    for (bool level : {false, true}) {
                        if (level && mod != 2 && mod != 4) continue;
                        a.offsetMs = startMs, a.N = n, a.Tp = n > 23 ? 0.37 : 0.0013;
                        a.f2 = level ? a.f1 : 2900, a.A2 = level ? 25 : -300;
                        const std::string scalar = outputs(a, SimKernel::Scalar);
                        for (SimKernel k : kernels) {
                            ASSERT_EQ(outputs(a, k), scalar)
                                << sim_kernel_name(k) << ": modulation " << mod << ", waveform " << wf << ", shape "
                                << shape << ", " << startMs << " ms, N " << n << (level ? ", level sweep" : "");
                        }
                    }
                }
            }
        }
    }

    // Edges of the runs of times, with exact start times and steps (u: the
    // ulp of the binade): a tie, where an odd multiple of u plus 1.5 u
    // rounds to even and then grows by 2 u, not by u; times rising to the
    // lower edge of a binade, -2^-4, where the sums round to u / 2; a
    // square's phase that rounds up to 1 (fraction 0); subnormal phases,
    // which the symmetric warp halves and doubles inexactly; the turn of a
    // stepped sweep up and down, t = Tp, which belongs to the last step.
    struct Edge {
        double T0, dt, f1, phi;
        int32_t mod = 0, shape = 0;
    } edges[] = {
        {std::nextafter(1.0, 2.0), 0x1.8p-52, 0x1p40, 0.0},
        {-(0x1p-4 + 0x1p-11), 0x1p-14 + 410 * 0x1p-66, 0x1p50, 0.0},
        {0.0, 1e-4, 437, -std::nextafter(kPi / 2, 2.0)},
        {0x1p-1070 + 0x1p-1074, 0x1p-1074, 1.0, 0.0},
        {0.25, 1e-3, 437, 0.0, 5, 4},
    };
    for (const Edge& e : edges) {
        for (int wf : {2, 3, 4}) {
            const detail::PeriodicArgs w{e.shape, wf, e.mod, 1000, 1000, e.f1, 2 * e.f1, e.phi, 0.25, 1, 0};
            std::vector<double> scalar(64), vector(64);
            const auto prev = sim_kernel_override(SimKernel::Scalar);
            detail::periodic(w, e.T0, e.dt, 64, {detail::Store::Double, scalar.data()});
            for (SimKernel k : kernels) {
                sim_kernel_override(k);
                detail::periodic(w, e.T0, e.dt, 64, {detail::Store::Double, vector.data()});
                EXPECT_EQ(std::memcmp(scalar.data(), vector.data(), 64 * sizeof(double)), 0)
                    << sim_kernel_name(k) << " " << e.T0 << " " << wf;
            }
            sim_kernel_override(prev);
        }
    }
}

// What the acquisitions deliver: values limited to full scale, including
// those a waveform without a signal leaves in the buffer.
TEST_F(Generator, LimitedValues) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    for (SimKernel k : {SimKernel::Scalar, SimKernel::Auto}) {
        const auto prev = sim_kernel_override(k);
        for (int wf : {0, 2, 3, 4, 6}) {
            const Args a{.waveform = wf, .modulation = wf == 3 ? 3 : 0, .A = 8000, .A2 = 100, .N = 77, .slot = 4};
            std::vector<double> plain{nan, inf, -inf, 6000, -1};
            plain.resize(a.N, 1e9);
            std::vector<double> limited = plain;
            SimSignalGen(gen_args(a), plain.data());
            SimSignalGenLimited(gen_args(a), limited.data(), 5000);
            for (double& v : plain) v = v > 5000 ? 5000 : v < -5000 ? -5000 : (v == v ? v : 0.0);
            EXPECT_EQ(limited, plain) << sim_kernel_name(k) << " " << wf;
        }
        sim_kernel_override(prev);
    }
}

TEST_F(Generator, RawCodesLimitAndWrap) {
    // 6000 * 6.5536 > 32767: the peaks stop at the limits.
    auto w = codes<int16_t>({.A = 6000, .f1 = 50, .N = 400}, SimSignalGenW16);
    EXPECT_EQ(*std::max_element(w.begin(), w.end()), 32767);
    EXPECT_EQ(*std::min_element(w.begin(), w.end()), -32768);
    // A level of -32768 codes or below: -32768 in the first half-cycle, and
    // the negation +32768, read back as -32768, in the second.
    w = codes<int16_t>({.waveform = 4, .A = -6000, .f1 = 50, .N = 400}, SimSignalGenW16);
    EXPECT_TRUE(std::all_of(w.begin(), w.end(), [](int16_t c) { return c == -32768; }));
    const auto d = codes<int32_t>({.waveform = 4, .A = 2500, .f1 = 50, .N = 400}, SimSignalGenW32);
    EXPECT_EQ(d[0], 1073741824);
    EXPECT_EQ(d[120], -1073741824);

    // Noise codes are the same stream as the doubles, rounded down.
    const Args n{.waveform = 0, .A = 1000, .N = 64, .slot = 40};
    const auto v = run(n);
    w = codes<int16_t>(n, SimSignalGenW16);
    for (std::size_t i = 0; i < v.size(); ++i) EXPECT_EQ(w[i], std::floor(v[i] * 6.5536)) << i;
}

// The noise as written down: taps rebuilt from the window, the whole
// history shifted every block, 895-term sums.
std::vector<double> reference_noise(std::vector<double>& X, bool band, int lo, int hi, double A, int gain,
                                    uint32_t seed, uint32_t N) {
    double h[895];
    for (int k = 0; k < 895; ++k) {
        const double u = 1 - std::min(k, 894 - k) / 447.0, m = k - 447.0;
        const double w = BesselI0(8.95926 * (1 - u * u)) / BesselI0(8.95926);
        const double Fl = lo / 2048.0, Fh = hi / 2048.0;
        h[k] = m == 0 ? w * (band ? Fh - Fl : 0.25)
                      : w * (band ? std::sin(kPi * m * Fh) - std::sin(kPi * m * Fl) : std::sin(kPi * m / 4)) / (kPi * m);
    }
    sim_srand(seed);
    std::vector<double> out;
    while (out.size() < N) {
        const std::size_t b = std::min<std::size_t>(32, N - out.size());
        std::copy(X.begin() + 4 * b, X.end(), X.begin());
        for (std::size_t j = 1024 - 4 * b; j < 1024; ++j) X[j] = (sim_rand() - 16383.5) * (1 / 16383.5);
        for (std::size_t i = 0; i < b; ++i) {
            double s = 0;
            for (int t = 0; t < 895; ++t) s += h[t] * gain * X[894 + 4 * i - t] * A;
            out.push_back(s);
        }
    }
    return out;
}

TEST_F(Generator, NoiseHistoryAndSeeding) {
    double* s3 = slot(3);
    std::vector<double> old(1024);
    for (int j = 0; j < 1024; ++j) old[j] = s3[j] = std::sin(j * 0.37);

    // N = 100: three blocks of 32 and one of 4, the slot moves on by 400.
    auto fast = run({.waveform = 0, .A = 2, .N = 100, .gain = 3, .slot = 3});
    for (int j = 0; j < 624; ++j) ASSERT_EQ(s3[j], old[j + 400]) << j;
    auto X = old;
    auto ref = reference_noise(X, false, 0, 0, 2, 3, 3, 100);
    EXPECT_TRUE(std::equal(X.begin(), X.end(), s3));
    const auto close = [](const std::vector<double>& a, const std::vector<double>& b) {
        double big = 0;
        for (double v : b) big = std::max(big, std::fabs(v));
        for (std::size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], 1e-12 * big) << i;
    };
    close(fast, ref);

    // N = 300 draws more values than the slot keeps: it holds the latest
    // 1024 of them, and the sequence goes on after the last one.
    X.assign(s3, s3 + 1024);
    run({.waveform = 0, .A = 2, .N = 300, .gain = 3, .slot = 3});
    const int next = sim_rand();
    reference_noise(X, false, 0, 0, 2, 3, 3, 300);
    EXPECT_TRUE(std::equal(X.begin(), X.end(), s3));
    EXPECT_EQ(next, sim_rand());

    // Band-pass (seeded by the tick count), both kernels, same bits.
    fake.now = 987654;
    const Args band{.waveform = 1, .A = 5, .f1 = 1000, .f2 = 2500, .N = 77, .slot = 3};
    const std::vector<double> mid(s3, s3 + 1024);
    X = mid;
    ref = reference_noise(X, true, 102, 256, 5, 1, 987654, 77);
    const auto prev = sim_kernel_override(SimKernel::Scalar);
    const auto scalar = run(band);
    std::copy(mid.begin(), mid.end(), s3);
    sim_kernel_override(prev);
    fast = run(band);
    close(fast, ref);
    EXPECT_EQ(fast, scalar);

    // The same seed gives the same noise; another slot another one. Without
    // "Random_Simu" the history is zero and nothing is created.
    held.reset();
    ASSERT_FALSE(fake.exists(kNoiseStateName));
    const auto a = run({.waveform = 0, .N = 50, .slot = 5});
    EXPECT_EQ(a, run({.waveform = 0, .N = 50, .slot = 5}));
    EXPECT_NE(a, run({.waveform = 0, .N = 50, .slot = 6}));
    EXPECT_NE(a, run({.offsetMs = 1, .waveform = 0, .N = 50, .slot = 5}));
    EXPECT_FALSE(fake.exists(kNoiseStateName));
}

// The filter adds the inputs of each pair of equal taps before one fused
// multiply-add, in an order of its own: the values stay within 1e-12 of
// full scale (A times the gain) of the 895-term sums as written down, over
// a long run and in every slot (reached: 4e-15).
TEST_F(Generator, NoiseStaysWithTheFilterAsWrittenDown) {
    double worst = 0;
    // White noise is seeded by the start time and the slot, band-pass by the tick.
    auto check = [&](const Args& a, bool band, int lo, int hi, uint32_t tick) {
        double* s = slot(a.slot);
        std::vector<double> X(1024);
        for (int j = 0; j < 1024; ++j) X[j] = s[j] = std::sin(j * 0.53 + a.slot);
        fake.now = tick;
        const uint32_t seed = band ? tick : uint32_t(a.slot);
        const auto got = run(a);
        const auto ref = reference_noise(X, band, lo, hi, a.A, a.gain, seed, a.N);
        const double full = a.A * a.gain;
        for (std::size_t i = 0; i < got.size(); ++i) {
            worst = std::max(worst, std::fabs(got[i] - ref[i]) / full);
            ASSERT_NEAR(got[i], ref[i], 1e-12 * full) << "slot " << a.slot << ", sample " << i;
        }
    };
    check({.waveform = 0, .A = 4000, .N = 20000, .gain = 3, .slot = 7}, false, 0, 0, 11);
    check({.waveform = 1, .A = 4000, .f1 = 1000, .f2 = 2500, .N = 20000, .gain = 3, .slot = 8}, true, 102, 256, 12);
    for (int32_t s = 0; s < 32; ++s) {
        check({.waveform = s % 2, .A = 5, .f1 = 300, .f2 = 4800, .N = 300, .gain = 1, .slot = s}, s % 2 == 1, 30, 491,
              100 + s);
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", worst);
    RecordProperty("worst_error_of_full_scale", text);
}

// The same bits on every platform and build: the noise and the swept waves
// of fixed seeds and parameters, by their hash (FNV-1a of the bytes), the
// same under Linux and both Windows builds, whichever kernel runs.
TEST_F(Generator, TheSameBitsOnEveryPlatform) {
    auto hash = [](const std::vector<double>& v) {
        uint64_t h = 1469598103934665603ull;
        for (double x : v) {
            unsigned char b[8];
            std::memcpy(b, &x, 8);
            for (unsigned char c : b) h = (h ^ c) * 1099511628211ull;
        }
        return h;
    };
    auto kernels = vector_kernels();
    kernels.insert(kernels.begin(), SimKernel::Scalar);
    for (SimKernel k : kernels) {
        const auto prev = sim_kernel_override(k);
        double* s = slot(4);
        for (int j = 0; j < 1024; ++j) s[j] = std::cos(j * 0.29);
        fake.now = 4242;
        const uint64_t low = hash(run({.waveform = 0, .A = 3, .N = 1000, .gain = 2, .slot = 4}));
        const uint64_t band = hash(run({.waveform = 1, .A = 3, .f1 = 700, .f2 = 2100, .N = 1000, .gain = 2, .slot = 4}));
        const uint64_t sweep = hash(run({.waveform = 2, .modulation = 4, .A = 900, .A2 = 30, .f1 = 40, .f2 = 3100,
                                         .phi = 0.3, .Tp = 0.05, .N = 3000}));
        const uint64_t level = hash(run({.waveform = 3, .modulation = 2, .A = 900, .A2 = 30, .f1 = 440, .f2 = 440,
                                         .phi = 0.3, .Tp = 0.05, .N = 3000}));
        sim_kernel_override(prev);
        EXPECT_EQ(low, 0x915BCC261163D71Full) << sim_kernel_name(k) << ": white noise";
        EXPECT_EQ(band, 0x8BEBD053332C0ACFull) << sim_kernel_name(k) << ": band-pass noise";
        EXPECT_EQ(sweep, 0x19A9132794EEAE88ull) << sim_kernel_name(k) << ": exponential sweep";
        EXPECT_EQ(level, 0xA8B4F9C6DD4FF339ull) << sim_kernel_name(k) << ": level sweep";
    }
}

// The vector kernels handle whole blocks of 32, then vectors of four or
// eight outputs, then what is left: every length up to two blocks and a
// tail, and a few long ones, must give the scalar kernel's bits, for the
// samples, for the history the slot keeps and for the sequence after the
// call; low-pass and a few bands, with the history slot and without.
TEST_F(Generator, NoiseKernelsAgreeForEveryLength) {
    const auto kernels = vector_kernels();
    if (kernels.empty()) GTEST_SKIP() << "no vector kernel on this processor";
    double* s2 = slot(2);
    std::vector<double> start(1024);
    for (int j = 0; j < 1024; ++j) start[j] = std::cos(j * 0.91) * 0.5;
    std::vector<uint32_t> lengths;
    for (uint32_t n = 1; n <= 80; ++n) lengths.push_back(n);
    for (uint32_t n : {255u, 256u, 257u, 300u, 1000u, 4133u}) lengths.push_back(n);
    struct Band {
        int32_t waveform;
        double f1, f2;
    };
    const Band bands[] = {{0, 700, 2100}, {1, 700, 2100}, {1, 0, 5000}, {1, 4999, 3000}};
    for (uint32_t n : lengths) {
        for (const Band& band : bands) {
            for (int32_t slot : {2, -1}) {
                const Args a{.waveform = band.waveform, .A = 3, .f1 = band.f1, .f2 = band.f2, .N = n, .gain = 2,
                             .slot = slot};
                std::vector<double> history, out;
                int next = 0;
                for (std::size_t k = 0; k <= kernels.size(); ++k) {
                    const SimKernel kernel = k == 0 ? SimKernel::Scalar : kernels[k - 1];
                    std::copy(start.begin(), start.end(), s2);
                    const auto prev = sim_kernel_override(kernel);
                    // Other values where the call keeps its frames, so that a
                    // frame it reads without drawing it shows.
                    run({.waveform = 0, .A = -7, .N = 300, .gain = 5, .slot = -1});
                    const auto o = run(a);
                    const int r = sim_rand();
                    sim_kernel_override(prev);
                    if (k == 0) {
                        out = o, history.assign(s2, s2 + 1024), next = r;
                        continue;
                    }
                    const std::string what = std::string(sim_kernel_name(kernel)) + ", length " + std::to_string(n) +
                                             ", waveform " + std::to_string(band.waveform) + ", band " +
                                             std::to_string(band.f1) + ", slot " + std::to_string(slot);
                    EXPECT_EQ(o, out) << what;
                    EXPECT_TRUE(std::equal(history.begin(), history.end(), s2)) << what;
                    EXPECT_EQ(r, next) << what;
                }
            }
        }
    }
}

TEST_F(Generator, NoiseSpectrum) {
    // White: flat up to half the sampling rate, power A^2 / 12.
    const auto white = run({.waveform = 0, .A = 2, .N = 32768});
    double power = 0;
    for (double v : white) power += v * v / white.size();
    EXPECT_NEAR(power, 4.0 / 12, 0.02);
    const auto p = spectrum(white, 256);
    const double all = mean(p, 2, 122);
    for (int k = 2; k < 122; k += 30) EXPECT_NEAR(mean(p, k, k + 30) / all, 1.0, 0.15) << k;

    // Band-pass 1000 .. 2500 Hz: the power stays between the edges.
    const auto bp = spectrum(run({.waveform = 1, .f1 = 2500, .f2 = 1000, .N = 32768}), 256);
    const double in = mean(bp, 28, 62), below = mean(bp, 1, 18), above = mean(bp, 74, 129);
    EXPECT_GT(in, 1e4 * below);
    EXPECT_GT(in, 1e4 * above);
    // An edge above half the sampling rate: plain white noise.
    const Args wide{.waveform = 1, .f1 = 1000, .f2 = 6000, .N = 40};
    EXPECT_EQ(codes<int32_t>(wide, SimSignalGenW32),
              codes<int32_t>(Args{.waveform = 0, .f1 = 1000, .f2 = 6000, .N = 40}, SimSignalGenW32));
}

TEST_F(Generator, ParametersWithoutValue) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const Args cases[] = {
        {.modulation = -1},          {.modulation = 11},        {.modulation = 10000},
        {.modulation = 1, .Tp = 0},  {.modulation = 3, .Tp = nan}, {.modulation = 6, .Tp = -1},
        {.modulation = 2, .Tp = 1e308}, {.modulation = 7, .Tp = 1e-310}, {.modulation = 4, .f1 = -5, .f2 = 10},
        {.modulation = 2, .A = 0, .A2 = 3}, {.modulation = 4, .A = -1, .A2 = 3}, {.shape = 1, .modulation = 5},
        {.shape = -7, .modulation = 6}, {.shape = 2147483647, .modulation = 5}, {.modulation = 9, .extra = 3},
        {.modulation = 10, .extra = nan}, {.A = inf},                {.f1 = nan},
        {.offsetMs = 1e300, .modulation = 1}, {.shape = -2147483647 - 1, .phi = inf},
    };
    for (const auto& c : cases) {
        for (int32_t wf : {2, 3, 4, 0, 1}) {
            Args a = c;
            a.waveform = wf;
            for (double v : run(a)) ASSERT_TRUE(std::isfinite(v)) << wf << " mod " << c.modulation;
            codes<int16_t>(a, SimSignalGenW16);
            codes<int32_t>(a, SimSignalGenW32);
        }
    }
    // The defined answers.
    EXPECT_EQ(run({.modulation = 11, .N = 10}), std::vector<double>(10, 0.0));
    EXPECT_EQ(run({.modulation = 3, .f2 = 900, .Tp = 0}), run({.f2 = 900}));
    EXPECT_EQ(run({.modulation = 2, .f1 = -50, .f2 = 200}), run({.modulation = 1, .f1 = -50, .f2 = 200}));
    EXPECT_EQ(run({.modulation = 4, .A = 0, .A2 = 3}), std::vector<double>(1000, 0.0));
    const auto flat = run({.shape = 1, .modulation = 6, .A = 2, .A2 = 9, .f2 = 900, .N = 5000});
    expect_frequency(flat, 1e4, 1e9, [](double) { return 100.0; });
    EXPECT_NEAR(*std::max_element(flat.begin(), flat.end()), 2.0, 1e-6);
    const auto over = run({.modulation = 9, .f1 = 100, .Tp = 0.05, .N = 100, .extra = 2});
    EXPECT_TRUE(std::is_sorted(over.rbegin(), over.rend()));  // no cycle, pure decay
    for (int32_t wf : {5, 6, 100}) EXPECT_EQ(run({.waveform = wf, .N = 10}), std::vector<double>(10, -7.0));
    std::vector<double> none(1, -7.0);
    SimSignalGen({.A = 1, .A2 = 1, .f1 = 1, .f2 = 1, .Tp = 1, .freqCode = kCode10k, .N = 0}, none.data());
    EXPECT_EQ(none[0], -7.0);
}

}  // namespace
}  // namespace kelmo::test
