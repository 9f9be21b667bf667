// The AVX2 kernel: conversion and extremes fused in one pass over the
// block, with the same IEEE operations in the same order as the scalar
// formulas of convert.h.
//
// Extremes are followed chunk by chunk. Inside a chunk only the largest and
// smallest candidates are kept, lane by lane: values (max_pd / min_pd,
// which never take a NaN) or, from raw words, integer keys (below). At the
// chunk's end they are reduced across the lanes. When the chunk's maximum
// is strictly beyond the running one it becomes the running one, with the
// first index in the chunk that holds an equal value: exactly the outcome
// of the strict element-by-element comparisons, which keep the first index
// of the block's extreme. Likewise for the minimum. The chunk's values are
// still in the first-level cache for that search, and on a signal the
// extremes soon stop moving. The samples past the last full step go
// through the scalar formulas and the scalar comparisons.
//
// No vector ever goes through memory other than the caller's buffers
// (unaligned loads and stores): some Windows compilers cannot align the
// stack to 32 bytes.
#include "core/convert.h"

#ifdef KELMO_HAVE_AVX2_KERNEL

#include <immintrin.h>

#include <cmath>
#include <utility>

#define KELMO_AVX2 __attribute__((target("avx2")))
#define KELMO_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace kelmo::conv {
namespace {

// The lanes of the group formulas (convert_lanes.h).
using V = __m256d;
#define KELMO_CONV_LANES KELMO_AVX2_INLINE
KELMO_AVX2_INLINE V set(double c) { return _mm256_set1_pd(c); }
KELMO_AVX2_INLINE V mul(V a, V b) { return _mm256_mul_pd(a, b); }
KELMO_AVX2_INLINE V add(V a, V b) { return _mm256_add_pd(a, b); }
KELMO_AVX2_INLINE V sub(V a, V b) { return _mm256_sub_pd(a, b); }
KELMO_AVX2_INLINE V div(V a, V b) { return _mm256_div_pd(a, b); }
#include "core/convert_lanes.h"
#undef KELMO_CONV_LANES

KELMO_AVX2_INLINE double lane0(__m256d v) { return _mm_cvtsd_f64(_mm256_castpd256_pd128(v)); }

KELMO_AVX2_INLINE double largest(__m256d v) {
    v = _mm256_max_pd(v, _mm256_permute2f128_pd(v, v, 1));
    return lane0(_mm256_max_pd(v, _mm256_permute_pd(v, 0x5)));
}

KELMO_AVX2_INLINE double smallest(__m256d v) {
    v = _mm256_min_pd(v, _mm256_permute2f128_pd(v, v, 1));
    return lane0(_mm256_min_pd(v, _mm256_permute_pd(v, 0x5)));
}

// First i in [from, to) with values[i] == x (+0 and -0 being equal). `to`
// - `from` is a multiple of 4 and x is one of those values.
KELMO_AVX2_INLINE int32_t first_equal(const double* values, int32_t from, int32_t to, double x) {
    const __m256d want = _mm256_set1_pd(x);
    for (int32_t i = from; i < to; i += 4) {
        const int hit = _mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(values + i), want, _CMP_EQ_OQ));
        if (hit != 0) return i + __builtin_ctz(static_cast<unsigned>(hit));
    }
    return from;
}

// Samples per chunk, a multiple of 16.
constexpr int32_t kChunk = 128;

// Runs step(i, v0, v1) for i = 0, 8, .. below `full` (a multiple of 8);
// the step converts samples i .. i+7 and hands back their values. Follows
// the extremes of values[0 .. full-1] in e. Engineering to raw and the
// scan of types without a conversion go this way.
template <class Step>
KELMO_AVX2_INLINE void run_chunks(const double* values, int32_t full, const Step& step, Extremes& e) {
    for (int32_t i = 0; i < full;) {
        const int32_t end = full - i > kChunk ? i + kChunk : full;
        __m256d hi0 = _mm256_set1_pd(e.max), hi1 = hi0;
        __m256d lo0 = _mm256_set1_pd(e.min), lo1 = lo0;
        for (int32_t j = i; j < end; j += 8) {
            __m256d v0, v1;
            step(j, v0, v1);
            hi0 = _mm256_max_pd(v0, hi0);
            lo0 = _mm256_min_pd(v0, lo0);
            hi1 = _mm256_max_pd(v1, hi1);
            lo1 = _mm256_min_pd(v1, lo1);
        }
        const double hi = largest(_mm256_max_pd(hi0, hi1));
        const double lo = smallest(_mm256_min_pd(lo0, lo1));
        if (hi > e.max) {
            e.max = hi;
            e.maxIndex = first_equal(values, i, end, hi);
        }
        if (lo < e.min) {
            e.min = lo;
            e.minIndex = first_equal(values, i, end, lo);
        }
        i = end;
    }
}

// ---- raw to engineering ------------------------------------------------------
//
// Sixteen 16-bit words or eight 32-bit words per step. Every group but the
// sound card turns a word into its value through an integer key and a
// monotonic function of it (non-decreasing; non-increasing for the
// complemented 12-bit group): s, u, the 12-bit field, L or L << 8. The
// extremes of a chunk's values are then the function of the extremes of its
// keys, found with integer max / min on the words, and the scalar formula
// turns those keys into exactly the values stored. The sound card's values
// s x g x c are monotonic in s too while the gain g is finite (falling for
// a negative gain); with an infinite or NaN gain they are compared as
// doubles (Keyed = false).

template <ConvGroup G>
KELMO_AVX2_INLINE __m256i v_key(__m256i w) {
    using enum ConvGroup;
    if constexpr (G == Signed12)
        return _mm256_xor_si256(_mm256_and_si256(w, _mm256_set1_epi16(0x0FFF)), _mm256_set1_epi16(0x0800));
    if constexpr (G == Offset12Inverted) return _mm256_and_si256(w, _mm256_set1_epi16(0x0FFF));
    if constexpr (G == Signed24In32) return _mm256_slli_epi32(w, 8);
    return w;
}

template <ConvGroup G>
KELMO_AVX2_INLINE __m256i v_key_max(__m256i a, __m256i b) {
    if constexpr (kWide<G>) return _mm256_max_epi32(a, b);
    if constexpr (kUnsigned16<G>) return _mm256_max_epu16(a, b);
    return _mm256_max_epi16(a, b);
}

template <ConvGroup G>
KELMO_AVX2_INLINE __m256i v_key_min(__m256i a, __m256i b) {
    if constexpr (kWide<G>) return _mm256_min_epi32(a, b);
    if constexpr (kUnsigned16<G>) return _mm256_min_epu16(a, b);
    return _mm256_min_epi16(a, b);
}

template <ConvGroup G>
KELMO_AVX2_INLINE __m256i key_lowest() {
    if constexpr (kWide<G>) return _mm256_set1_epi32(INT32_MIN);
    if constexpr (kUnsigned16<G>) return _mm256_setzero_si256();
    return _mm256_set1_epi16(INT16_MIN);
}

template <ConvGroup G>
KELMO_AVX2_INLINE __m256i key_highest() {
    if constexpr (kWide<G>) return _mm256_set1_epi32(INT32_MAX);
    if constexpr (kUnsigned16<G>) return _mm256_set1_epi16(-1);
    return _mm256_set1_epi16(INT16_MAX);
}

template <ConvGroup G, bool Max>
KELMO_AVX2_INLINE __m256i key_fold(__m256i a, __m256i b) {
    if constexpr (Max) return v_key_max<G>(a, b);
    return v_key_min<G>(a, b);
}

// The largest (Max) or smallest key of all lanes, in lane 0.
template <ConvGroup G, bool Max>
KELMO_AVX2_INLINE int32_t reduce_key(__m256i v) {
    v = key_fold<G, Max>(v, _mm256_permute2x128_si256(v, v, 1));
    v = key_fold<G, Max>(v, _mm256_shuffle_epi32(v, 0x4E));
    v = key_fold<G, Max>(v, _mm256_shuffle_epi32(v, 0xB1));
    if constexpr (!kWide<G>) v = key_fold<G, Max>(v, _mm256_shufflelo_epi16(v, 0xB1));
    // A 16-bit key is in the low half; key_word() keeps only that.
    return _mm256_cvtsi256_si32(v);
}

// The integer stage of eight samples from their keys.
template <ConvGroup G>
KELMO_AVX2_INLINE __m256i v_int16(__m128i key) {
    using enum ConvGroup;
    if constexpr (kUnsigned16<G>) return _mm256_cvtepu16_epi32(key);
    const __m256i s = _mm256_cvtepi16_epi32(key);
    if constexpr (G == Signed16Range10k) return _mm256_mullo_epi32(s, _mm256_set1_epi32(10000));
    if constexpr (G == Signed16Per1000) return _mm256_mullo_epi32(s, _mm256_set1_epi32(1000));
    if constexpr (G == Signed16Range2k) return _mm256_mullo_epi32(s, _mm256_set1_epi32(2000));
    return s;
}

// Values of eight samples from their int32 integer stage, stored at `out`.
template <ConvGroup G, bool Keyed>
KELMO_AVX2_INLINE void store_eight(double* out, __m256i ints, __m256d gain, __m256d& hi0, __m256d& hi1, __m256d& lo0,
                                   __m256d& lo1) {
    const __m256d v0 = v_eng_fp<G>(_mm256_cvtepi32_pd(_mm256_castsi256_si128(ints)), gain);
    const __m256d v1 = v_eng_fp<G>(_mm256_cvtepi32_pd(_mm256_extracti128_si256(ints, 1)), gain);
    _mm256_storeu_pd(out, v0);
    _mm256_storeu_pd(out + 4, v1);
    if constexpr (!Keyed) {
        hi0 = _mm256_max_pd(v0, hi0);
        lo0 = _mm256_min_pd(v0, lo0);
        hi1 = _mm256_max_pd(v1, hi1);
        lo1 = _mm256_min_pd(v1, lo1);
    }
}

template <ConvGroup G, bool Keyed>
KELMO_AVX2 Extremes to_engineering_avx2(double* values, const void* raw, int32_t n, double gain) {
    constexpr int32_t kStep = kWide<G> ? 8 : 16;
    const bool falling = G == ConvGroup::Offset12Inverted || (G == ConvGroup::Sound && gain < 0.0);
    const auto* src = static_cast<const unsigned char*>(raw);
    const __m256d g = _mm256_set1_pd(gain);
    const int32_t full = n - n % kStep;
    Extremes e;
    for (int32_t i = 0; i < full;) {
        const int32_t end = full - i > kChunk ? i + kChunk : full;
        __m256i keyHi = key_lowest<G>(), keyLo = key_highest<G>();
        __m256d hi0 = _mm256_set1_pd(e.max), hi1 = hi0;
        __m256d lo0 = _mm256_set1_pd(e.min), lo1 = lo0;
        for (int32_t j = i; j < end; j += kStep) {
            const __m256i key =
                v_key<G>(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + std::size_t(j) * sizeof(Word<G>))));
            if constexpr (Keyed) {
                keyHi = v_key_max<G>(keyHi, key);
                keyLo = v_key_min<G>(keyLo, key);
            }
            if constexpr (kWide<G>) {
                store_eight<G, Keyed>(values + j, key, g, hi0, hi1, lo0, lo1);
            } else {
                store_eight<G, Keyed>(values + j, v_int16<G>(_mm256_castsi256_si128(key)), g, hi0, hi1, lo0, lo1);
                store_eight<G, Keyed>(values + j + 8, v_int16<G>(_mm256_extracti128_si256(key, 1)), g, hi0, hi1, lo0,
                                      lo1);
            }
        }
        double top, bottom;
        if constexpr (Keyed) {
            top = to_engineering<G>(key_word<G>(reduce_key<G, true>(keyHi)), gain);
            bottom = to_engineering<G>(key_word<G>(reduce_key<G, false>(keyLo)), gain);
            if (falling) std::swap(top, bottom);
        } else {
            top = largest(_mm256_max_pd(hi0, hi1));
            bottom = smallest(_mm256_min_pd(lo0, lo1));
        }
        if (top > e.max) {
            e.max = top;
            e.maxIndex = first_equal(values, i, end, top);
        }
        if (bottom < e.min) {
            e.min = bottom;
            e.minIndex = first_equal(values, i, end, bottom);
        }
        i = end;
    }
    for (int32_t i = full; i < n; ++i) {
        const double v = to_engineering<G>(load_at<Word<G>>(raw, i), gain);
        store_at<double>(values, i, v);
        e.step(v, i);
    }
    return e;
}

// ---- engineering to raw ------------------------------------------------------

// Integer stage on the low 32 bits of four truncated values.
template <ConvGroup G>
KELMO_AVX2_INLINE __m128i v_raw_int(__m128i t) {
    if constexpr (G == ConvGroup::Signed12)
        return _mm_xor_si128(_mm_and_si128(t, _mm_set1_epi32(0x0FFF)), _mm_set1_epi32(0x0800));
    if constexpr (G == ConvGroup::Signed24In32) return _mm_srai_epi32(t, 8);
    return t;
}

template <ConvGroup G>
struct ToRaw {
    const double* values;
    unsigned char* dst;
    double divisor;
    __m256d div;

    KELMO_AVX2_INLINE void operator()(int32_t i, __m256d& v0, __m256d& v1) const {
        // The processor's 32-bit truncation is the truncation of the
        // definition for every x in (-2^31 - 1, 2^31), and its low bits are
        // the ones stored. Outside (and for NaN) it gives INT32_MIN, the
        // "integer indefinite": a step with that result anywhere goes through
        // trunc_i64 (a true -2^31 included, which only costs time).
        v0 = _mm256_loadu_pd(values + i);
        v1 = _mm256_loadu_pd(values + i + 4);
        const __m128i c0 = _mm256_cvttpd_epi32(v_raw_fp<G>(v0, div));
        const __m128i c1 = _mm256_cvttpd_epi32(v_raw_fp<G>(v1, div));
        const __m128i indefinite = _mm_set1_epi32(INT32_MIN);
        const __m128i odd = _mm_or_si128(_mm_cmpeq_epi32(c0, indefinite), _mm_cmpeq_epi32(c1, indefinite));
        if (_mm_testz_si128(odd, odd)) {
            const __m128i t0 = v_raw_int<G>(c0);
            const __m128i t1 = v_raw_int<G>(c1);
            if constexpr (kWide<G>) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + std::size_t(i) * 4), t0);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + std::size_t(i) * 4 + 16), t1);
            } else {
                const __m128i m = _mm_set1_epi32(0xFFFF);
                const __m128i w = _mm_packus_epi32(_mm_and_si128(t0, m), _mm_and_si128(t1, m));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + std::size_t(i) * 2), w);
            }
        } else {
            for (int32_t m = i; m < i + 8; ++m)
                store_at<Word<G>>(dst, m, to_raw<G>(load_at<double>(values, m), divisor));
        }
    }
};

template <ConvGroup G>
KELMO_AVX2 Extremes to_raw_avx2(const double* values, void* raw, int32_t n, double gain) {
    const double divisor = gain * kSoundFullScale;
    const int32_t full = n & ~7;
    Extremes e;
    run_chunks(values, full, ToRaw<G>{values, static_cast<unsigned char*>(raw), divisor, _mm256_set1_pd(divisor)}, e);
    for (int32_t i = full; i < n; ++i) {
        const double v = load_at<double>(values, i);
        store_at<Word<G>>(raw, i, to_raw<G>(v, divisor));
        e.step(v, i);
    }
    return e;
}

// ---- extremes only -------------------------------------------------------------

struct Load {
    const double* values;

    KELMO_AVX2_INLINE void operator()(int32_t i, __m256d& v0, __m256d& v1) const {
        v0 = _mm256_loadu_pd(values + i);
        v1 = _mm256_loadu_pd(values + i + 4);
    }
};

KELMO_AVX2 Extremes scan_avx2(const double* values, int32_t n) {
    const int32_t full = n & ~7;
    Extremes e;
    run_chunks(values, full, Load{values}, e);
    for (int32_t i = full; i < n; ++i) e.step(load_at<double>(values, i), i);
    return e;
}

template <ConvGroup G>
Extremes group_avx2(double* values, void* raw, int32_t n, bool toEngineering, double gain) {
    if (!toEngineering) return to_raw_avx2<G>(values, raw, n, gain);
    if (G == ConvGroup::Sound && !std::isfinite(gain)) return to_engineering_avx2<G, false>(values, raw, n, gain);
    return to_engineering_avx2<G, true>(values, raw, n, gain);
}

}  // namespace

Extremes convert_avx2(ConvGroup g, double* values, void* raw, int32_t n, bool toEngineering, double gain) {
    return with_group(
        g, [&]<ConvGroup G>() { return group_avx2<G>(values, raw, n, toEngineering, gain); },
        [&] { return scan_avx2(values, n); });
}

}  // namespace kelmo::conv

#endif  // KELMO_HAVE_AVX2_KERNEL
