// The AVX2 kernels of the noise: the filter, four consecutive outputs per
// vector, and the drawing of the frames, four per vector.
//
// The filter keeps one vector accumulator per four outputs. Each lane
// performs the scalar kernel's multiplies and adds in the scalar kernel's
// order (no fused multiply-add), so both kernels give the same bits.
//
// A whole block of 32 outputs takes each group of 16 taps as four runs of
// stride 4 (q, q + 4, q + 8, q + 12): the input vector at q + 4k serves
// output vector v for tap q + 4 (k - v), so eleven loads feed 32 products
// instead of one load per product.
//
// Accumulators and taps stay in registers (x86-64 has sixteen vector
// registers; 32-bit x86, with eight, uses the plain four-vector loop): no
// vector goes through the stack, which some Windows compilers cannot align
// to 32 bytes.
#include "sources/sim/generator_detail.h"

#ifdef KELMO_HAVE_AVX2_KERNEL

#include <immintrin.h>

#define KELMO_SIM_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace kelmo::sim::detail {
namespace {

// acc += h * (the four inputs at p)
#define KELMO_SIM_TERM(acc, h, p) acc = _mm256_add_pd(acc, _mm256_mul_pd(h, _mm256_loadu_pd(p)))

// One to four output vectors, tap by tap in summation order.
KELMO_SIM_AVX2_INLINE void dot_vectors(const Taps& t, const double* y, int vectors, double* out) {
    __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
    auto tap = [&](double h, const double* at) __attribute__((target("avx2"), always_inline)) {
        const __m256d hv = _mm256_set1_pd(h);
        KELMO_SIM_TERM(a0, hv, at);
        if (vectors > 1) KELMO_SIM_TERM(a1, hv, at + 4);
        if (vectors > 2) KELMO_SIM_TERM(a2, hv, at + 8);
        if (vectors > 3) KELMO_SIM_TERM(a3, hv, at + 12);
    };
    for (int g = 0; g < t.groups; ++g) {
        for (int j : kGroupOrder) tap(t.group[g][j], y + t.groupAt[g] + j);
    }
    for (int k = 0; k < t.singles; ++k) tap(t.single[k], y + t.singleAt[k]);
    _mm256_storeu_pd(out, a0);
    if (vectors > 1) _mm256_storeu_pd(out + 4, a1);
    if (vectors > 2) _mm256_storeu_pd(out + 8, a2);
    if (vectors > 3) _mm256_storeu_pd(out + 12, a3);
}

#ifdef __x86_64__
// acc_v += h_t * x for every (v, t) with v + t = k
#define KELMO_SIM_USE(v, t) a##v = _mm256_add_pd(a##v, _mm256_mul_pd(h##t, x))

// A whole block of 32 outputs.
KELMO_SIM_AVX2_INLINE void dot_block(const Taps& t, const double* y, double* out) {
    __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
    for (int g = 0; g < t.groups; ++g) {
        const double* h = t.group[g];
        for (int r = 0; r < 4; ++r) {
            const double* p = y + t.groupAt[g] + r;
            const __m256d h0 = _mm256_set1_pd(h[r]), h1 = _mm256_set1_pd(h[r + 4]);
            const __m256d h2 = _mm256_set1_pd(h[r + 8]), h3 = _mm256_set1_pd(h[r + 12]);
            __m256d x;
            x = _mm256_loadu_pd(p);
            KELMO_SIM_USE(0, 0);
            x = _mm256_loadu_pd(p + 4);
            KELMO_SIM_USE(1, 0), KELMO_SIM_USE(0, 1);
            x = _mm256_loadu_pd(p + 8);
            KELMO_SIM_USE(2, 0), KELMO_SIM_USE(1, 1), KELMO_SIM_USE(0, 2);
            x = _mm256_loadu_pd(p + 12);
            KELMO_SIM_USE(3, 0), KELMO_SIM_USE(2, 1), KELMO_SIM_USE(1, 2), KELMO_SIM_USE(0, 3);
            x = _mm256_loadu_pd(p + 16);
            KELMO_SIM_USE(4, 0), KELMO_SIM_USE(3, 1), KELMO_SIM_USE(2, 2), KELMO_SIM_USE(1, 3);
            x = _mm256_loadu_pd(p + 20);
            KELMO_SIM_USE(5, 0), KELMO_SIM_USE(4, 1), KELMO_SIM_USE(3, 2), KELMO_SIM_USE(2, 3);
            x = _mm256_loadu_pd(p + 24);
            KELMO_SIM_USE(6, 0), KELMO_SIM_USE(5, 1), KELMO_SIM_USE(4, 2), KELMO_SIM_USE(3, 3);
            x = _mm256_loadu_pd(p + 28);
            KELMO_SIM_USE(7, 0), KELMO_SIM_USE(6, 1), KELMO_SIM_USE(5, 2), KELMO_SIM_USE(4, 3);
            x = _mm256_loadu_pd(p + 32);
            KELMO_SIM_USE(7, 1), KELMO_SIM_USE(6, 2), KELMO_SIM_USE(5, 3);
            x = _mm256_loadu_pd(p + 36);
            KELMO_SIM_USE(7, 2), KELMO_SIM_USE(6, 3);
            x = _mm256_loadu_pd(p + 40);
            KELMO_SIM_USE(7, 3);
        }
    }
    for (int k = 0; k < t.singles; ++k) {
        const __m256d h = _mm256_set1_pd(t.single[k]);
        const double* p = y + t.singleAt[k];
        KELMO_SIM_TERM(a0, h, p);
        KELMO_SIM_TERM(a1, h, p + 4);
        KELMO_SIM_TERM(a2, h, p + 8);
        KELMO_SIM_TERM(a3, h, p + 12);
        KELMO_SIM_TERM(a4, h, p + 16);
        KELMO_SIM_TERM(a5, h, p + 20);
        KELMO_SIM_TERM(a6, h, p + 24);
        KELMO_SIM_TERM(a7, h, p + 28);
    }
    _mm256_storeu_pd(out, a0);
    _mm256_storeu_pd(out + 4, a1);
    _mm256_storeu_pd(out + 8, a2);
    _mm256_storeu_pd(out + 12, a3);
    _mm256_storeu_pd(out + 16, a4);
    _mm256_storeu_pd(out + 20, a5);
    _mm256_storeu_pd(out + 24, a6);
    _mm256_storeu_pd(out + 28, a7);
}
#undef KELMO_SIM_USE
#endif

#undef KELMO_SIM_TERM

}  // namespace

__attribute__((target("avx2"))) void noise_dot_avx2(const Taps& t, const double* y, int b, double* out) {
    int i = 0;
#ifdef __x86_64__
    if (b == 32) {
        dot_block(t, y, out);
        return;
    }
#endif
    for (; i + 16 <= b; i += 16) dot_vectors(t, y + i, 4, out + i);
    if (i + 4 <= b) {
        const int vectors = (b - i) / 4;
        dot_vectors(t, y + i, vectors, out + i);
        i += 4 * vectors;
    }
    if (i < b) noise_dot_scalar(t, y + i, b - i, out + i);
}

namespace {

// The jump from the state before a block to the state of value 4k + p
// (lane k of phase p), and the jump by four frames.
struct Lanes {
    uint32_t a[4][4], c[4][4];
};
constexpr Lanes kLanes = [] {
    Lanes l{};
    for (int p = 0; p < 4; ++p) {
        for (int k = 0; k < 4; ++k) l.a[p][k] = rand_jump(4 * k + p + 1).a, l.c[p][k] = rand_jump(4 * k + p + 1).c;
    }
    return l;
}();
constexpr RandJump kFourFrames = rand_jump(16);

// Four frames of one phase per vector: each lane a chain of the sequence
// sixteen values apart. Integer steps, an exact conversion and the scalar
// code's two products.
__attribute__((target("avx2"))) uint32_t draw(double* ph, std::size_t from, int b, double g, double A,
                                              uint32_t state) {
    const __m128i start = _mm_set1_epi32(static_cast<int>(state));
    const __m128i a4 = _mm_set1_epi32(static_cast<int>(kFourFrames.a)), c4 = _mm_set1_epi32(static_cast<int>(kFourFrames.c));
    const __m128i low15 = _mm_set1_epi32(0x7FFF);
    const __m256d mid = _mm256_set1_pd(16383.5), inv = _mm256_set1_pd(1.0 / 16383.5);
    const __m256d gv = _mm256_set1_pd(g), Av = _mm256_set1_pd(A);
    const __m256i lane = _mm256_set_epi64x(3, 2, 1, 0);
    for (int p = 0; p < 4; ++p) {
        __m128i s = _mm_add_epi32(_mm_mullo_epi32(start, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLanes.a[p]))),
                                  _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLanes.c[p])));
        double* out = ph + p * kPhaseStride + from;
        for (int f = 0; f < b; f += 4) {
            const __m256d v = _mm256_cvtepi32_pd(_mm_and_si128(_mm_srli_epi32(s, 16), low15));
            const __m256d y = _mm256_mul_pd(_mm256_mul_pd(gv, _mm256_mul_pd(_mm256_sub_pd(v, mid), inv)), Av);
            if (f + 4 <= b) {
                _mm256_storeu_pd(out + f, y);
            } else {
                _mm256_maskstore_pd(out + f, _mm256_cmpgt_epi64(_mm256_set1_epi64x(b - f), lane), y);
            }
            s = _mm_add_epi32(_mm_mullo_epi32(s, a4), c4);
        }
    }
    return rand_jump(4 * static_cast<uint64_t>(b))(state);
}

}  // namespace

const NoiseKernels kNoiseAvx2{noise_dot_avx2, draw};

}  // namespace kelmo::sim::detail

#endif
