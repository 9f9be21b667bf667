// The AVX-512 kernels of the noise: the frames drawn eight per vector, the
// filter eight outputs per vector.
//
// A whole block of 32 outputs is four accumulators. Each group of 16 pairs
// goes as the AVX2 kernel's four runs of stride 4 (q, q + 4, q + 8, q + 12),
// in the same order for every output: the inputs of tap q + 4t for output
// vector v start at 4 (t + 2v), the partners' at 4 (2v - t) from the run's
// own, so 20 loads feed 16 multiply-adds of eight lanes, and the 32 vector
// registers hold them all. Processors that split 512-bit operations in two
// (the AMD Zen 4 among them) gain little from it, and its loads, at every
// offset of 8 bytes, mostly cross a cache line: which of the two filters is
// faster is measured where the kernel is chosen.

// Some AVX-512 intrinsics start from a deliberately undefined vector, which
// GCC 12 reports as maybe uninitialised once they are inlined; this holds
// for the intrinsics' headers too, so it comes before any include.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "sources/sim/generator_detail.h"

#ifdef KELMO_HAVE_AVX512_KERNEL

#include <immintrin.h>

#define KELMO_SIM_TARGET __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,fma")))

namespace kelmo::sim::detail {
namespace {

// The jump from the state before a block to the state of value 4k + p
// (lane k of phase p), and the jump by eight frames.
struct Lanes {
    uint32_t a[4][8], c[4][8];
};
constexpr Lanes kLanes = [] {
    Lanes l{};
    for (int p = 0; p < 4; ++p) {
        for (int k = 0; k < 8; ++k) l.a[p][k] = rand_jump(4 * k + p + 1).a, l.c[p][k] = rand_jump(4 * k + p + 1).c;
    }
    return l;
}();
constexpr RandJump kEightFrames = rand_jump(32);

// Eight frames of one phase per vector: each lane a chain of the sequence
// 32 values apart. Integer steps, an exact conversion and the scalar code's
// two products.
KELMO_SIM_TARGET uint32_t draw(double* ph, std::size_t from, int b, double g, double A, uint32_t state) {
    const __m256i start = _mm256_set1_epi32(static_cast<int>(state));
    const __m256i a8 = _mm256_set1_epi32(static_cast<int>(kEightFrames.a));
    const __m256i c8 = _mm256_set1_epi32(static_cast<int>(kEightFrames.c));
    const __m256i low15 = _mm256_set1_epi32(0x7FFF);
    const __m512d mid = _mm512_set1_pd(16383.5), inv = _mm512_set1_pd(1.0 / 16383.5);
    const __m512d gv = _mm512_set1_pd(g), Av = _mm512_set1_pd(A);
    for (int p = 0; p < 4; ++p) {
        __m256i s = _mm256_add_epi32(_mm256_mullo_epi32(start, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kLanes.a[p]))),
                                     _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kLanes.c[p])));
        double* out = ph + p * kPhaseStride + from;
        for (int f = 0; f < b; f += 8) {
            const __m512d v = _mm512_cvtepi32_pd(_mm256_and_si256(_mm256_srli_epi32(s, 16), low15));
            const __m512d y = _mm512_mul_pd(_mm512_mul_pd(gv, _mm512_mul_pd(_mm512_sub_pd(v, mid), inv)), Av);
            if (f + 8 <= b) {
                _mm512_storeu_pd(out + f, y);
            } else {
                _mm512_mask_storeu_pd(out + f, static_cast<__mmask8>((1u << (b - f)) - 1), y);
            }
            s = _mm256_add_epi32(_mm256_mullo_epi32(s, a8), c8);
        }
    }
    return rand_jump(4 * static_cast<uint64_t>(b))(state);
}

#define KELMO_SIM_PAIR8(acc, h, a, b) \
    acc = _mm512_fmadd_pd(h, _mm512_add_pd(_mm512_loadu_pd(a), _mm512_loadu_pd(b)), acc)
#define KELMO_SIM_TERM8(acc, h, a) acc = _mm512_fmadd_pd(h, _mm512_loadu_pd(a), acc)
// Output vector v, tap t of the run.
#define KELMO_SIM_USE8(v, t) \
    a##v = _mm512_fmadd_pd(  \
        h##t, _mm512_add_pd(_mm512_loadu_pd(pa + 4 * ((t) + 2 * (v))), _mm512_loadu_pd(pb + 4 * (2 * (v) - (t)))), a##v)
#define KELMO_SIM_ROW8(v) \
    KELMO_SIM_USE8(v, 0); \
    KELMO_SIM_USE8(v, 1); \
    KELMO_SIM_USE8(v, 2); \
    KELMO_SIM_USE8(v, 3);

// A whole block of 32 outputs.
KELMO_SIM_TARGET void dot_block(const Taps& t, const double* y, double* out) {
    __m512d a0 = _mm512_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
    for (int g = 0; g < t.groups; ++g) {
        const double* h = t.group[g];
        for (int r = 0; r < 4; ++r) {
            const double* pa = y + t.groupAt[g] + r;
            const double* pb = y + t.partnerAt[g] - r;
            const __m512d h0 = _mm512_set1_pd(h[r]), h1 = _mm512_set1_pd(h[r + 4]);
            const __m512d h2 = _mm512_set1_pd(h[r + 8]), h3 = _mm512_set1_pd(h[r + 12]);
            KELMO_SIM_ROW8(0) KELMO_SIM_ROW8(1) KELMO_SIM_ROW8(2) KELMO_SIM_ROW8(3)
        }
    }
    for (int k = 0; k < t.pairs; ++k) {
        const __m512d h = _mm512_set1_pd(t.pair[k]);
        const double* pa = y + t.pairAt[k];
        const double* pb = y + t.pairPartnerAt[k];
        KELMO_SIM_PAIR8(a0, h, pa, pb);
        KELMO_SIM_PAIR8(a1, h, pa + 8, pb + 8);
        KELMO_SIM_PAIR8(a2, h, pa + 16, pb + 16);
        KELMO_SIM_PAIR8(a3, h, pa + 24, pb + 24);
    }
    for (int k = 0; k < t.singles; ++k) {
        const __m512d h = _mm512_set1_pd(t.single[k]);
        const double* p = y + t.singleAt[k];
        KELMO_SIM_TERM8(a0, h, p);
        KELMO_SIM_TERM8(a1, h, p + 8);
        KELMO_SIM_TERM8(a2, h, p + 16);
        KELMO_SIM_TERM8(a3, h, p + 24);
    }
    _mm512_storeu_pd(out, a0);
    _mm512_storeu_pd(out + 8, a1);
    _mm512_storeu_pd(out + 16, a2);
    _mm512_storeu_pd(out + 24, a3);
}

// One output vector of eight, pair by pair in summation order.
KELMO_SIM_TARGET void dot_vector(const Taps& t, const double* y, double* out) {
    __m512d a0 = _mm512_setzero_pd();
    for (int g = 0; g < t.groups; ++g) {
        for (int j : kGroupOrder) {
            const __m512d h = _mm512_set1_pd(t.group[g][j]);
            KELMO_SIM_PAIR8(a0, h, y + t.groupAt[g] + j, y + t.partnerAt[g] - j);
        }
    }
    for (int k = 0; k < t.pairs; ++k) {
        const __m512d h = _mm512_set1_pd(t.pair[k]);
        KELMO_SIM_PAIR8(a0, h, y + t.pairAt[k], y + t.pairPartnerAt[k]);
    }
    for (int k = 0; k < t.singles; ++k) {
        const __m512d h = _mm512_set1_pd(t.single[k]);
        KELMO_SIM_TERM8(a0, h, y + t.singleAt[k]);
    }
    _mm512_storeu_pd(out, a0);
}

#undef KELMO_SIM_ROW8
#undef KELMO_SIM_USE8
#undef KELMO_SIM_TERM8
#undef KELMO_SIM_PAIR8

KELMO_SIM_TARGET void dot(const Taps& t, const double* y, int b, double* out) {
    if (b == 32) {
        dot_block(t, y, out);
        return;
    }
    int i = 0;
    for (; i + 8 <= b; i += 8) dot_vector(t, y + i, out + i);
    if (i < b) noise_dot_avx2(t, y + i, b - i, out + i);
}

}  // namespace

const NoiseKernels kNoiseAvx512{dot, draw};

}  // namespace kelmo::sim::detail

#undef KELMO_SIM_TARGET

#endif
