// The AVX-512 kernels of the noise: the frames are drawn eight per vector;
// the filter is the AVX2 kernel's.
//
// A filter of 512-bit vectors (eight outputs per vector, ten loads feeding
// 16 products per run of four taps) gives the same bits but is slower on
// processors that split 512-bit operations in two, the AMD Zen 4 among
// them: they multiply and add no more lanes per cycle in 512-bit vectors,
// and the filter's loads, at every offset of 8 bytes, mostly cross a cache
// line, which costs them extra (52 ns a band-pass sample against 35 ns for
// the four-wide kernel on a Zen 4; 36 ns with every load aligned).

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

}  // namespace

const NoiseKernels kNoiseAvx512{noise_dot_avx2, draw};

}  // namespace kelmo::sim::detail

#undef KELMO_SIM_TARGET

#endif
