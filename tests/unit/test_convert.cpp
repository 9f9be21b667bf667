// convert: formulas of every group, extremes, range check, the kernel
// choice, and the agreement of the vector kernels with the scalar one.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "sources/sound/caps.h"
#include "sources/sound/state.h"
#include "core/convert.h"
#include "fixture.h"

namespace kelmo::test {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class Convert : public FakeTest {
protected:
    ~Convert() override { convert_kernel_override(ConvertKernel::Auto); }

    // Raw to engineering of 16-bit words; returns the values.
    std::vector<double> eng16(int type, std::vector<uint16_t> w, int* result = nullptr) {
        std::vector<double> v(w.size(), -1.0);
        const int r = convert(type, v.data(), w.data(), int(w.size()), 1, nullptr, nullptr);
        if (result) *result = r;
        return v;
    }
    std::vector<double> eng32(int type, std::vector<uint32_t> w) {
        std::vector<double> v(w.size(), -1.0);
        convert(type, v.data(), w.data(), int(w.size()), 1, nullptr, nullptr);
        return v;
    }
    template <class W>
    std::vector<W> raw(int type, std::vector<double> v, int* result = nullptr) {
        std::vector<W> w(v.size(), W(0x5A5A5A5A));
        const int r = convert(type, v.data(), w.data(), int(v.size()), 0, nullptr, nullptr);
        if (result) *result = r;
        return w;
    }
};

using W16 = std::vector<uint16_t>;
using W32 = std::vector<uint32_t>;
using V = std::vector<double>;

TEST_F(Convert, RawToEngineeringPerGroup) {
    int r = -1;
    EXPECT_EQ(eng16(602, {0x8000, 0x7FFF, 0x0001}, &r), (V{-5000.0, 4999.847412109375, 0.152587890625}));
    EXPECT_EQ(r, 0);  // touches negative full scale
    EXPECT_EQ(eng16(616, {0x0000, 0x8000, 0xFFFF}), (V{-5000.0, 0.0, 4999.847412109375}));
    // 12-bit two's complement: only the low 12 bits count.
    EXPECT_EQ(eng16(632, {0x0800, 0xF800, 0x07FF, 0x0000}), (V{-5000.0, -5000.0, 4997.55859375, 0.0}));
    // Complemented offset binary: code 0 is +full scale.
    EXPECT_EQ(eng16(653, {0x0000, 0x0FFF, 0xF000}), (V{5000.0, -4997.55859375, 5000.0}));
    // The 806 family does not mask the word: 0x1000 is already out of range.
    EXPECT_EQ(eng16(806, {0x0000, 0x0800, 0x1000}, &r), (V{-5000.0, 0.0, 5000.0}));
    EXPECT_EQ(r, 0);
    EXPECT_EQ(eng16(801, {0x8000, 0x4000, 0x0001}, &r), (V{-10000.0, 5000.0, 10000.0 / 32768}));
    EXPECT_EQ(r, 0);
    EXPECT_EQ(eng16(880, {0x4000, 0x8000}), (V{1000.0, -2000.0}));
    const V v720 = eng16(720, {0x7FF0, 0x8000}, &r);  // 32752 codes are 1000
    EXPECT_NEAR(v720[0], 1000.0, 1e-12);
    EXPECT_NEAR(v720[1], -1000.48852, 1e-5);
    EXPECT_EQ(r, 1);
    sound::process_state().inputGain = 2.0;
    EXPECT_EQ(eng16(800, {0x4000, 0xC000}), (V{140.0, -140.0}));

    EXPECT_EQ(eng32(124, {0x80000000u, 0x40000000u}), (V{-5000.0, 2500.0}));
    EXPECT_EQ(eng32(891, {0x7FFFFFFFu}), (V{2147483647 * 2.3283064365386963e-06}));
    // 24 bits in 32: the high byte is ignored.
    EXPECT_EQ(eng32(890, {0x00800000u, 0xAB800000u, 0x00400000u, 0xFF7FFFFFu}),
              (V{-5000.0, -5000.0, 2500.0, 0x7FFFFF00 * 2.3283064365386963e-06}));
    EXPECT_EQ(eng32(892, {0x80000000u, 0x20000000u}), (V{-10000.0, 2500.0}));
}

TEST_F(Convert, EngineeringToRawPerGroup) {
    // t(39321.6) = 39321: no saturation, the low 16 bits wrap.
    EXPECT_EQ(raw<uint16_t>(602, {6000, -5000, 4999.9, -0.1}), (W16{0x9999, 0x8000, 0x7FFF, 0x0000}));
    EXPECT_EQ(raw<uint16_t>(616, {-5000, 0, 4999.9}), (W16{0x0000, 0x8000, 0xFFFF}));
    EXPECT_EQ(raw<uint16_t>(632, {-5000, 4999, 0}), (W16{0x0800, 0x07FF, 0x0000}));
    EXPECT_EQ(raw<uint16_t>(653, {5000, -5000, 0}), (W16{0x0000, 0x1000, 0x0800}));
    EXPECT_EQ(raw<uint16_t>(806, {-5000, 5000}), (W16{0x0000, 0x1000}));
    EXPECT_EQ(raw<uint16_t>(801, {10000, -9998}), (W16{0x8000, 0x8007}));
    EXPECT_EQ(raw<uint16_t>(720, {1000, -1000}), (W16{0x7FF0, 0x8010}));
    EXPECT_EQ(raw<uint16_t>(880, {1999.9, -2000}), (W16{0x7FFE, 0x8000}));
    sound::process_state().inputGain = 2.0;
    EXPECT_EQ(raw<uint16_t>(800, {140, -70}), (W16{0x4000, 0xE000}));

    // 32-bit groups keep the low 32 bits of the 64-bit truncation.
    EXPECT_EQ(raw<uint32_t>(124, {-5000, 6000, 2500}), (W32{0x80000000u, 0x99999999u, 0x40000000u}));
    EXPECT_EQ(raw<uint32_t>(892, {20000, -15000}), (W32{0x00000000u, 0x40000000u}));
    // Shifted right arithmetically: -5000 and +5000 (wrapped) are both 24-bit -2^23.
    const W32 w890 = raw<uint32_t>(890, {-5000, 5000, 2500});
    EXPECT_EQ(w890, (W32{0xFF800000u, 0xFF800000u, 0x00400000u}));
    EXPECT_EQ(eng32(890, w890), (V{-5000.0, -5000.0, 2500.0}));

    // NaN, infinities and values beyond int64 truncate to INT64_MIN: low bits 0.
    EXPECT_EQ(raw<uint16_t>(602, {kNaN, kInf, -kInf, 1e300}), (W16{0, 0, 0, 0}));
    EXPECT_EQ(raw<uint16_t>(616, {kNaN, 1e19}), (W16{0, 0}));
    EXPECT_EQ(raw<uint16_t>(632, {kNaN}), (W16{0x0800}));
    EXPECT_EQ(raw<uint32_t>(890, {kNaN, 1e30}), (W32{0, 0}));
    // Gain 0: v * 32768 / 0 is infinite or NaN.
    sound::process_state().inputGain = 0.0;
    EXPECT_EQ(raw<uint16_t>(800, {1, 0, -1}), (W16{0, 0, 0}));
}

TEST_F(Convert, ExtremesAndRange) {
    int mx = -7, mn = -7;
    // First index of each extreme; NaN never counts.
    V v{kNaN, 3, -2, 3, kNaN, -2, 1};
    std::vector<uint16_t> w(v.size());
    EXPECT_EQ(convert(602, v.data(), w.data(), int(v.size()), 0, &mx, &mn), 1);
    EXPECT_EQ(mx, 1);
    EXPECT_EQ(mn, 2);

    // An index whose extreme never moves is not written.
    V low(20, -200000.0);
    w.assign(20, 0);
    mx = mn = -7;
    EXPECT_EQ(convert(602, low.data(), w.data(), 20, 0, &mx, &mn), 0);
    EXPECT_EQ(mx, -7);
    EXPECT_EQ(mn, 0);
    // The start values are -100001 and 100001.
    V nearStart{-100000.5, -200000};
    EXPECT_EQ(convert(602, nearStart.data(), w.data(), 2, 0, &mx, &mn), 0);
    EXPECT_EQ(mx, 0);
    EXPECT_EQ(mn, 1);
    nearStart = {100000.5, 200000};
    EXPECT_EQ(convert(602, nearStart.data(), w.data(), 2, 0, &mx, &mn), 0);
    EXPECT_EQ(mx, 1);
    EXPECT_EQ(mn, 0);

    mx = mn = -7;
    EXPECT_EQ(convert(602, nullptr, nullptr, 0, 1, &mx, &mn), 1);
    EXPECT_EQ(convert(602, nullptr, nullptr, -3, 0, &mx, &mn), 1);
    EXPECT_EQ(mx, -7);
    EXPECT_EQ(mn, -7);

    // Limits are inclusive and per type; 831 .. 859 are reduced, negatives are not.
    V edge{9998, -9998};
    w.assign(2, 0);
    EXPECT_EQ(convert(831, edge.data(), w.data(), 2, 0, nullptr, nullptr), 1);
    EXPECT_EQ(w, (W16{0x7FF9, 0x8007}));
    w.assign(2, 0x1234);
    EXPECT_EQ(convert(-801, edge.data(), w.data(), 2, 0, nullptr, nullptr), 0);
    EXPECT_EQ(w, (W16{0x1234, 0x1234}));  // converts nothing
    V above{9998.001};
    EXPECT_EQ(convert(859, above.data(), w.data(), 1, 0, nullptr, nullptr), 0);
    V keep{4999, -4999};
    EXPECT_EQ(convert(830, keep.data(), w.data(), 2, 1, nullptr, nullptr), 1);
    EXPECT_EQ(keep, (V{4999, -4999}));
    V r720{1004.9, -1004.9}, r880{1999.9, -1999.9}, r892{4999, 5000};
    EXPECT_EQ(convert(720, r720.data(), w.data(), 2, 0, nullptr, nullptr), 1);
    EXPECT_EQ(convert(880, r880.data(), w.data(), 2, 0, nullptr, nullptr), 1);
    r720[1] = -1004.90001;
    EXPECT_EQ(convert(720, r720.data(), w.data(), 2, 0, nullptr, nullptr), 0);
    W32 w32(2);
    EXPECT_EQ(convert(892, r892.data(), w32.data(), 2, 0, nullptr, nullptr), 0);

    // One int for both indexes keeps the extreme that moved last.
    V minLast{2, 3, 1, 2}, maxLast{2, 1, 3, 2};
    int both = -7;
    convert(602, minLast.data(), w32.data(), 4, 0, &both, &both);
    EXPECT_EQ(both, 2);
    both = -7;
    convert(602, maxLast.data(), w32.data(), 4, 0, &both, &both);
    EXPECT_EQ(both, 2);

    // A needed buffer missing: 0 and nothing touched.
    mx = -7;
    w.assign(2, 0x1234);
    EXPECT_EQ(convert(602, nullptr, w.data(), 2, 1, &mx, nullptr), 0);
    EXPECT_EQ(convert(602, edge.data(), nullptr, 2, 0, &mx, nullptr), 0);
    EXPECT_EQ(mx, -7);
    EXPECT_EQ(w, (W16{0x1234, 0x1234}));
    EXPECT_EQ(edge, (V{9998, -9998}));
}

// Runs one conversion with the given kernel on copies of the buffers.
struct Outcome {
    std::vector<unsigned char> raw;
    V values;
    int result, maxIndex, minIndex;
};

Outcome run_with(ConvertKernel k, int type, int dir, int n, const std::vector<unsigned char>& raw, const V& values) {
    convert_kernel_override(k);
    Outcome r{raw, values, -2, -9, -9};
    // The raw words start at an odd address.
    r.result = convert(type, r.values.data(), r.raw.data() + 1, n, dir, &r.maxIndex, &r.minIndex);
    return r;
}

TEST_F(Convert, KernelChoice) {
    const ConvertKernel best = convert_avx512_supported() ? ConvertKernel::Avx512
                               : convert_avx2_supported() ? ConvertKernel::Avx2
                                                          : ConvertKernel::Scalar;
    convert_kernel_override(ConvertKernel::Auto);
    EXPECT_EQ(convert_kernel_in_use(), best);
    // A kernel the processor lacks gives way to the best one below it.
    convert_kernel_override(ConvertKernel::Avx512);
    EXPECT_EQ(convert_kernel_in_use(), best);
    convert_kernel_override(ConvertKernel::Avx2);
    EXPECT_EQ(convert_kernel_in_use(), convert_avx2_supported() ? ConvertKernel::Avx2 : ConvertKernel::Scalar);
    EXPECT_EQ(convert_kernel_override(ConvertKernel::Scalar), ConvertKernel::Avx2);
    EXPECT_EQ(convert_kernel_in_use(), ConvertKernel::Scalar);
}

// Every vector kernel the processor runs, against the scalar one.
TEST_F(Convert, VectorKernelsMatchScalar) {
    std::vector<ConvertKernel> kernels;
    if (convert_avx2_supported()) kernels.push_back(ConvertKernel::Avx2);
    if (convert_avx512_supported()) kernels.push_back(ConvertKernel::Avx512);
    if (kernels.empty()) GTEST_SKIP() << "no vector kernel on this processor";
    std::mt19937_64 rng(20240611);
    // Type, full scale, and raw = value * factor + offset of its group.
    struct Type {
        int type;
        double fullScale, factor, offset;
    };
    // clang-format off
    const Type types[] = {{602, 5000, 6.5536, 0}, {616, 5000, 6.5536, 32768}, {632, 5000, 0.4096, 2048},
                          {653, 5000, -0.4096, 2048}, {806, 5000, 0.4096, 2048}, {801, 10000, 3.2768, 0},
                          {720, 1000, 32.752, 0}, {880, 2000, 16.384, 0}, {800, 140, 32768 / (1.7 * 140), 0},
                          {124, 5000, 429496.7296, 0}, {890, 5000, 429496.7296, 0}, {892, 10000, 214748.3648, 0},
                          {5, 5000, 1, 0}};
    // clang-format on
    // Every length up to two 32-sample steps and a tail, then a few that
    // span many chunks, with a tail or without.
    std::vector<int> lengths;
    for (int n = 1; n <= 80; ++n) lengths.push_back(n);
    for (int n : {127, 128, 129, 4096, 4097, 65536 + 13}) lengths.push_back(n);
    for (const Type& t : types) {
        const int type = t.type;
        for (double gain : {1.7, 0.0, -1.3, kInf, kNaN}) {
            if (gain != 1.7 && type != 800) continue;
            sound::process_state().inputGain = gain;
            for (int n : lengths) {
                // The long blocks take fewer of the repetitive cases.
                if (n > 4097 && gain != 1.7) continue;
                for (int pattern = 0; pattern < 5; ++pattern) {
                    // 0: any bits or values; 1, 2: few distinct ones, so extremes
                    // tie; 3: a triangle, so they keep moving; 4: a flat line with
                    // spikes, each beyond the last, so they move in single lanes.
                    const bool wide = type == 124 || type == 890 || type == 892;
                    std::vector<double> level(n);
                    for (int i = 0; i < n; ++i) {
                        if (pattern == 3) level[i] = i < n / 2 ? double(i) / n : 1.5 - 2.0 * i / n;
                        if (pattern == 4 && rng() % 300 == 0) level[i] = double(i) / n * ((rng() & 1) ? 1 : -1);
                    }
                    std::vector<unsigned char> raw(std::size_t(n) * 4 + 1);
                    for (auto& b : raw) b = pattern == 0 ? uint8_t(rng()) : uint8_t(0x7F + rng() % 3);
                    for (int i = 0; pattern >= 3 && i < n; ++i) {
                        const int32_t code = int32_t(level[i] * (wide ? 2e9 : 30000));
                        std::memcpy(&raw[1 + std::size_t(i) * (wide ? 4 : 2)], &code, wide ? 4 : 2);
                    }
                    V values(n);
                    for (int i = 0; i < n; ++i) {
                        double& x = values[i];
                        const uint64_t pick = rng() % 20;
                        const double u = double(int64_t(rng() % 2000001) - 1000000) / 1000000.0;
                        // Raw results around the ends of int32, where a 32-bit
                        // truncation changes hands, or of int64, where a 64-bit one
                        // does and trunc_i64 turns to INT64_MIN.
                        const double end = (rng() & 3) == 0 ? 9223372036854775808.0 : 2147483648.0;
                        const double ulp = end > 2147483648.0 ? 1024.0 : 0.5;
                        const double edge = (pick & 1 ? end : -end) + double(int(rng() % 13) - 6) * ulp;
                        // Raw results a hair either side of a whole number (the
                        // truncation's steps) and of the 16-bit words' wrap.
                        const double whole = double(int64_t(rng() % 140001) - 70000) + ((rng() & 1) ? 65536.0 : 0.0);
                        const double hair = whole + double(int(rng() % 5) - 2) * 1e-9 * (std::fabs(whole) + 1);
                        if (pattern >= 3)
                            x = pick < 2 ? kNaN : level[i] * t.fullScale;
                        else if (pattern == 2)
                            x = std::round(u * 4) * t.fullScale / 4;
                        else if (pick == 0)
                            x = kNaN;
                        else if (pick == 1)
                            x = (rng() & 1) ? kInf : -kInf;
                        else if (pick == 2)
                            x = u * 1e19;
                        else if (pick < 6)
                            x = (edge - t.offset) / t.factor;
                        else if (pick == 6)
                            x = -0.0;
                        else if (pick < 10)
                            x = (hair - t.offset) / t.factor;
                        else
                            x = u * t.fullScale * 1.3;
                    }
                    for (int dir : {1, 0}) {
                        const Outcome s = run_with(ConvertKernel::Scalar, type, dir, n, raw, values);
                        for (ConvertKernel k : kernels) {
                            const Outcome a = run_with(k, type, dir, n, raw, values);
                            SCOPED_TRACE(testing::Message()
                                         << convert_kernel_name(k) << ": type " << type << " n " << n << " dir "
                                         << dir << " pattern " << pattern << " gain " << gain);
                            ASSERT_EQ(s.raw, a.raw);
                            ASSERT_EQ(std::memcmp(s.values.data(), a.values.data(), sizeof(double) * n), 0);
                            ASSERT_EQ(s.result, a.result);
                            ASSERT_EQ(s.maxIndex, a.maxIndex);
                            ASSERT_EQ(s.minIndex, a.minIndex);
                        }
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace kelmo::test
