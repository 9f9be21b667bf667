// The AVX2 kernels of the periodic waves (the phase of a running time, the
// cosine of a phase): four samples per vector, each lane doing the scalar
// kernel's operations in its order (no fused multiply-add), so both kernels
// give the same bits.
#include "sources/sim/generator_detail.h"

#ifdef KELMO_HAVE_AVX2_KERNEL

#include <immintrin.h>

// A constant in every lane.
#define KELMO_SIM_K(v) _mm256_set1_pd(v)

namespace kelmo::sim::detail {

__attribute__((target("avx2"))) void cos_turns_avx2(const double* p, uint32_t n, double* out) {
    using C = CosTurns;
    const __m256d round = _mm256_set1_pd(C::kRound), halfPi = _mm256_set1_pd(C::kHalfPi);
    const __m256d four = _mm256_set1_pd(4.0), one = _mm256_set1_pd(1.0);
    const __m256i bit0 = _mm256_set1_epi64x(1);
    const __m256d signBit = _mm256_set1_pd(-0.0);
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d r = _mm256_mul_pd(four, _mm256_loadu_pd(p + i));
        const __m256d big = _mm256_add_pd(r, round);
        const __m256d q = _mm256_sub_pd(big, round);
        const __m256d x = _mm256_mul_pd(_mm256_sub_pd(r, q), halfPi);
        const __m256d z = _mm256_mul_pd(x, x);
        __m256d s = _mm256_add_pd(KELMO_SIM_K(C::kS13), _mm256_mul_pd(z, KELMO_SIM_K(C::kS15)));
        s = _mm256_add_pd(KELMO_SIM_K(C::kS11), _mm256_mul_pd(z, s));
        s = _mm256_add_pd(KELMO_SIM_K(C::kS9), _mm256_mul_pd(z, s));
        s = _mm256_add_pd(KELMO_SIM_K(C::kS7), _mm256_mul_pd(z, s));
        s = _mm256_add_pd(KELMO_SIM_K(C::kS5), _mm256_mul_pd(z, s));
        s = _mm256_add_pd(KELMO_SIM_K(C::kS3), _mm256_mul_pd(z, s));
        s = _mm256_add_pd(x, _mm256_mul_pd(x, _mm256_mul_pd(z, s)));
        __m256d c = _mm256_add_pd(KELMO_SIM_K(C::kC14), _mm256_mul_pd(z, KELMO_SIM_K(C::kC16)));
        c = _mm256_add_pd(KELMO_SIM_K(C::kC12), _mm256_mul_pd(z, c));
        c = _mm256_add_pd(KELMO_SIM_K(C::kC10), _mm256_mul_pd(z, c));
        c = _mm256_add_pd(KELMO_SIM_K(C::kC8), _mm256_mul_pd(z, c));
        c = _mm256_add_pd(KELMO_SIM_K(C::kC6), _mm256_mul_pd(z, c));
        c = _mm256_add_pd(KELMO_SIM_K(C::kC4), _mm256_mul_pd(z, c));
        c = _mm256_add_pd(KELMO_SIM_K(C::kC2), _mm256_mul_pd(z, c));
        c = _mm256_add_pd(one, _mm256_mul_pd(z, c));
        // Quarter q: bit 0 picks sin, bit 0 xor bit 1 negates.
        const __m256i bits = _mm256_castpd_si256(big);
        const __m256i odd = _mm256_and_si256(bits, bit0);
        const __m256i neg = _mm256_and_si256(_mm256_xor_si256(bits, _mm256_srli_epi64(bits, 1)), bit0);
        const __m256d pickSin = _mm256_castsi256_pd(_mm256_cmpeq_epi64(odd, bit0));
        const __m256d flip = _mm256_and_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(neg, bit0)), signBit);
        _mm256_storeu_pd(out + i, _mm256_xor_pd(_mm256_blendv_pd(c, s, pickSin), flip));
    }
    for (; i < n; ++i) out[i] = C::eval(p[i]);
}

__attribute__((target("avx2"))) void warp_avx2(const Warp& warp, const double* a, double b, uint32_t n,
                                               double* out) {
    const __m256d bv = _mm256_set1_pd(b), offset = _mm256_set1_pd(warp.offset), D = _mm256_set1_pd(warp.D);
    const __m256d zero = _mm256_setzero_pd(), half = _mm256_set1_pd(0.5), one = _mm256_set1_pd(1.0);
    const __m256d lowAllowed = warp.D != 0.0 ? _mm256_castsi256_pd(_mm256_set1_epi64x(-1)) : zero;
    const __m256d oneMinusD = _mm256_sub_pd(one, D);
    uint32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d x = _mm256_add_pd(_mm256_mul_pd(_mm256_loadu_pd(a + i), bv), offset);
        __m256d p = _mm256_sub_pd(x, _mm256_floor_pd(x));
        p = _mm256_blendv_pd(p, _mm256_add_pd(p, one), _mm256_cmp_pd(p, zero, _CMP_LE_OQ));
        const __m256d low = _mm256_div_pd(_mm256_mul_pd(half, p), D);
        const __m256d high = _mm256_add_pd(half, _mm256_div_pd(_mm256_mul_pd(half, _mm256_sub_pd(p, D)), oneMinusD));
        const __m256d isLow = _mm256_and_pd(_mm256_cmp_pd(p, D, _CMP_LE_OQ), lowAllowed);
        _mm256_storeu_pd(out + i, _mm256_blendv_pd(high, low, isLow));
    }
    for (; i < n; ++i) out[i] = warp(a[i], b);
}

}  // namespace kelmo::sim::detail

#undef KELMO_SIM_K

#endif
