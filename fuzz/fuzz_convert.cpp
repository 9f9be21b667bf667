// convert over every card type, both directions, arbitrary words and
// doubles (NaN, infinities, huge values), buffers that may share memory.
//
// Checks: nothing is written outside the n elements of either buffer, the
// direction's input is left alone, a code without a conversion changes
// nothing, the extremes and the result follow the documented scan of the
// values, raw words give finite values, and each vector kernel (AVX2,
// AVX-512) gives the scalar kernel's bits.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sources/sound/caps.h"
#include "sources/sound/state.h"
#include "core/card_type.h"
#include "core/convert.h"
#include "core/share_block.h"
#include "kelmo.h"

namespace {

using namespace kelmo;

// Codes worth picking by index: one or more of every group, the aliases,
// the neighbours of the alias range, and codes without a conversion.
constexpr int32_t kCodes[] = {123, 602, 603, 616, 632, 653, 806, 706, 720, 880, 800, 124, 891, 890, 892,
                              801, 831, 859, 830, 860, 861, 863, 688, 666, 829, 886, 0,   -801, -123, 747,
                              2147483647, -2147483647 - 1};

constexpr std::size_t kGuard = 64;  // bytes on either side of each buffer
constexpr unsigned char kFill = 0xA5;

struct Buffers {
    // One allocation: [guard | values | guard | raw | guard], or, when the
    // buffers share memory, raw starts `offset` bytes into values.
    std::vector<unsigned char> mem;
    double* values = nullptr;
    void* raw = nullptr;
    std::size_t valuesAt = 0, rawAt = 0, rawBytes = 0, valueBytes = 0;
};

void fail(const char* what) {
    std::fprintf(stderr, "fuzz convert: %s\n", what);
    std::abort();
}

// Every byte outside the two buffers still holds the fill.
bool guards_intact(const Buffers& b) {
    for (std::size_t i = 0; i < b.mem.size(); ++i) {
        const bool inValues = i >= b.valuesAt && i < b.valuesAt + b.valueBytes;
        const bool inRaw = i >= b.rawAt && i < b.rawAt + b.rawBytes;
        if (!inValues && !inRaw && b.mem[i] != kFill) return false;
    }
    return true;
}

Buffers make_buffers(std::size_t n, std::size_t wordBytes, bool shared, std::size_t offset,
                     const std::vector<unsigned char>& content) {
    Buffers b;
    b.valueBytes = n * sizeof(double);
    b.rawBytes = n * wordBytes;
    if (shared) {
        const std::size_t span = std::max(b.valueBytes, offset + b.rawBytes);
        b.mem.assign(kGuard + span + kGuard, kFill);
        b.valuesAt = kGuard;
        b.rawAt = kGuard + offset;
    } else {
        b.mem.assign(kGuard + b.valueBytes + kGuard + b.rawBytes + kGuard, kFill);
        b.valuesAt = kGuard;
        b.rawAt = kGuard + b.valueBytes + kGuard;
    }
    // The inputs: the values first, then the raw words (where they share
    // memory the later copy wins, as a host's buffer would hold it).
    std::size_t at = 0;
    for (std::size_t i = 0; i < b.valueBytes; ++i, ++at) b.mem[b.valuesAt + i] = at < content.size() ? content[at] : 0;
    for (std::size_t i = 0; i < b.rawBytes; ++i, ++at) b.mem[b.rawAt + i] = at < content.size() ? content[at] : 0;
    b.values = reinterpret_cast<double*>(b.mem.data() + b.valuesAt);
    b.raw = b.mem.data() + b.rawAt;
    return b;
}

struct Outcome {
    int result;
    int maxIndex, minIndex;
    std::vector<unsigned char> mem;
};

Outcome run(int32_t code, Buffers b, int32_t n, int direction, bool indexes, bool sameIndex) {
    // The copy's own memory.
    b.values = reinterpret_cast<double*>(b.mem.data() + b.valuesAt);
    b.raw = b.mem.data() + b.rawAt;
    Outcome o;
    o.maxIndex = o.minIndex = -7;
    int* maxp = indexes ? &o.maxIndex : nullptr;
    int* minp = indexes ? (sameIndex ? &o.maxIndex : &o.minIndex) : nullptr;
    o.result = convert(code, b.values, b.raw, n, direction, maxp, minp);
    o.mem = std::move(b.mem);
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const uint8_t pick = in.ConsumeIntegral<uint8_t>();
    const int32_t code = pick < std::size(kCodes) * 4 ? kCodes[pick % std::size(kCodes)] : in.ConsumeIntegral<int32_t>();
    const int direction = in.ConsumeIntegral<uint8_t>() % 3 == 0 ? 0 : 1;  // any non-zero is raw to engineering
    const uint8_t flags = in.ConsumeIntegral<uint8_t>();
    const bool indexes = flags & 1, sameIndex = flags & 2, shared = flags & 4, negativeN = flags & 8;
    const std::size_t offset = in.ConsumeIntegralInRange<std::size_t>(0, 64);
    double gain = 1.0;
    if (flags & 16) gain = in.ConsumeFloatingPoint<double>();
    if (flags & 32) {
        uint64_t bits = in.ConsumeIntegral<uint64_t>();
        std::memcpy(&gain, &bits, sizeof gain);
    }
    sound::process_state().inputGain = gain;

    const int32_t type = reduce_code(code);
    const ConvGroup group = conv_group(type);
    const std::size_t wordBytes = is_wide(group) ? 4 : 2;
    const std::vector<unsigned char> content = in.ConsumeRemainingBytes<unsigned char>();
    const std::size_t perSample = direction ? wordBytes : sizeof(double);
    const std::size_t count = std::min<std::size_t>(content.size() / perSample + (flags & 64 ? 1 : 0), 4096);
    // The content fills the buffer the direction reads: the values start
    // as zeros when raw words are converted.
    std::vector<unsigned char> ordered;
    if (direction) {
        ordered.assign(count * sizeof(double), 0);
        ordered.insert(ordered.end(), content.begin(), content.end());
    } else {
        ordered = content;
    }
    const int32_t n = negativeN ? -static_cast<int32_t>(count) : static_cast<int32_t>(count);

    const Buffers input = make_buffers(count, wordBytes, shared, offset, ordered);

    // Null buffers with samples to convert: failure, nothing touched.
    if (flags & 128) {
        int mx = -7, mn = -7;
        if (convert(code, nullptr, input.raw, 1, direction, &mx, &mn) != 0 || mx != -7 || mn != -7)
            fail("a null values buffer was not refused");
        if (convert(code, input.values, nullptr, 1, direction, &mx, &mn) != 0 || mx != -7 || mn != -7)
            fail("a null raw buffer was not refused");
    }

    convert_kernel_override(ConvertKernel::Scalar);
    const Outcome scalar = run(code, input, n, direction, indexes, sameIndex);
    if (scalar.result != 0 && scalar.result != 1) fail("result neither 0 nor 1");
    // Each vector kernel (one the processor lacks runs the best one below it).
    for (ConvertKernel kernel : {ConvertKernel::Avx2, ConvertKernel::Avx512}) {
        convert_kernel_override(kernel);
        const Outcome vector = run(code, input, n, direction, indexes, sameIndex);
        if (scalar.result != vector.result || scalar.maxIndex != vector.maxIndex ||
            scalar.minIndex != vector.minIndex || scalar.mem != vector.mem)
            fail(kernel == ConvertKernel::Avx2 ? "the AVX2 kernel disagrees with the scalar one"
                                               : "the AVX-512 kernel disagrees with the scalar one");
    }
    convert_kernel_override(ConvertKernel::Auto);

    Buffers after = input;
    after.mem = scalar.mem;
    if (!guards_intact(after)) fail("written outside the buffers");

    const bool converts = n > 0 && group != ConvGroup::None;
    if (!converts && after.mem != input.mem) fail("buffers changed without a conversion");
    if (converts && !shared) {
        // The direction's input is read, never written.
        const bool same = direction
            ? std::memcmp(after.mem.data() + after.rawAt, input.mem.data() + input.rawAt, after.rawBytes) == 0
            : std::memcmp(after.mem.data() + after.valuesAt, input.mem.data() + input.valuesAt, after.valueBytes) == 0;
        if (!same) fail("the input buffer was written");
    }

    // The documented scan over the values as they are after the call.
    const int32_t m = n > 0 ? n : 0;
    const bool gainBounded = std::fabs(gain) < 1e300;
    double mx = -100001.0, mn = 100001.0;
    int mxi = -1, mni = -1;
    for (int32_t i = 0; i < m; ++i) {
        double v;
        std::memcpy(&v, after.mem.data() + after.valuesAt + std::size_t(i) * 8, 8);
        if (direction && converts && !shared && !std::isfinite(v) && (group != ConvGroup::Sound || gainBounded))
            fail("a raw word gave a value that is not finite");
        if (v > mx) mx = v, mxi = i;
        if (v < mn) mn = v, mni = i;
    }
    const double r = range_limit(type);
    if (scalar.result != ((mx <= r && mn >= -r) ? 1 : 0)) fail("the result does not follow the extremes");
    if (indexes) {
        if (sameIndex) {
            const int last = std::max(mxi, mni);
            const int expect = last >= 0 ? last : -7;
            if (scalar.maxIndex != expect) fail("the shared index is not the last one written");
        } else {
            if (scalar.maxIndex != (mxi >= 0 ? mxi : -7)) fail("maxIndex");
            if (scalar.minIndex != (mni >= 0 ? mni : -7)) fail("minIndex");
        }
    }
    return 0;
}
