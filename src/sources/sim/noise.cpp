// White and band-pass noise.
//
// Uniform random values at four times the sampling rate pass through a
// linear-phase FIR filter of 895 taps (Kaiser window, beta 8.95926), and
// every fourth filter output is kept. The filter adds the two inputs of each
// pair of equal taps before its one multiply-add (see generator_detail.h).
// The channel's last 1024 raw values
// live in its slot of "Random_Simu", so that consecutive calls continue one
// noise stream per channel.
//
// The window is the same for every call and is built once; so are the
// low-pass taps. Band-pass taps depend on the band edges and are kept for
// the last few bands asked for.
//
// "Random_Simu" belongs to the signal-source program; the library never
// creates it. When it does not exist, or the slot is outside 0 .. 31, the
// call starts from a zero history and stores nothing back: the output is
// still a full block of filtered noise (it only lacks the continuation of
// an earlier call), and no other process's memory is touched.
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

#include "core/fused.h"
#include "platform/lock.h"
#include "platform/platform.h"
#include "sources/sim/generator.h"
#include "sources/sim/generator_detail.h"

namespace kelmo::sim {
namespace detail {
namespace {

constexpr double kKaiserBeta = 8.95926;

// w[k] for k = 0 .. 447 (the other half mirrors it).
const std::array<double, kCentre + 1>& window() {
    static const std::array<double, kCentre + 1> w = [] {
        std::array<double, kCentre + 1> v{};
        const double norm = BesselI0(kKaiserBeta);
        for (int k = 0; k <= kCentre; ++k) {
            const double u = 1.0 - k / 447.0;
            v[k] = BesselI0(kKaiserBeta * (1.0 - u * u)) / norm;
        }
        return v;
    }();
    return w;
}

// The taps in summation order. The low-pass design is zero at every
// m = k - 447 that is a non-zero multiple of 4 (sin of a multiple of pi),
// which is all of phase 3 but the centre: those pairs are left out.
Taps make_taps(bool bandPass, int lo, int hi) {
    double h[kTaps];
    design_taps(bandPass, lo, hi, h);
    Taps t;
    // (phase, its partner's phase, the partner of q = 0, pairs)
    struct Run {
        int p, partner, top, count;
    };
    const Run runs[] = {{0, 2, 223, 224}, {1, 1, 223, 112}, {3, 3, 222, bandPass ? 111 : 0}};
    for (const Run& r : runs) {
        int q = 0;
        for (; q + 16 <= r.count; q += 16, ++t.groups) {
            t.groupAt[t.groups] = r.p * kPhaseStride + q;
            t.partnerAt[t.groups] = r.partner * kPhaseStride + (r.top - q);
            for (int j = 0; j < 16; ++j) t.group[t.groups][j] = h[4 * (q + j) + r.p];
        }
        for (; q < r.count; ++q, ++t.pairs) {
            t.pairAt[t.pairs] = r.p * kPhaseStride + q;
            t.pairPartnerAt[t.pairs] = r.partner * kPhaseStride + (r.top - q);
            t.pair[t.pairs] = h[4 * q + r.p];
        }
    }
    t.singleAt[t.singles] = 3 * kPhaseStride + kCentre / 4;  // 447 = 4 * 111 + 3
    t.single[t.singles++] = h[kCentre];
    return t;
}

const Taps& lowpass_taps() {
    static const Taps t = make_taps(false, 0, 0);
    return t;
}

std::shared_ptr<const Taps> bandpass_taps(int lo, int hi) {
    struct Entry {
        int lo = -1, hi = -1;
        std::shared_ptr<const Taps> taps;
    };
    static kelmo::platform::Lock mutex;
    static std::array<Entry, 4> cache;
    static std::size_t next = 0;
    std::lock_guard<kelmo::platform::Lock> lock(mutex);
    for (const auto& e : cache) {
        if (e.taps && e.lo == lo && e.hi == hi) return e.taps;
    }
    auto taps = std::make_shared<const Taps>(make_taps(true, lo, hi));
    cache[next] = Entry{lo, hi, taps};
    next = (next + 1) % cache.size();
    return taps;
}

// ---- frames ------------------------------------------------------------------------

constexpr std::size_t kWindowFrames = kNoiseSlotValues / 4;  // 256 frames = one history
constexpr std::size_t kBufferFrames = kPhaseStride;
constexpr int kBlock = 32;
constexpr double kInv = 1.0 / 16383.5;

// A raw value, uniform in [-1, 1], from the state that draws it.
inline double raw_value(uint32_t s) { return (rand_value(s) - 16383.5) * kInv; }

// Four chains of the random sequence, one per phase: phase p of consecutive
// frames is every fourth value, so the chains draw a block without waiting
// on one another.
uint32_t draw_scalar(double* ph, std::size_t from, int b, double g, double A, uint32_t state) {
    constexpr RandJump four = rand_jump(4);
    uint32_t s0 = rand_step(state);
    uint32_t s1 = rand_step(s0), s2 = rand_step(s1), s3 = rand_step(s2);
    for (std::size_t f = from, e = from + b; f < e; ++f) {
        ph[f] = g * raw_value(s0) * A, ph[kPhaseStride + f] = g * raw_value(s1) * A;
        ph[2 * kPhaseStride + f] = g * raw_value(s2) * A, ph[3 * kPhaseStride + f] = g * raw_value(s3) * A;
        s0 = four(s0), s1 = four(s1), s2 = four(s2), s3 = four(s3);
    }
    return rand_jump(4 * static_cast<uint64_t>(b))(state);
}

// n raw values (a multiple of 4) from the state before the first one.
void raw_values(uint32_t state, std::size_t n, double* out) {
    constexpr RandJump four = rand_jump(4);
    uint32_t s0 = rand_step(state);
    uint32_t s1 = rand_step(s0), s2 = rand_step(s1), s3 = rand_step(s2);
    for (std::size_t j = 0; j < n; j += 4) {
        out[j] = raw_value(s0), out[j + 1] = raw_value(s1), out[j + 2] = raw_value(s2), out[j + 3] = raw_value(s3);
        s0 = four(s0), s1 = four(s1), s2 = four(s2), s3 = four(s3);
    }
}

}  // namespace

const NoiseKernels kNoiseScalar{noise_dot_scalar, draw_scalar};

void design_taps(bool bandPass, int lo, int hi, double* h) {
    const double pi = 4.0 * std::atan(1.0);
    const auto& w = window();
    const double Fl = lo / 2048.0, Fh = hi / 2048.0;
    for (int k = 0; k < kCentre; ++k) {
        const double m = k - kCentre;
        const double pm = pi * m;
        h[k] = bandPass ? w[k] * (std::sin(pm * Fh) - std::sin(pm * Fl)) / pm : w[k] * std::sin(pm / 4.0) / pm;
        h[kTaps - 1 - k] = h[k];
    }
    h[kCentre] = bandPass ? (Fh - Fl) * w[kCentre] : 0.25 * w[kCentre];
}

void noise_dot_scalar(const Taps& taps, const double* y, int b, double* out) {
    double acc[kBlock] = {};
    b = std::min(b, kBlock);
    for (int g = 0; g < taps.groups; ++g) {
        const double* ya = y + taps.groupAt[g];
        const double* yb = y + taps.partnerAt[g];
        for (int j : kGroupOrder) {
            const double h = taps.group[g][j];
            for (int i = 0; i < b; ++i) acc[i] = fused_multiply_add(h, ya[j + i] + yb[i - j], acc[i]);
        }
    }
    for (int k = 0; k < taps.pairs; ++k) {
        const double h = taps.pair[k];
        const double* ya = y + taps.pairAt[k];
        const double* yb = y + taps.pairPartnerAt[k];
        for (int i = 0; i < b; ++i) acc[i] = fused_multiply_add(h, ya[i] + yb[i], acc[i]);
    }
    for (int k = 0; k < taps.singles; ++k) {
        const double h = taps.single[k];
        const double* ys = y + taps.singleAt[k];
        for (int i = 0; i < b; ++i) acc[i] = fused_multiply_add(h, ys[i], acc[i]);
    }
    std::copy(acc, acc + b, out);
}

void noise_trial(const NoiseKernels& kernels) {
    static double y[4 * kPhaseStride];
    static double out[kBlock];
    uint32_t state = 12345;
    for (int block = 0; block < 16; ++block) {
        state = kernels.draw(y, kWindowFrames, kBlock, 1.0, 1.0, state);
        kernels.dot(lowpass_taps(), y, kBlock, out);
    }
}

void noise(bool bandPass, int lo, int hi, double A, int16_t gain, uint32_t N, int32_t slot, const Output& o) {
    std::shared_ptr<const Taps> band;
    const Taps& taps = bandPass ? *(band = bandpass_taps(lo, hi)) : lowpass_taps();
    const NoiseKernels& kernels = noise_kernels();

    platform::SharedMemoryPtr state;
    unsigned char* slotBytes = nullptr;
    if (slot >= 0 && slot < kNoiseSlots) {
        state = platform::current().shm.shm_use_existing(kNoiseStateName, kNoiseStateBytes, platform::Access::ReadWrite);
        if (state) slotBytes = static_cast<unsigned char*>(state->data()) + slot * sizeof(double) * kNoiseSlotValues;
    }

    // history: the raw values as the slot kept them; ph: the values times
    // gain times A, split by phase, for the filter.
    double history[kNoiseSlotValues];
    double ph[4 * kPhaseStride];
    const double g = gain;

    if (slotBytes) {
        std::memcpy(history, slotBytes, sizeof history);
    } else {
        std::fill(history, history + kNoiseSlotValues, 0.0);
    }
    for (std::size_t j = 0; j < kNoiseSlotValues; ++j) ph[(j & 3) * kPhaseStride + (j >> 2)] = g * history[j] * A;

    // Blocks of 32 output samples (the last one shorter): draw 4 raw values
    // per output sample, then filter the latest 256 frames.
    const uint32_t first = rand_state();
    uint32_t rand = first;
    std::size_t filled = kWindowFrames;
    double values[kBlock];
    for (uint32_t pos = 0; pos < N;) {
        const int b = static_cast<int>(std::min<uint32_t>(kBlock, N - pos));
        if (filled + b > kBufferFrames) {
            const std::size_t from = filled - kWindowFrames;
            for (std::size_t p = 0; p < 4; ++p) {
                std::memmove(ph + p * kPhaseStride, ph + p * kPhaseStride + from, sizeof(double) * kWindowFrames);
            }
            filled = kWindowFrames;
        }
        rand = kernels.draw(ph, filled, b, g, A, rand);
        filled += b;

        kernels.dot(taps, ph + (filled - kWindowFrames), b, values);
        o.noise_block(pos, values, b);
        pos += static_cast<uint32_t>(b);
    }
    set_rand_state(rand);

    // The slot keeps the latest 1024 raw values: what is left of its history,
    // then the values drawn, which are drawn again here (a few steps of the
    // sequence instead of keeping every raw value of the call).
    if (slotBytes) {
        const uint64_t drawn = 4 * static_cast<uint64_t>(N);
        double kept[kNoiseSlotValues];
        if (drawn >= kNoiseSlotValues) {
            raw_values(rand_jump(drawn - kNoiseSlotValues)(first), kNoiseSlotValues, kept);
        } else {
            const std::size_t old = kNoiseSlotValues - drawn;
            std::copy(history + drawn, history + kNoiseSlotValues, kept);
            raw_values(first, drawn, kept + old);
        }
        std::memcpy(slotBytes, kept, sizeof kept);
    }
}

}  // namespace detail

}  // namespace kelmo::sim
