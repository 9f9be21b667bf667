// The AVX-512 kernels of the periodic waves: eight samples per vector, the
// comparisons in mask registers. The work itself is periodic_lanes.h's.

// Some AVX-512 intrinsics start from a deliberately undefined vector, which
// GCC 12 reports as maybe uninitialised once they are inlined; this holds
// for the intrinsics' headers too, so it comes before any include.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "sources/sim/generator_detail.h"

#ifdef KELMO_HAVE_AVX512_KERNEL

#include <immintrin.h>

#define KELMO_SIM_TARGET __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl")))
#define KELMO_SIM_LANES KELMO_SIM_TARGET __attribute__((always_inline)) inline

namespace kelmo::sim::detail {
namespace {

using V = __m512d;
using M = __mmask8;
constexpr int kLanes = 8;

KELMO_SIM_LANES V set(double v) { return _mm512_set1_pd(v); }
KELMO_SIM_LANES V load(const double* p) { return _mm512_loadu_pd(p); }
KELMO_SIM_LANES void store(double* p, V v) { _mm512_storeu_pd(p, v); }
KELMO_SIM_LANES V iota() { return _mm512_set_pd(7, 6, 5, 4, 3, 2, 1, 0); }

KELMO_SIM_LANES V add(V a, V b) { return _mm512_add_pd(a, b); }
KELMO_SIM_LANES V sub(V a, V b) { return _mm512_sub_pd(a, b); }
KELMO_SIM_LANES V mul(V a, V b) { return _mm512_mul_pd(a, b); }
KELMO_SIM_LANES V div(V a, V b) { return _mm512_div_pd(a, b); }
KELMO_SIM_LANES V floor(V a) { return _mm512_roundscale_pd(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
KELMO_SIM_LANES V abs(V a) { return _mm512_abs_pd(a); }
KELMO_SIM_LANES V neg(V a) { return _mm512_xor_pd(a, _mm512_set1_pd(-0.0)); }
// Both operands are numbers wherever these meet them.
KELMO_SIM_LANES V min(V a, V b) { return _mm512_min_pd(a, b); }
KELMO_SIM_LANES V max(V a, V b) { return _mm512_max_pd(a, b); }

KELMO_SIM_LANES M le(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
KELMO_SIM_LANES M lt(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
KELMO_SIM_LANES M eq(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
KELMO_SIM_LANES M finite(V a) { return _knot_mask8(_mm512_fpclass_pd_mask(a, 0x99)); }  // not NaN, not +-inf
KELMO_SIM_LANES M both(M a, M b) { return _kand_mask8(a, b); }
KELMO_SIM_LANES M all_lanes(bool on) { return on ? 0xFF : 0; }
// m ? a : b
KELMO_SIM_LANES V select(M m, V a, V b) { return _mm512_mask_blend_pd(m, b, a); }

// The quarter turn in the low bits of `big`: bit 0 picks s, bit 0 xor bit 1
// negates.
KELMO_SIM_LANES V quarter(V big, V s, V c) {
    const __m512i bits = _mm512_castpd_si512(big), one = _mm512_set1_epi64(1);
    const M odd = _mm512_test_epi64_mask(bits, one);
    const M flip = _mm512_test_epi64_mask(_mm512_xor_si512(bits, _mm512_srli_epi64(bits, 1)), one);
    const V v = _mm512_mask_blend_pd(odd, c, s);
    return _mm512_mask_xor_pd(v, flip, v, _mm512_set1_pd(-0.0));
}

// 2^k for whole numbers |k| <= 1022: the exponent bits k + 1023.
KELMO_SIM_LANES V power_of_two(V k) {
    const __m512i e = _mm512_add_epi64(_mm512_cvtepi32_epi64(_mm512_cvtpd_epi32(k)), _mm512_set1_epi64(1023));
    return _mm512_castsi512_pd(_mm512_slli_epi64(e, 52));
}

// Codes truncated toward zero (values within the word's range, or -(-2^31),
// which converts to the integer indefinite 0x80000000: the low 32 bits of
// +2^31), then their low 16 or 32 bits.
KELMO_SIM_LANES void store(int16_t* p, V v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_cvtepi32_epi16(_mm512_cvttpd_epi32(v)));
}
KELMO_SIM_LANES void store(int32_t* p, V v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm512_cvttpd_epi32(v));
}

}  // namespace
}  // namespace kelmo::sim::detail

#include "sources/sim/periodic_lanes.h"

namespace kelmo::sim::detail {
const PeriodicKernels kPeriodicAvx512{run_lanes, wave_lanes, warp_lanes, cos_turns_lanes};
}  // namespace kelmo::sim::detail

#undef KELMO_SIM_LANES
#undef KELMO_SIM_TARGET

#endif
