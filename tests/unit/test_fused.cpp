// The fused multiply-add of the noise filter's scalar code: its emulation
// against the processor's instruction (against the C library's fma where
// the processor has none), on random operands and on the hard cases: sums
// that cancel all but the product's rounding error, ties, signs of zero.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include "core/fused.h"

namespace kelmo::test {
namespace {

uint64_t bits(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

TEST(FusedMultiplyAdd, TheEmulationRoundsOnceAsTheInstructionDoes) {
    std::mt19937_64 random(9);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-470, 470);  // operands within the emulated range
    auto number = [&](int spread) { return std::ldexp(unit(random), exponent(random) % (spread + 1)); };
    int checked = 0;
    for (int i = 0; i < 400000; ++i) {
        const double a = number(i % 4 == 0 ? 470 : 30), b = number(i % 4 == 0 ? 470 : 30);
        double c;
        switch (i % 5) {
            case 0: c = number(60); break;
            case 1: c = -(a * b); break;                                   // only the rounding error is left
            case 2: c = -(a * b) * (1 + std::ldexp(unit(random), -50)); break;  // a few bits of it
            case 3: c = std::ldexp(a * b, 54) * (i & 1 ? 1 : -1); break;   // the product below c's last bit
            default: c = 0.0; break;
        }
        const double want = fused_multiply_add(a, b, c), got = fused_multiply_add_emulated(a, b, c);
        ASSERT_EQ(bits(got), bits(want)) << a << " * " << b << " + " << c;
        ++checked;
    }
    // Exact ties of the sum: (1 + 2^-52) (1 + 2^-53 ...) and signs of zero.
    const double cases[][3] = {{1.0 + 0x1p-52, 1.0 + 0x1p-52, -1.0}, {1.0 + 0x1p-30, 1.0 - 0x1p-30, -1.0},
                               {3.0, 0x1p-53, 1.0},                     {-3.0, 0x1p-53, 1.0},
                               {0.0, -5.0, 0.0},                        {-0.0, 5.0, -0.0},
                               {1e-200, 1e-200, 1.0},                   {1e300, 1e10, -1.0}};
    for (const auto& c : cases)
        EXPECT_EQ(bits(fused_multiply_add_emulated(c[0], c[1], c[2])), bits(fused_multiply_add(c[0], c[1], c[2])))
            << c[0] << " * " << c[1] << " + " << c[2];
    EXPECT_EQ(checked, 400000);
}

}  // namespace
}  // namespace kelmo::test
