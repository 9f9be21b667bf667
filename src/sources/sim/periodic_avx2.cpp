// The AVX2 kernels of the periodic waves: four samples per vector, a
// comparison's result a vector of all-ones or all-zeros lanes. The work
// itself is periodic_lanes.h's.
#include "sources/sim/generator_detail.h"

#ifdef KELMO_HAVE_AVX2_KERNEL

#include <immintrin.h>

#define KELMO_SIM_TARGET __attribute__((target("avx2")))
#define KELMO_SIM_LANES KELMO_SIM_TARGET __attribute__((always_inline)) inline

namespace kelmo::sim::detail {
namespace {

using V = __m256d;
using M = __m256d;
constexpr int kLanes = 4;

KELMO_SIM_LANES V set(double v) { return _mm256_set1_pd(v); }
KELMO_SIM_LANES V load(const double* p) { return _mm256_loadu_pd(p); }
KELMO_SIM_LANES void store(double* p, V v) { _mm256_storeu_pd(p, v); }
KELMO_SIM_LANES V iota() { return _mm256_set_pd(3, 2, 1, 0); }

KELMO_SIM_LANES V add(V a, V b) { return _mm256_add_pd(a, b); }
KELMO_SIM_LANES V sub(V a, V b) { return _mm256_sub_pd(a, b); }
KELMO_SIM_LANES V mul(V a, V b) { return _mm256_mul_pd(a, b); }
KELMO_SIM_LANES V div(V a, V b) { return _mm256_div_pd(a, b); }
KELMO_SIM_LANES V floor(V a) { return _mm256_floor_pd(a); }
KELMO_SIM_LANES V abs(V a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
KELMO_SIM_LANES V neg(V a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
// Both operands are numbers wherever these meet them.
KELMO_SIM_LANES V min(V a, V b) { return _mm256_min_pd(a, b); }
KELMO_SIM_LANES V max(V a, V b) { return _mm256_max_pd(a, b); }

KELMO_SIM_LANES M le(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
KELMO_SIM_LANES M lt(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
KELMO_SIM_LANES M eq(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
KELMO_SIM_LANES M finite(V a) { return _mm256_cmp_pd(abs(a), _mm256_set1_pd(INFINITY), _CMP_LT_OQ); }
KELMO_SIM_LANES M both(M a, M b) { return _mm256_and_pd(a, b); }
KELMO_SIM_LANES M all_lanes(bool on) { return _mm256_castsi256_pd(_mm256_set1_epi64x(on ? -1 : 0)); }
// m ? a : b
KELMO_SIM_LANES V select(M m, V a, V b) { return _mm256_blendv_pd(b, a, m); }

// The quarter turn in the low bits of `big`: bit 0 picks s, bit 0 xor bit 1
// negates.
KELMO_SIM_LANES V quarter(V big, V s, V c) {
    const __m256i bits = _mm256_castpd_si256(big), one = _mm256_set1_epi64x(1);
    const __m256i odd = _mm256_and_si256(bits, one);
    const __m256i flip = _mm256_and_si256(_mm256_xor_si256(bits, _mm256_srli_epi64(bits, 1)), one);
    const V v = _mm256_blendv_pd(c, s, _mm256_castsi256_pd(_mm256_cmpeq_epi64(odd, one)));
    return _mm256_xor_pd(v, _mm256_castsi256_pd(_mm256_slli_epi64(flip, 63)));
}

// 2^k for whole numbers |k| <= 1022: the exponent bits k + 1023.
KELMO_SIM_LANES V power_of_two(V k) {
    const __m256i e = _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_cvtpd_epi32(k)), _mm256_set1_epi64x(1023));
    return _mm256_castsi256_pd(_mm256_slli_epi64(e, 52));
}

// Codes truncated toward zero (values within the word's range, or -(-2^31),
// which converts to the integer indefinite 0x80000000: the low 32 bits of
// +2^31), then their low 16 or 32 bits.
KELMO_SIM_LANES void store(int16_t* p, V v) {
    const __m128i low = _mm_shuffle_epi8(_mm256_cvttpd_epi32(v), _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1,
                                                                                  -1, -1, -1, -1, -1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), low);
}
KELMO_SIM_LANES void store(int32_t* p, V v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_cvttpd_epi32(v));
}

}  // namespace
}  // namespace kelmo::sim::detail

#include "sources/sim/periodic_lanes.h"

namespace kelmo::sim::detail {
const PeriodicKernels kPeriodicAvx2{run_lanes, wave_lanes, warp_lanes, cos_turns_lanes};
}  // namespace kelmo::sim::detail

#undef KELMO_SIM_LANES
#undef KELMO_SIM_TARGET

#endif
