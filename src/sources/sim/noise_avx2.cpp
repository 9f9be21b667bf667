// The AVX2 kernels of the noise: the filter, four consecutive outputs per
// vector, and the drawing of the frames, four per vector.
//
// The filter keeps one vector accumulator per four outputs. Each lane
// performs the scalar kernel's additions and fused multiply-adds in the
// scalar kernel's order, so both kernels give the same bits (every
// processor with AVX2 has FMA; the choice of kernel asks for both).
//
// A whole block of 32 outputs takes each group of 16 pairs as four runs of
// stride 4 (q, q + 4, q + 8, q + 12): the input vector at q + 4k serves
// output vector v for tap q + 4 (k - v), and the partner's input 4k above
// its start serves output vector v for tap q + 4 (v - k), so 22 loads feed
// 32 multiply-adds where the plain loop makes 64 (x86-64 only; 32-bit x86,
// with eight vector registers, uses the plain four-vector loop). The
// compiler keeps some of the accumulators on the stack meanwhile; on
// Windows, whose stack is not aligned to 32 bytes, the build has the
// assembler make every such move an unaligned one.
#include "sources/sim/generator_detail.h"

#ifdef KELMO_HAVE_AVX2_KERNEL

#include <immintrin.h>

#define KELMO_SIM_AVX2_TARGET __attribute__((target("avx2,fma")))
#define KELMO_SIM_AVX2_INLINE __attribute__((target("avx2,fma"), always_inline)) inline

namespace kelmo::sim::detail {
namespace {

// acc = fma(h, the four inputs at a + the four at b, acc); acc = fma(h, the
// four inputs at a, acc)
#define KELMO_SIM_PAIR(acc, h, a, b) \
    acc = _mm256_fmadd_pd(h, _mm256_add_pd(_mm256_loadu_pd(a), _mm256_loadu_pd(b)), acc)
#define KELMO_SIM_TERM(acc, h, a) acc = _mm256_fmadd_pd(h, _mm256_loadu_pd(a), acc)

// One to four output vectors, tap by tap in summation order.
KELMO_SIM_AVX2_INLINE void dot_vectors(const Taps& t, const double* y, int vectors, double* out) {
    __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
    auto pair = [&](double h, const double* a, const double* b) __attribute__((target("avx2,fma"), always_inline)) {
        const __m256d hv = _mm256_set1_pd(h);
        KELMO_SIM_PAIR(a0, hv, a, b);
        if (vectors > 1) KELMO_SIM_PAIR(a1, hv, a + 4, b + 4);
        if (vectors > 2) KELMO_SIM_PAIR(a2, hv, a + 8, b + 8);
        if (vectors > 3) KELMO_SIM_PAIR(a3, hv, a + 12, b + 12);
    };
    for (int g = 0; g < t.groups; ++g) {
        for (int j : kGroupOrder) pair(t.group[g][j], y + t.groupAt[g] + j, y + t.partnerAt[g] - j);
    }
    for (int k = 0; k < t.pairs; ++k) pair(t.pair[k], y + t.pairAt[k], y + t.pairPartnerAt[k]);
    for (int k = 0; k < t.singles; ++k) {
        const __m256d hv = _mm256_set1_pd(t.single[k]);
        const double* a = y + t.singleAt[k];
        KELMO_SIM_TERM(a0, hv, a);
        if (vectors > 1) KELMO_SIM_TERM(a1, hv, a + 4);
        if (vectors > 2) KELMO_SIM_TERM(a2, hv, a + 8);
        if (vectors > 3) KELMO_SIM_TERM(a3, hv, a + 12);
    }
    _mm256_storeu_pd(out, a0);
    if (vectors > 1) _mm256_storeu_pd(out + 4, a1);
    if (vectors > 2) _mm256_storeu_pd(out + 8, a2);
    if (vectors > 3) _mm256_storeu_pd(out + 12, a3);
}

#ifdef __x86_64__
// Output vector v, tap t of the run: acc v += h_t (A(v + t) + B(v - t)),
// A(m) the inputs at pa + 4m, B(n) the partners' at pb + 4n. A row is one
// output vector's four taps in order.
#define KELMO_SIM_USE(v, t)                                                                             \
    a##v = _mm256_fmadd_pd(                                                                             \
        h##t, _mm256_add_pd(_mm256_loadu_pd(pa + 4 * ((v) + (t))), _mm256_loadu_pd(pb + 4 * ((v) - (t)))), a##v)
#define KELMO_SIM_ROW(v) \
    KELMO_SIM_USE(v, 0); \
    KELMO_SIM_USE(v, 1); \
    KELMO_SIM_USE(v, 2); \
    KELMO_SIM_USE(v, 3);

// A whole block of 32 outputs.
KELMO_SIM_AVX2_INLINE void dot_block(const Taps& t, const double* y, double* out) {
    __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
    for (int g = 0; g < t.groups; ++g) {
        const double* h = t.group[g];
        for (int r = 0; r < 4; ++r) {
            const double* pa = y + t.groupAt[g] + r;
            const double* pb = y + t.partnerAt[g] - r;
            const __m256d h0 = _mm256_set1_pd(h[r]), h1 = _mm256_set1_pd(h[r + 4]);
            const __m256d h2 = _mm256_set1_pd(h[r + 8]), h3 = _mm256_set1_pd(h[r + 12]);
            KELMO_SIM_ROW(0) KELMO_SIM_ROW(1) KELMO_SIM_ROW(2) KELMO_SIM_ROW(3)
            KELMO_SIM_ROW(4) KELMO_SIM_ROW(5) KELMO_SIM_ROW(6) KELMO_SIM_ROW(7)
        }
    }
    for (int k = 0; k < t.pairs; ++k) {
        const __m256d h = _mm256_set1_pd(t.pair[k]);
        const double* pa = y + t.pairAt[k];
        const double* pb = y + t.pairPartnerAt[k];
        KELMO_SIM_PAIR(a0, h, pa, pb);
        KELMO_SIM_PAIR(a1, h, pa + 4, pb + 4);
        KELMO_SIM_PAIR(a2, h, pa + 8, pb + 8);
        KELMO_SIM_PAIR(a3, h, pa + 12, pb + 12);
        KELMO_SIM_PAIR(a4, h, pa + 16, pb + 16);
        KELMO_SIM_PAIR(a5, h, pa + 20, pb + 20);
        KELMO_SIM_PAIR(a6, h, pa + 24, pb + 24);
        KELMO_SIM_PAIR(a7, h, pa + 28, pb + 28);
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
#undef KELMO_SIM_ROW
#undef KELMO_SIM_USE
#endif

#undef KELMO_SIM_PAIR
#undef KELMO_SIM_TERM

}  // namespace

KELMO_SIM_AVX2_TARGET void noise_dot_avx2(const Taps& t, const double* y, int b, double* out) {
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
