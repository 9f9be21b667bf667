// Conversion between raw sample words and engineering values, with the
// block's extremes and the range check of the card type.
//
// Every card type that converts belongs to one of twelve formula groups,
// named by their raw word format and, where it is not +-5000, their range.
// A conversion runs in one of three kernels: the scalar one below, which is
// the reference, and an AVX2 and an AVX-512 one chosen at run time. All give
// the same bits, because they perform the same IEEE operations in the same
// order.
#pragma once

#include <cstdint>
#include <string>
#include <cstring>
#include <type_traits>

#include "core/cpu.h"
#include "core/numconv.h"

#ifdef KELMO_HAVE_AVX512_KERNELS
#define KELMO_HAVE_AVX512_CONVERT 1
#endif

namespace kelmo {

enum class ConvGroup : uint8_t {
    None = 0,          // no conversion: both buffers stay as they are
    Signed16,          // signed 16-bit, +-5000
    Offset16,          // unsigned 16-bit offset binary, +-5000
    Signed12,          // 12-bit two's complement in the low bits, +-5000
    Offset12Inverted,  // 12-bit offset binary, complemented, +-5000
    Offset12,          // 12-bit offset binary, +-5000
    Signed16Range10k,  // signed 16-bit, +-10000
    Signed16Per1000,   // signed 16-bit, 32752 codes = 1000
    Signed16Range2k,   // signed 16-bit, +-2000
    Sound,             // sound card, +-140 x input gain
    Signed32,          // signed 32-bit, +-5000
    Signed24In32,      // 24-bit two's complement in the low bits of 32, +-5000
    Signed32Range10k,  // signed 32-bit, +-10000
};

// Formula group of an effective card type (831 .. 859 already reduced).
ConvGroup conv_group(int32_t type);
// The groups whose raw words are 32 bits wide (all others: 16).
constexpr bool is_wide(ConvGroup g) {
    return g == ConvGroup::Signed32 || g == ConvGroup::Signed24In32 || g == ConvGroup::Signed32Range10k;
}
// Bytes of one raw word of a group, and of an effective card type.
constexpr unsigned raw_word_bytes(ConvGroup g) { return is_wide(g) ? 4u : 2u; }
inline unsigned raw_word_bytes(int32_t type) { return raw_word_bytes(conv_group(type)); }
// Range limit R of an effective card type: the block is in range when its
// maximum is <= R and its minimum >= -R.
double range_limit(int32_t type);

// What converting a card type's words takes: its formula group, its range
// limit and, for the sound group, the recording input's gain.
struct Conversion {
    ConvGroup group = ConvGroup::None;
    double rangeLimit = 4999.0;
    double gain = 0.0;
};

// toEngineering: raw -> values, else values -> raw. Converts n samples
// (none when n <= 0), writes the index of the first maximum / minimum
// where the extreme ever left its start value and the pointer is not null,
// and returns 1 when the block lies inside the range limit, else 0.
// Buffers must be valid for n elements when n > 0; they may overlap.
int convert_block(const Conversion& c, double* values, void* raw, int32_t n, bool toEngineering, int32_t* maxIndex,
                  int32_t* minIndex);

// Kernel selection, for tests and benchmarks. Auto is the run-time choice
// (KernelChooser: the faster of AVX-512 and AVX2 where the processor runs
// both, timed at the first use, or the one KELMO_KERNEL names). Forcing a
// kernel the processor cannot run takes the best one below it. Returns the
// previous setting.
using ConvertKernel = Kernel;
ConvertKernel convert_kernel_override(ConvertKernel kernel);
// The kernel a conversion runs now (never Auto): the setting above, met by
// the processor. Buffers that share memory always take the scalar one.
ConvertKernel convert_kernel_in_use();
// Why Auto runs the kernel it runs, in a sentence.
std::string convert_kernel_reason();
// Its name: "scalar", "avx2" or "avx512" ("auto" for Auto).
inline const char* convert_kernel_name(ConvertKernel kernel) { return kernel_name(kernel); }
// True when the processor (and the system) can run the AVX2 kernel.
bool convert_avx2_supported();
// True when the processor (and the system) can run the AVX-512 kernel.
bool convert_avx512_supported();

namespace conv {

// Start values of the running extremes.
inline constexpr double kMaxStart = -100001.0;
inline constexpr double kMinStart = 100001.0;

// Extremes of a block. An index of -1 means the extreme kept its start value.
struct Extremes {
    double max = kMaxStart;
    double min = kMinStart;
    int32_t maxIndex = -1;
    int32_t minIndex = -1;

    // One step of the running extremes: strict comparisons, so ties keep
    // the first index and NaN never becomes an extreme.
    void step(double v, int32_t i) {
        if (v > max) {
            max = v;
            maxIndex = i;
        }
        if (v < min) {
            min = v;
            minIndex = i;
        }
    }
};

// ---- factors --------------------------------------------------------------
// Raw word to value (kEng...) and value to raw word (kRaw...), by the word
// format and, where it is not +-5000, the range of the group.
inline constexpr double kEng16Bit = 0.152587890625;         // 10000 / 65536: +-5000 over 16 bits
inline constexpr double kEng12Bit = 2.44140625;             // 10000 / 4096: +-5000 over 12 bits
inline constexpr double kEngFraction16 = 3.0517578125e-05;  // 1 / 32768, after the range's factor
inline constexpr double kEngSigned16Per1000 = 3.053248656570591e-05;  // 1 / 32752, after the factor 1000
// The sound card's full scale at an input gain of 1.
inline constexpr double kSoundFullScale = 140.0;
inline constexpr double kEngSound = kSoundFullScale / 32768;
inline constexpr double kEng32Bit = 2.3283064365386963e-06;            // 10000 / 2^32: +-5000 over 32 bits
inline constexpr double kEngSigned32Range10k = 4.656612873077393e-06;  // 20000 / 2^32

inline constexpr double kRaw16Bit = 6.5536;               // 65536 / 10000
inline constexpr double kRaw12Bit = 0.4096;               // 4096 / 10000
inline constexpr double kRawSigned16Range10k = 3.2768;    // 32768 / 10000
inline constexpr double kRawSigned16Per1000 = 32.752;     // 32752 / 1000
inline constexpr double kRawSigned16Range2k = 16.384;     // 32768 / 2000
inline constexpr double kRaw32Bit = 429496.7296;          // 2^32 / 10000
inline constexpr double kRawSigned32Range10k = 214748.3648;  // 2^32 / 20000

// ---- the formulas, split into the stages the vector kernel shares ----------
//
// Raw to engineering: an integer stage (the word as the group reads it,
// always within int32) followed by a floating-point stage on its exact
// double. Engineering to raw: a floating-point stage, truncation toward
// zero (trunc_i64), an integer stage, and the low 16 or 32 bits stored.

template <ConvGroup G>
inline constexpr bool kWide = is_wide(G);

template <ConvGroup G>
using Word = std::conditional_t<kWide<G>, uint32_t, uint16_t>;

template <ConvGroup G>
inline constexpr bool kUnsigned16 =
    G == ConvGroup::Offset16 || G == ConvGroup::Signed12 || G == ConvGroup::Offset12Inverted ||
    G == ConvGroup::Offset12;

template <ConvGroup G>
inline int32_t eng_int(Word<G> w) {
    using enum ConvGroup;
    if constexpr (G == Signed32 || G == Signed32Range10k) {
        return static_cast<int32_t>(w);
    } else if constexpr (G == Signed24In32) {
        return static_cast<int32_t>(w << 8);
    } else if constexpr (kUnsigned16<G>) {
        const int32_t u = w;
        if constexpr (G == Signed12) return (u & 0x0FFF) ^ 0x0800;
        if constexpr (G == Offset12Inverted) return u & 0x0FFF;
        return u;
    } else {
        const int32_t s = static_cast<int16_t>(w);
        if constexpr (G == Signed16Range10k) return s * 10000;
        if constexpr (G == Signed16Per1000) return s * 1000;
        if constexpr (G == Signed16Range2k) return s * 2000;
        return s;
    }
}

template <ConvGroup G>
inline double eng_fp(double d, double gain) {
    using enum ConvGroup;
    if constexpr (G == Signed16) return d * kEng16Bit;
    if constexpr (G == Offset16) return d * kEng16Bit - 5000.0;
    if constexpr (G == Signed12 || G == Offset12) return d * kEng12Bit - 5000.0;
    if constexpr (G == Offset12Inverted) return 5000.0 - d * kEng12Bit;
    if constexpr (G == Signed16Range10k || G == Signed16Range2k) return d * kEngFraction16;
    if constexpr (G == Signed16Per1000) return d * kEngSigned16Per1000;
    if constexpr (G == Sound) return d * gain * kEngSound;
    if constexpr (G == Signed32 || G == Signed24In32) return d * kEng32Bit;
    if constexpr (G == Signed32Range10k) return d * kEngSigned32Range10k;
}

// soundDivisor is gain x kSoundFullScale, formed once per block (the sound
// group only).
template <ConvGroup G>
inline double raw_fp(double v, double soundDivisor) {
    using enum ConvGroup;
    if constexpr (G == Signed16) return v * kRaw16Bit;
    if constexpr (G == Offset16) return v * kRaw16Bit + 32768.0;
    if constexpr (G == Signed12 || G == Offset12) return v * kRaw12Bit + 2048.0;
    if constexpr (G == Offset12Inverted) return 2048.0 - v * kRaw12Bit;
    if constexpr (G == Signed16Range10k) return v * kRawSigned16Range10k;
    if constexpr (G == Signed16Per1000) return v * kRawSigned16Per1000;
    if constexpr (G == Signed16Range2k) return v * kRawSigned16Range2k;
    if constexpr (G == Sound) return v * 32768.0 / soundDivisor;
    if constexpr (G == Signed32 || G == Signed24In32) return v * kRaw32Bit;
    if constexpr (G == Signed32Range10k) return v * kRawSigned32Range10k;
}

template <ConvGroup G>
inline Word<G> raw_int(int64_t t) {
    using enum ConvGroup;
    if constexpr (G == Signed12) return static_cast<Word<G>>((t & 0x0FFF) ^ 0x0800);
    if constexpr (G == Signed24In32) return static_cast<uint32_t>(static_cast<int32_t>(static_cast<uint32_t>(t)) >> 8);
    return static_cast<Word<G>>(t);
}

// A word whose key is `key`, where the key is the word as a monotonic
// formula of the group reads it (the vector kernels' extremes of raw words):
// the inverse of the key stage of eng_int.
template <ConvGroup G>
inline Word<G> key_word(int32_t key) {
    if constexpr (G == ConvGroup::Signed12) return static_cast<Word<G>>(key ^ 0x0800);
    if constexpr (G == ConvGroup::Signed24In32) return static_cast<uint32_t>(key) >> 8;
    return static_cast<Word<G>>(key);
}

template <ConvGroup G>
inline double to_engineering(Word<G> w, double gain) {
    return eng_fp<G>(static_cast<double>(eng_int<G>(w)), gain);
}

template <ConvGroup G>
inline Word<G> to_raw(double v, double soundDivisor) {
    return raw_int<G>(trunc_i64(raw_fp<G>(v, soundDivisor)));
}

// Element access without alignment or aliasing assumptions: the host's
// buffers are plain memory of any alignment.
template <class T>
inline T load_at(const void* base, int32_t i) {
    T x;
    std::memcpy(&x, static_cast<const unsigned char*>(base) + static_cast<std::size_t>(i) * sizeof(T), sizeof(T));
    return x;
}
template <class T>
inline void store_at(void* base, int32_t i, T x) {
    std::memcpy(static_cast<unsigned char*>(base) + static_cast<std::size_t>(i) * sizeof(T), &x, sizeof(T));
}

// `group(...)` of the formula group g, with G as a template argument
// (`group.template operator()<G>()`, for a lambda template); `none()` for
// None. The one place that turns a group into a type: every kernel is
// written once per group, as a template.
template <class Group, class NoGroup>
decltype(auto) with_group(ConvGroup g, Group&& group, NoGroup&& none) {
    using enum ConvGroup;
    switch (g) {
        case Signed16: return group.template operator()<Signed16>();
        case Offset16: return group.template operator()<Offset16>();
        case Signed12: return group.template operator()<Signed12>();
        case Offset12Inverted: return group.template operator()<Offset12Inverted>();
        case Offset12: return group.template operator()<Offset12>();
        case Signed16Range10k: return group.template operator()<Signed16Range10k>();
        case Signed16Per1000: return group.template operator()<Signed16Per1000>();
        case Signed16Range2k: return group.template operator()<Signed16Range2k>();
        case Sound: return group.template operator()<Sound>();
        case Signed32: return group.template operator()<Signed32>();
        case Signed24In32: return group.template operator()<Signed24In32>();
        case Signed32Range10k: return group.template operator()<Signed32Range10k>();
        case None: break;
    }
    return none();
}

// A kernel converts n > 0 samples of group g in the given direction and
// returns the extremes of values[0 .. n-1] after the conversion. `gain` is
// the sound-card input gain (the sound group). None only scans the extremes.
Extremes convert_scalar(ConvGroup g, double* values, void* raw, int32_t n, bool toEngineering, double gain);
#ifdef KELMO_HAVE_AVX2_KERNEL
Extremes convert_avx2(ConvGroup g, double* values, void* raw, int32_t n, bool toEngineering, double gain);
#endif
#ifdef KELMO_HAVE_AVX512_CONVERT
Extremes convert_avx512(ConvGroup g, double* values, void* raw, int32_t n, bool toEngineering, double gain);
#endif

}  // namespace conv
}  // namespace kelmo
