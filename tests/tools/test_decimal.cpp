// The text formats' numbers against the standard library's own correctly
// rounded formatting, on values chosen where integer shortcuts go wrong:
// exact ties at the sixth decimal, the edges of the fast range, subnormals,
// the signs of zero, and many values drawn from every binade in between.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "writers/decimal.h"

namespace kelmo::cli {
namespace {

std::string reference(double v, std::chars_format f, int precision) {
    char b[kFixed6Most];
    const auto r = std::to_chars(b, b + sizeof b, v, f, precision);
    return std::string(b, r.ptr);
}
std::string fixed6(double v) {
    char b[kFixed6Most];
    return std::string(b, put_fixed6(b, v));
}

TEST(Decimal, SixDecimalsAsPrintfRoundsThem) {
    const double inf = std::numeric_limits<double>::infinity();
    const double cases[] = {0.0, -0.0, 1.0, -1.0, 0.5e-6, 1.5e-6, 2.5e-6, 0.0000004999, -0.0000004,
                            std::ldexp(1.0, -7), std::ldexp(3.0, -7), std::ldexp(1.0, -20), std::ldexp(1.0, -21),
                            std::ldexp(5.0, -21), 0.1, 0.3, 5000.0, -4999.999999, 9999.9999995, 123456.0000005,
                            1e12 - 1, 1e12, -1e12, 8.999999999999e12, 9e12, 9.000000000001e12, 1e13, 4.5e15,
                            1e300, -1e300, std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::min(), std::numeric_limits<double>::max(),
                            std::numeric_limits<double>::lowest(), inf, -inf, std::nan("")};
    for (double v : cases) EXPECT_EQ(fixed6(v), reference(v, std::chars_format::fixed, 6)) << v;
    // Every tie k / 2^n with n = 7 .. 26 (exactly representable, a 5 after
    // the sixth decimal) goes to the even neighbour, in both signs.
    for (int n = 7; n <= 26; ++n)
        for (int64_t k = 1; k < 4000; k += 2) {
            const double v = std::ldexp(double(k), -n);
            ASSERT_EQ(fixed6(v), reference(v, std::chars_format::fixed, 6)) << v;
            ASSERT_EQ(fixed6(-v), reference(-v, std::chars_format::fixed, 6)) << -v;
        }
}

TEST(Decimal, EveryBinadeAgreesWithTheReference) {
    std::mt19937_64 random(20261210);
    for (int exponent = -1080; exponent <= 60; ++exponent) {
        for (int i = 0; i < 400; ++i) {
            const uint64_t mantissa = random() & ((uint64_t(1) << 53) - 1);
            const double v = std::ldexp(double(mantissa | (uint64_t(1) << 52)), exponent - 52) * (i & 1 ? -1 : 1);
            ASSERT_EQ(fixed6(v), reference(v, std::chars_format::fixed, 6)) << v;
            // Its neighbours, where a rounding boundary lies one unit away.
            const double up = std::nextafter(v, HUGE_VAL);
            ASSERT_EQ(fixed6(up), reference(up, std::chars_format::fixed, 6)) << up;
        }
    }
    // Raw bit patterns, subnormals and all.
    for (int i = 0; i < 200000; ++i) {
        const uint64_t bits = random();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        if (std::isnan(v)) continue;
        ASSERT_EQ(fixed6(v), reference(v, std::chars_format::fixed, 6)) << v;
    }
}

TEST(Decimal, RowsOfValuesInBatches) {
    // Long values among short ones, across the batches, every third value.
    std::vector<double> v;
    for (int i = 0; i < 3 * 53; ++i)
        v.push_back(i % 17 == 5 ? 1e300 : i % 13 == 2 ? std::nan("") : i % 11 == 0 ? -0.0 : std::ldexp(i - 80.5, -(i % 9)));
    for (std::size_t count : {std::size_t(0), std::size_t(1), std::size_t(16), std::size_t(17), std::size_t(53)}) {
        std::string want;
        for (std::size_t i = 0; i < count; ++i) {
            want += ';';
            want += reference(v[3 * i], std::chars_format::fixed, 6);
        }
        std::vector<char> b(count * (1 + kFixed6Most) + 1);
        char* end = put_fixed6_each(b.data(), v.data(), count, 3, ';');
        EXPECT_EQ(std::string(b.data(), end), want) << count;
    }
}

TEST(Decimal, TimesWithNineDigits) {
    for (double v : {0.0, 1e-5, 1.0 / 3.0, 10.48575, 1e9 + 0.5, 123456789.0, 1234567890.0})
        EXPECT_EQ([&] {
            char b[32];
            return std::string(b, put_general9(b, v));
        }(), reference(v, std::chars_format::general, 9)) << v;
}

}  // namespace
}  // namespace kelmo::cli
