// The AVX2 kernel: conversion and extremes fused in one pass, eight samples
// per step, with the same IEEE operations in the same order as the scalar
// formulas of convert.h.
//
// Extremes are kept per lane (value and first index, the index as a
// double), in two sets of four lanes: lane j of the first set sees samples
// 8k + j, of the second 8k + 4 + j. Each lane follows the strict running
// comparisons over its own samples in order, so merging the lanes by
// "larger value, or equal value and smaller index" gives the first index of
// the extreme of the whole block. The samples past the last full step go
// through the scalar formulas and the scalar running comparisons.
//
// No vector ever goes through memory other than the caller's buffers
// (unaligned loads and stores): some Windows compilers cannot align the
// stack to 32 bytes.
#include "core/convert.h"

#ifdef KELMO_HAVE_AVX2_KERNEL

#include <immintrin.h>

#define KELMO_AVX2 __attribute__((target("avx2")))
#define KELMO_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace kelmo::conv {
namespace {

struct Lanes {
    __m256d max, min, maxAt, minAt;
};

KELMO_AVX2_INLINE Lanes lanes_start() {
    return Lanes{_mm256_set1_pd(kMaxStart), _mm256_set1_pd(kMinStart), _mm256_set1_pd(-1.0), _mm256_set1_pd(-1.0)};
}

// max_pd(v, m) is (v > m ? v : m) and min_pd(v, m) is (v < m ? v : m):
// exactly the strict running comparisons, NaN keeping the old value.
KELMO_AVX2_INLINE void lanes_step(Lanes& l, __m256d v, __m256d at) {
    const __m256d gt = _mm256_cmp_pd(v, l.max, _CMP_GT_OQ);
    const __m256d lt = _mm256_cmp_pd(v, l.min, _CMP_LT_OQ);
    l.max = _mm256_max_pd(v, l.max);
    l.min = _mm256_min_pd(v, l.min);
    l.maxAt = _mm256_blendv_pd(l.maxAt, at, gt);
    l.minAt = _mm256_blendv_pd(l.minAt, at, lt);
}

// Lane-wise choice between two candidate sets: b wins when its value is
// beyond a's, or equal with a smaller index. Untouched lanes carry the
// start value, which every touched lane is strictly beyond.
KELMO_AVX2_INLINE void pick(__m256d& v, __m256d& at, __m256d bv, __m256d bat, bool forMax) {
    const __m256d beyond = forMax ? _mm256_cmp_pd(bv, v, _CMP_GT_OQ) : _mm256_cmp_pd(bv, v, _CMP_LT_OQ);
    const __m256d earlier = _mm256_and_pd(_mm256_cmp_pd(bv, v, _CMP_EQ_OQ), _mm256_cmp_pd(bat, at, _CMP_LT_OQ));
    const __m256d take = _mm256_or_pd(beyond, earlier);
    v = _mm256_blendv_pd(v, bv, take);
    at = _mm256_blendv_pd(at, bat, take);
}

KELMO_AVX2_INLINE void reduce(__m256d& v, __m256d& at, bool forMax) {
    pick(v, at, _mm256_permute2f128_pd(v, v, 1), _mm256_permute2f128_pd(at, at, 1), forMax);
    pick(v, at, _mm256_permute_pd(v, 0x5), _mm256_permute_pd(at, 0x5), forMax);
}

KELMO_AVX2_INLINE double lane0(__m256d v) { return _mm_cvtsd_f64(_mm256_castpd256_pd128(v)); }

KELMO_AVX2_INLINE Extremes merge(Lanes a, const Lanes& b) {
    pick(a.max, a.maxAt, b.max, b.maxAt, true);
    pick(a.min, a.minAt, b.min, b.minAt, false);
    reduce(a.max, a.maxAt, true);
    reduce(a.min, a.minAt, false);
    Extremes e;
    e.max = lane0(a.max);
    e.min = lane0(a.min);
    e.maxIndex = static_cast<int32_t>(lane0(a.maxAt));
    e.minIndex = static_cast<int32_t>(lane0(a.minAt));
    return e;
}

// ---- raw to engineering ------------------------------------------------------

// Integer stage on eight 16-bit words widened to int32 lanes.
template <ConvGroup G>
KELMO_AVX2_INLINE __m256i eng_int16(__m128i w) {
    using enum ConvGroup;
    if constexpr (kUnsigned16<G>) {
        __m256i u = _mm256_cvtepu16_epi32(w);
        if constexpr (G == G3) u = _mm256_xor_si256(_mm256_and_si256(u, _mm256_set1_epi32(0x0FFF)), _mm256_set1_epi32(0x0800));
        if constexpr (G == G4) u = _mm256_and_si256(u, _mm256_set1_epi32(0x0FFF));
        return u;
    } else {
        __m256i s = _mm256_cvtepi16_epi32(w);
        if constexpr (G == G6) s = _mm256_mullo_epi32(s, _mm256_set1_epi32(10000));
        if constexpr (G == G7) s = _mm256_mullo_epi32(s, _mm256_set1_epi32(1000));
        if constexpr (G == G8) s = _mm256_mullo_epi32(s, _mm256_set1_epi32(2000));
        return s;
    }
}

// Integer stage on four 32-bit words.
template <ConvGroup G>
KELMO_AVX2_INLINE __m128i eng_int32(__m128i w) {
    if constexpr (G == ConvGroup::G11) return _mm_slli_epi32(w, 8);
    return w;
}

template <ConvGroup G>
KELMO_AVX2_INLINE __m256d eng_fp(__m256d d, __m256d gain) {
    using enum ConvGroup;
    const auto k = [](double c) KELMO_AVX2 { return _mm256_set1_pd(c); };
    const __m256d fs = _mm256_set1_pd(5000.0);
    if constexpr (G == G1) return _mm256_mul_pd(d, k(kEng16));
    if constexpr (G == G2) return _mm256_sub_pd(_mm256_mul_pd(d, k(kEng16)), fs);
    if constexpr (G == G3 || G == G5) return _mm256_sub_pd(_mm256_mul_pd(d, k(kEng12)), fs);
    if constexpr (G == G4) return _mm256_sub_pd(fs, _mm256_mul_pd(d, k(kEng12)));
    if constexpr (G == G6 || G == G8) return _mm256_mul_pd(d, k(kEngUnit));
    if constexpr (G == G7) return _mm256_mul_pd(d, k(kEng720));
    if constexpr (G == G9) return _mm256_mul_pd(_mm256_mul_pd(d, gain), k(kEngSound));
    if constexpr (G == G10 || G == G11) return _mm256_mul_pd(d, k(kEng32));
    if constexpr (G == G12) return _mm256_mul_pd(d, k(kEng892));
}

template <ConvGroup G>
KELMO_AVX2 Extremes to_engineering_avx2(double* values, const void* raw, int32_t n, double gain) {
    const auto* src = static_cast<const unsigned char*>(raw);
    const __m256d g = _mm256_set1_pd(gain);
    const __m256d four = _mm256_set1_pd(4.0);
    const __m256d eight = _mm256_set1_pd(8.0);
    __m256d at = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
    Lanes a = lanes_start(), b = lanes_start();
    int32_t i = 0;
    for (; n - i >= 8; i += 8) {
        __m128i lo, hi;
        if constexpr (kWide<G>) {
            lo = eng_int32<G>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + std::size_t(i) * 4)));
            hi = eng_int32<G>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + std::size_t(i) * 4 + 16)));
        } else {
            const __m256i x = eng_int16<G>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + std::size_t(i) * 2)));
            lo = _mm256_castsi256_si128(x);
            hi = _mm256_extracti128_si256(x, 1);
        }
        const __m256d v0 = eng_fp<G>(_mm256_cvtepi32_pd(lo), g);
        const __m256d v1 = eng_fp<G>(_mm256_cvtepi32_pd(hi), g);
        _mm256_storeu_pd(values + i, v0);
        _mm256_storeu_pd(values + i + 4, v1);
        lanes_step(a, v0, at);
        lanes_step(b, v1, _mm256_add_pd(at, four));
        at = _mm256_add_pd(at, eight);
    }
    Extremes e = merge(a, b);
    for (; i < n; ++i) {
        const double v = to_engineering<G>(load_at<Word<G>>(raw, i), gain);
        store_at<double>(values, i, v);
        e.step(v, i);
    }
    return e;
}

// ---- engineering to raw ------------------------------------------------------

template <ConvGroup G>
KELMO_AVX2_INLINE __m256d raw_fp(__m256d v, __m256d divisor) {
    using enum ConvGroup;
    const auto k = [](double c) KELMO_AVX2 { return _mm256_set1_pd(c); };
    if constexpr (G == G1) return _mm256_mul_pd(v, k(kRaw16));
    if constexpr (G == G2) return _mm256_add_pd(_mm256_mul_pd(v, k(kRaw16)), k(32768.0));
    if constexpr (G == G3 || G == G5) return _mm256_add_pd(_mm256_mul_pd(v, k(kRaw12)), k(2048.0));
    if constexpr (G == G4) return _mm256_sub_pd(k(2048.0), _mm256_mul_pd(v, k(kRaw12)));
    if constexpr (G == G6) return _mm256_mul_pd(v, k(kRaw10k));
    if constexpr (G == G7) return _mm256_mul_pd(v, k(kRaw720));
    if constexpr (G == G8) return _mm256_mul_pd(v, k(kRaw880));
    if constexpr (G == G9) return _mm256_div_pd(_mm256_mul_pd(v, k(32768.0)), divisor);
    if constexpr (G == G10 || G == G11) return _mm256_mul_pd(v, k(kRaw32));
    if constexpr (G == G12) return _mm256_mul_pd(v, k(kRaw892));
}

// Integer stage on the low 32 bits of four truncated values.
template <ConvGroup G>
KELMO_AVX2_INLINE __m128i raw_int(__m128i t) {
    if constexpr (G == ConvGroup::G3) return _mm_xor_si128(_mm_and_si128(t, _mm_set1_epi32(0x0FFF)), _mm_set1_epi32(0x0800));
    if constexpr (G == ConvGroup::G11) return _mm_srai_epi32(t, 8);
    return t;
}

template <ConvGroup G>
KELMO_AVX2 Extremes to_raw_avx2(const double* values, void* raw, int32_t n, double gain) {
    auto* dst = static_cast<unsigned char*>(raw);
    const double divisor = gain * 140.0;
    const __m256d div = _mm256_set1_pd(divisor);
    // Inside (-2^31 - 1, 2^31) the 32-bit truncation of the processor is
    // the truncation of the definition, and its low bits are the ones
    // stored. Steps with a value outside (or NaN) go through trunc_i64.
    const __m256d low = _mm256_set1_pd(-2147483649.0);
    const __m256d high = _mm256_set1_pd(2147483648.0);
    const __m256d four = _mm256_set1_pd(4.0);
    const __m256d eight = _mm256_set1_pd(8.0);
    __m256d at = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
    Lanes a = lanes_start(), b = lanes_start();
    int32_t i = 0;
    for (; n - i >= 8; i += 8) {
        const __m256d v0 = _mm256_loadu_pd(values + i);
        const __m256d v1 = _mm256_loadu_pd(values + i + 4);
        lanes_step(a, v0, at);
        lanes_step(b, v1, _mm256_add_pd(at, four));
        at = _mm256_add_pd(at, eight);
        const __m256d x0 = raw_fp<G>(v0, div);
        const __m256d x1 = raw_fp<G>(v1, div);
        const __m256d in0 = _mm256_and_pd(_mm256_cmp_pd(x0, low, _CMP_GT_OQ), _mm256_cmp_pd(x0, high, _CMP_LT_OQ));
        const __m256d in1 = _mm256_and_pd(_mm256_cmp_pd(x1, low, _CMP_GT_OQ), _mm256_cmp_pd(x1, high, _CMP_LT_OQ));
        if (_mm256_movemask_pd(_mm256_and_pd(in0, in1)) == 0xF) {
            const __m128i t0 = raw_int<G>(_mm256_cvttpd_epi32(x0));
            const __m128i t1 = raw_int<G>(_mm256_cvttpd_epi32(x1));
            if constexpr (kWide<G>) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + std::size_t(i) * 4), t0);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + std::size_t(i) * 4 + 16), t1);
            } else {
                const __m128i m = _mm_set1_epi32(0xFFFF);
                const __m128i w = _mm_packus_epi32(_mm_and_si128(t0, m), _mm_and_si128(t1, m));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + std::size_t(i) * 2), w);
            }
        } else {
            for (int32_t k = i; k < i + 8; ++k) store_at<Word<G>>(raw, k, to_raw<G>(load_at<double>(values, k), divisor));
        }
    }
    Extremes e = merge(a, b);
    for (; i < n; ++i) {
        const double v = load_at<double>(values, i);
        store_at<Word<G>>(raw, i, to_raw<G>(v, divisor));
        e.step(v, i);
    }
    return e;
}

// ---- extremes only -------------------------------------------------------------

KELMO_AVX2 Extremes scan_avx2(const double* values, int32_t n) {
    const __m256d four = _mm256_set1_pd(4.0);
    const __m256d eight = _mm256_set1_pd(8.0);
    __m256d at = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
    Lanes a = lanes_start(), b = lanes_start();
    int32_t i = 0;
    for (; n - i >= 8; i += 8) {
        lanes_step(a, _mm256_loadu_pd(values + i), at);
        lanes_step(b, _mm256_loadu_pd(values + i + 4), _mm256_add_pd(at, four));
        at = _mm256_add_pd(at, eight);
    }
    Extremes e = merge(a, b);
    for (; i < n; ++i) e.step(load_at<double>(values, i), i);
    return e;
}

template <ConvGroup G>
Extremes group_avx2(double* values, void* raw, int32_t n, bool toEngineering, double gain) {
    return toEngineering ? to_engineering_avx2<G>(values, raw, n, gain) : to_raw_avx2<G>(values, raw, n, gain);
}

}  // namespace

Extremes convert_avx2(ConvGroup g, double* values, void* raw, int32_t n, bool toEngineering, double gain) {
    using enum ConvGroup;
    switch (g) {
        case G1: return group_avx2<G1>(values, raw, n, toEngineering, gain);
        case G2: return group_avx2<G2>(values, raw, n, toEngineering, gain);
        case G3: return group_avx2<G3>(values, raw, n, toEngineering, gain);
        case G4: return group_avx2<G4>(values, raw, n, toEngineering, gain);
        case G5: return group_avx2<G5>(values, raw, n, toEngineering, gain);
        case G6: return group_avx2<G6>(values, raw, n, toEngineering, gain);
        case G7: return group_avx2<G7>(values, raw, n, toEngineering, gain);
        case G8: return group_avx2<G8>(values, raw, n, toEngineering, gain);
        case G9: return group_avx2<G9>(values, raw, n, toEngineering, gain);
        case G10: return group_avx2<G10>(values, raw, n, toEngineering, gain);
        case G11: return group_avx2<G11>(values, raw, n, toEngineering, gain);
        case G12: return group_avx2<G12>(values, raw, n, toEngineering, gain);
        case None: break;
    }
    return scan_avx2(values, n);
}

}  // namespace kelmo::conv

#endif  // KELMO_HAVE_AVX2_KERNEL
