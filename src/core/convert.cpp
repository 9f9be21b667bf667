#include "core/convert.h"

#include <atomic>

#include "core/card_types.h"

namespace kelmo {

ConvGroup conv_group(int32_t t) { return cards::card_type(t).conv; }

double range_limit(int32_t t) { return cards::card_type(t).rangeLimit; }

namespace conv {
namespace {

Extremes scan(const double* values, int32_t n) {
    Extremes e;
    for (int32_t i = 0; i < n; ++i) e.step(load_at<double>(values, i), i);
    return e;
}

template <ConvGroup G>
Extremes scalar_group(double* values, void* raw, int32_t n, bool toEngineering, double gain) {
    // One pass for the conversion, one for the extremes. Element access
    // goes through memcpy, so overlapping buffers behave as the element
    // order says.
    if (toEngineering) {
        for (int32_t i = 0; i < n; ++i) store_at<double>(values, i, to_engineering<G>(load_at<Word<G>>(raw, i), gain));
    } else {
        const double divisor = gain * conv::kSoundFullScale;
        for (int32_t i = 0; i < n; ++i) store_at<Word<G>>(raw, i, to_raw<G>(load_at<double>(values, i), divisor));
    }
    return scan(values, n);
}

}  // namespace

Extremes convert_scalar(ConvGroup g, double* values, void* raw, int32_t n, bool toEngineering, double gain) {
    return with_group(
        g, [&]<ConvGroup G>() { return scalar_group<G>(values, raw, n, toEngineering, gain); },
        [&] { return scan(values, n); });
}

}  // namespace conv

namespace {

std::atomic<int> g_kernelOverride{static_cast<int>(ConvertKernel::Auto)};

// Byte ranges [a, a + na) and [b, b + nb) share a byte.
bool overlap(const void* a, std::size_t na, const void* b, std::size_t nb) {
    const auto pa = reinterpret_cast<std::uintptr_t>(a);
    const auto pb = reinterpret_cast<std::uintptr_t>(b);
    return pa < pb + nb && pb < pa + na;
}

}  // namespace

bool convert_avx2_supported() { return cpu_has_avx2(); }

bool convert_avx512_supported() {
#ifdef KELMO_HAVE_AVX512_CONVERT
    return cpu_has_avx512();
#else
    return false;
#endif
}

namespace {

// 16384 16-bit words to values, by the kernel asked for.
void convert_trial(Kernel k) {
    static int16_t raw[16384];
    static double values[16384];
    constexpr int32_t n = 16384;
#ifdef KELMO_HAVE_AVX512_CONVERT
    if (k == Kernel::Avx512) {
        conv::convert_avx512(ConvGroup::Signed16, values, raw, n, true, 1.0);
        return;
    }
#endif
#ifdef KELMO_HAVE_AVX2_KERNEL
    if (k == Kernel::Avx2) {
        conv::convert_avx2(ConvGroup::Signed16, values, raw, n, true, 1.0);
        return;
    }
#endif
    conv::convert_scalar(ConvGroup::Signed16, values, raw, n, true, 1.0);
}

KernelChooser& convert_chooser() {
#ifdef KELMO_HAVE_AVX512_CONVERT
    static KernelChooser c("conversion", true, convert_trial);
#else
    static KernelChooser c("conversion", false, convert_trial);
#endif
    return c;
}

}  // namespace

ConvertKernel convert_kernel_in_use() {
    return convert_chooser().choose(static_cast<ConvertKernel>(g_kernelOverride.load(std::memory_order_relaxed)));
}

std::string convert_kernel_reason() { return convert_chooser().why(); }

ConvertKernel convert_kernel_override(ConvertKernel kernel) {
    return static_cast<ConvertKernel>(g_kernelOverride.exchange(static_cast<int>(kernel)));
}

int convert_block(const Conversion& c, double* values, void* raw, int32_t n, bool toEngineering, int32_t* maxIndex,
                  int32_t* minIndex) {
    const ConvGroup group = c.group;
    conv::Extremes e;
    if (n > 0) {
        const double gain = c.gain;
        const std::size_t count = static_cast<std::size_t>(n);
        const std::size_t wordBytes = is_wide(group) ? 4 : 2;
        // The vector kernel reads ahead of the element order, so buffers
        // that share memory take the element-by-element reference.
        const bool shared = group != ConvGroup::None && overlap(values, count * sizeof(double), raw, count * wordBytes);
        const ConvertKernel kernel = shared ? ConvertKernel::Scalar : convert_kernel_in_use();
#ifdef KELMO_HAVE_AVX512_CONVERT
        if (kernel == ConvertKernel::Avx512) {
            e = conv::convert_avx512(group, values, raw, n, toEngineering, gain);
        } else
#endif
#ifdef KELMO_HAVE_AVX2_KERNEL
        if (kernel == ConvertKernel::Avx2) {
            e = conv::convert_avx2(group, values, raw, n, toEngineering, gain);
        } else
#endif
        {
            (void)kernel;
            e = conv::convert_scalar(group, values, raw, n, toEngineering, gain);
        }
    }
    // The running indexes are written as the extremes move; the last write
    // is the one of the extreme that moved last (the minimum on a tie).
    // When both pointers name the same int, that one is what remains.
    const bool maxFirst = e.maxIndex <= e.minIndex;
    if (maxFirst && maxIndex && e.maxIndex >= 0) *maxIndex = e.maxIndex;
    if (minIndex && e.minIndex >= 0) *minIndex = e.minIndex;
    if (!maxFirst && maxIndex && e.maxIndex >= 0) *maxIndex = e.maxIndex;
    const double r = c.rangeLimit;
    return (e.max <= r && e.min >= -r) ? 1 : 0;
}

}  // namespace kelmo
