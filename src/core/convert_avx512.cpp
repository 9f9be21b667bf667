// The AVX-512 kernel (F, BW, DQ and VL): the AVX2 kernel's plan (see
// convert_avx2.cpp) with eight doubles per vector and these differences:
//
//  - engineering to raw truncates to 64 bits (vcvttpd2qq), which is
//    trunc_i64 for every double: NaN and everything outside (-2^63, 2^63)
//    give INT64_MIN, the "integer indefinite", as the definition does. No
//    sample needs the scalar formula, and the words are the low 16 or 32
//    bits of the truncation, narrowed by the processor (vpmovqw, vpmovqd);
//  - the search for the first index of a chunk's extreme compares into a
//    mask register.
//
// Sixteen samples per step in both directions; the samples past the last
// full step go through the scalar formulas and the scalar comparisons.
// Vectors go through no memory but the caller's buffers.

// Some AVX-512 intrinsics start from a deliberately undefined vector, which
// GCC 12 reports as maybe uninitialised once they are inlined; this holds
// for the intrinsics' headers too, so it comes before any include.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "core/convert.h"

#ifdef KELMO_HAVE_AVX512_CONVERT

#include <immintrin.h>

#include <cmath>
#include <utility>

#define KELMO_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl")))
#define KELMO_AVX512_INLINE KELMO_AVX512 __attribute__((always_inline)) inline

namespace kelmo::conv {
namespace {

// The lanes of the group formulas (convert_lanes.h).
using V = __m512d;
#define KELMO_CONV_LANES KELMO_AVX512_INLINE
KELMO_AVX512_INLINE V set(double c) { return _mm512_set1_pd(c); }
KELMO_AVX512_INLINE V mul(V a, V b) { return _mm512_mul_pd(a, b); }
KELMO_AVX512_INLINE V add(V a, V b) { return _mm512_add_pd(a, b); }
KELMO_AVX512_INLINE V sub(V a, V b) { return _mm512_sub_pd(a, b); }
KELMO_AVX512_INLINE V div(V a, V b) { return _mm512_div_pd(a, b); }
#include "core/convert_lanes.h"
#undef KELMO_CONV_LANES

// The largest / smallest of eight lanes, none of them NaN.
KELMO_AVX512_INLINE double largest(__m512d v) {
    __m256d h = _mm256_max_pd(_mm512_castpd512_pd256(v), _mm512_extractf64x4_pd(v, 1));
    __m128d q = _mm_max_pd(_mm256_castpd256_pd128(h), _mm256_extractf128_pd(h, 1));
    return _mm_cvtsd_f64(_mm_max_pd(q, _mm_unpackhi_pd(q, q)));
}

KELMO_AVX512_INLINE double smallest(__m512d v) {
    __m256d h = _mm256_min_pd(_mm512_castpd512_pd256(v), _mm512_extractf64x4_pd(v, 1));
    __m128d q = _mm_min_pd(_mm256_castpd256_pd128(h), _mm256_extractf128_pd(h, 1));
    return _mm_cvtsd_f64(_mm_min_pd(q, _mm_unpackhi_pd(q, q)));
}

// First i in [from, to) with values[i] == x (+0 and -0 being equal). `to`
// - `from` is a multiple of 8 and x is one of those values.
KELMO_AVX512_INLINE int32_t first_equal(const double* values, int32_t from, int32_t to, double x) {
    const __m512d want = _mm512_set1_pd(x);
    for (int32_t i = from; i < to; i += 8) {
        const __mmask8 hit = _mm512_cmp_pd_mask(_mm512_loadu_pd(values + i), want, _CMP_EQ_OQ);
        if (hit != 0) return i + __builtin_ctz(static_cast<unsigned>(hit));
    }
    return from;
}

// Samples per chunk, a multiple of 16.
constexpr int32_t kChunk = 128;
constexpr int32_t kStep = 16;

// Folds a chunk's largest and smallest value into the running extremes.
KELMO_AVX512_INLINE void fold_chunk(const double* values, int32_t from, int32_t to, double top, double bottom,
                                    Extremes& e) {
    if (top > e.max) {
        e.max = top;
        e.maxIndex = first_equal(values, from, to, top);
    }
    if (bottom < e.min) {
        e.min = bottom;
        e.minIndex = first_equal(values, from, to, bottom);
    }
}

// Runs step(i, v0, v1) for i = 0, 16, .. below `full` (a multiple of 16);
// the step converts samples i .. i+15 and hands back their values. Follows
// the extremes of values[0 .. full-1] in e.
template <class Step>
KELMO_AVX512_INLINE void run_chunks(const double* values, int32_t full, const Step& step, Extremes& e) {
    for (int32_t i = 0; i < full;) {
        const int32_t end = full - i > kChunk ? i + kChunk : full;
        __m512d hi0 = _mm512_set1_pd(e.max), hi1 = hi0;
        __m512d lo0 = _mm512_set1_pd(e.min), lo1 = lo0;
        for (int32_t j = i; j < end; j += kStep) {
            __m512d v0, v1;
            step(j, v0, v1);
            // max_pd / min_pd keep their second operand when the first is
            // NaN: a NaN never gets into the candidates.
            hi0 = _mm512_max_pd(v0, hi0);
            lo0 = _mm512_min_pd(v0, lo0);
            hi1 = _mm512_max_pd(v1, hi1);
            lo1 = _mm512_min_pd(v1, lo1);
        }
        fold_chunk(values, i, end, largest(_mm512_max_pd(hi0, hi1)), smallest(_mm512_min_pd(lo0, lo1)), e);
        i = end;
    }
}

// ---- raw to engineering ------------------------------------------------------
//
// Keys as in the AVX2 kernel: sixteen of them per step, in a 256-bit
// vector for 16-bit words and a 512-bit one for 32-bit words.

template <bool Wide>
struct KeyVecOf {
    using type = __m256i;
};
template <>
struct KeyVecOf<true> {
    using type = __m512i;
};
template <ConvGroup G>
using KeyVec = typename KeyVecOf<kWide<G>>::type;

template <ConvGroup G>
KELMO_AVX512_INLINE KeyVec<G> load_keys(const unsigned char* p) {
    using enum ConvGroup;
    if constexpr (kWide<G>) {
        const __m512i w = _mm512_loadu_si512(p);
        if constexpr (G == Signed24In32) return _mm512_slli_epi32(w, 8);
        return w;
    } else {
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        if constexpr (G == Signed12)
            return _mm256_xor_si256(_mm256_and_si256(w, _mm256_set1_epi16(0x0FFF)), _mm256_set1_epi16(0x0800));
        if constexpr (G == Offset12Inverted) return _mm256_and_si256(w, _mm256_set1_epi16(0x0FFF));
        return w;
    }
}

template <ConvGroup G>
KELMO_AVX512_INLINE KeyVec<G> key_max(KeyVec<G> a, KeyVec<G> b) {
    if constexpr (kWide<G>) return _mm512_max_epi32(a, b);
    else if constexpr (kUnsigned16<G>) return _mm256_max_epu16(a, b);
    else return _mm256_max_epi16(a, b);
}

template <ConvGroup G>
KELMO_AVX512_INLINE KeyVec<G> key_min(KeyVec<G> a, KeyVec<G> b) {
    if constexpr (kWide<G>) return _mm512_min_epi32(a, b);
    else if constexpr (kUnsigned16<G>) return _mm256_min_epu16(a, b);
    else return _mm256_min_epi16(a, b);
}

template <ConvGroup G>
KELMO_AVX512_INLINE KeyVec<G> key_lowest() {
    if constexpr (kWide<G>) return _mm512_set1_epi32(INT32_MIN);
    else if constexpr (kUnsigned16<G>) return _mm256_setzero_si256();
    else return _mm256_set1_epi16(INT16_MIN);
}

template <ConvGroup G>
KELMO_AVX512_INLINE KeyVec<G> key_highest() {
    if constexpr (kWide<G>) return _mm512_set1_epi32(INT32_MAX);
    else if constexpr (kUnsigned16<G>) return _mm256_set1_epi16(-1);
    else return _mm256_set1_epi16(INT16_MAX);
}

template <ConvGroup G, bool Max>
KELMO_AVX512_INLINE __m128i key_fold16(__m128i a, __m128i b) {
    if constexpr (Max) return kUnsigned16<G> ? _mm_max_epu16(a, b) : _mm_max_epi16(a, b);
    return kUnsigned16<G> ? _mm_min_epu16(a, b) : _mm_min_epi16(a, b);
}

// The largest (Max) or smallest key of all lanes.
template <ConvGroup G, bool Max>
KELMO_AVX512_INLINE int32_t reduce_key(KeyVec<G> v) {
    if constexpr (kWide<G>) {
        return Max ? _mm512_reduce_max_epi32(v) : _mm512_reduce_min_epi32(v);
    } else {
        __m128i x = key_fold16<G, Max>(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        x = key_fold16<G, Max>(x, _mm_shuffle_epi32(x, 0x4E));
        x = key_fold16<G, Max>(x, _mm_shuffle_epi32(x, 0xB1));
        x = key_fold16<G, Max>(x, _mm_shufflelo_epi16(x, 0xB1));
        // A 16-bit key is in the low half; key_word() keeps only that.
        return _mm_cvtsi128_si32(x);
    }
}

// The integer stage of sixteen samples from their keys.
template <ConvGroup G>
KELMO_AVX512_INLINE __m512i v_int(KeyVec<G> key) {
    using enum ConvGroup;
    if constexpr (kWide<G>) {
        return key;
    } else if constexpr (kUnsigned16<G>) {
        return _mm512_cvtepu16_epi32(key);
    } else {
        const __m512i s = _mm512_cvtepi16_epi32(key);
        if constexpr (G == Signed16Range10k) return _mm512_mullo_epi32(s, _mm512_set1_epi32(10000));
        if constexpr (G == Signed16Per1000) return _mm512_mullo_epi32(s, _mm512_set1_epi32(1000));
        if constexpr (G == Signed16Range2k) return _mm512_mullo_epi32(s, _mm512_set1_epi32(2000));
        return s;
    }
}

template <ConvGroup G, bool Keyed>
KELMO_AVX512 Extremes to_engineering_avx512(double* values, const void* raw, int32_t n, double gain) {
    const bool falling = G == ConvGroup::Offset12Inverted || (G == ConvGroup::Sound && gain < 0.0);
    const auto* src = static_cast<const unsigned char*>(raw);
    const __m512d g = _mm512_set1_pd(gain);
    const int32_t full = n - n % kStep;
    Extremes e;
    for (int32_t i = 0; i < full;) {
        const int32_t end = full - i > kChunk ? i + kChunk : full;
        KeyVec<G> keyHi = key_lowest<G>(), keyLo = key_highest<G>();
        __m512d hi0 = _mm512_set1_pd(e.max), hi1 = hi0;
        __m512d lo0 = _mm512_set1_pd(e.min), lo1 = lo0;
        for (int32_t j = i; j < end; j += kStep) {
            const KeyVec<G> key = load_keys<G>(src + std::size_t(j) * sizeof(Word<G>));
            if constexpr (Keyed) {
                keyHi = key_max<G>(keyHi, key);
                keyLo = key_min<G>(keyLo, key);
            }
            const __m512i ints = v_int<G>(key);
            const __m512d v0 = v_eng_fp<G>(_mm512_cvtepi32_pd(_mm512_castsi512_si256(ints)), g);
            const __m512d v1 = v_eng_fp<G>(_mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(ints, 1)), g);
            _mm512_storeu_pd(values + j, v0);
            _mm512_storeu_pd(values + j + 8, v1);
            if constexpr (!Keyed) {
                hi0 = _mm512_max_pd(v0, hi0);
                lo0 = _mm512_min_pd(v0, lo0);
                hi1 = _mm512_max_pd(v1, hi1);
                lo1 = _mm512_min_pd(v1, lo1);
            }
        }
        double top, bottom;
        if constexpr (Keyed) {
            top = to_engineering<G>(key_word<G>(reduce_key<G, true>(keyHi)), gain);
            bottom = to_engineering<G>(key_word<G>(reduce_key<G, false>(keyLo)), gain);
            if (falling) std::swap(top, bottom);
        } else {
            top = largest(_mm512_max_pd(hi0, hi1));
            bottom = smallest(_mm512_min_pd(lo0, lo1));
        }
        fold_chunk(values, i, end, top, bottom, e);
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

template <ConvGroup G>
struct ToRaw {
    const double* values;
    unsigned char* dst;
    __m512d div;

    KELMO_AVX512_INLINE void operator()(int32_t i, __m512d& v0, __m512d& v1) const {
        v0 = _mm512_loadu_pd(values + i);
        v1 = _mm512_loadu_pd(values + i + 8);
        // trunc_i64 of the floating-point stage, eight samples each.
        const __m512i t0 = _mm512_cvttpd_epi64(v_raw_fp<G>(v0, div));
        const __m512i t1 = _mm512_cvttpd_epi64(v_raw_fp<G>(v1, div));
        if constexpr (kWide<G>) {
            // The low 32 bits of each, then the integer stage.
            __m512i w = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi64_epi32(t0)),
                                           _mm512_cvtepi64_epi32(t1), 1);
            if constexpr (G == ConvGroup::Signed24In32) w = _mm512_srai_epi32(w, 8);
            _mm512_storeu_si512(dst + std::size_t(i) * 4, w);
        } else {
            // The low 16 bits of each; the 12-bit two's complement group's
            // integer stage depends on those bits alone.
            __m256i w = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm512_cvtepi64_epi16(t0)),
                                                _mm512_cvtepi64_epi16(t1), 1);
            if constexpr (G == ConvGroup::Signed12)
                w = _mm256_xor_si256(_mm256_and_si256(w, _mm256_set1_epi16(0x0FFF)), _mm256_set1_epi16(0x0800));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + std::size_t(i) * 2), w);
        }
    }
};

template <ConvGroup G>
KELMO_AVX512 Extremes to_raw_avx512(const double* values, void* raw, int32_t n, double gain) {
    const double divisor = gain * kSoundFullScale;
    const int32_t full = n - n % kStep;
    Extremes e;
    run_chunks(values, full, ToRaw<G>{values, static_cast<unsigned char*>(raw), _mm512_set1_pd(divisor)}, e);
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

    KELMO_AVX512_INLINE void operator()(int32_t i, __m512d& v0, __m512d& v1) const {
        v0 = _mm512_loadu_pd(values + i);
        v1 = _mm512_loadu_pd(values + i + 8);
    }
};

KELMO_AVX512 Extremes scan_avx512(const double* values, int32_t n) {
    const int32_t full = n - n % kStep;
    Extremes e;
    run_chunks(values, full, Load{values}, e);
    for (int32_t i = full; i < n; ++i) e.step(load_at<double>(values, i), i);
    return e;
}

template <ConvGroup G>
Extremes group_avx512(double* values, void* raw, int32_t n, bool toEngineering, double gain) {
    if (!toEngineering) return to_raw_avx512<G>(values, raw, n, gain);
    if (G == ConvGroup::Sound && !std::isfinite(gain)) return to_engineering_avx512<G, false>(values, raw, n, gain);
    return to_engineering_avx512<G, true>(values, raw, n, gain);
}

}  // namespace

Extremes convert_avx512(ConvGroup g, double* values, void* raw, int32_t n, bool toEngineering, double gain) {
    return with_group(
        g, [&]<ConvGroup G>() { return group_avx512<G>(values, raw, n, toEngineering, gain); },
        [&] { return scan_avx512(values, n); });
}

}  // namespace kelmo::conv

#endif  // KELMO_HAVE_AVX512_CONVERT
