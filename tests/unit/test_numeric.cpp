// memcof, evlmem, spline, splint, CheckSNR.
#include <algorithm>
#include <cmath>
#include <vector>

#include "fixture.h"

namespace kelmo::test {
namespace {

using Numeric = FakeTest;

TEST_F(Numeric, MaximumEntropyFit) {
    const double pi = std::acos(-1.0);
    for (double f : {0.1, 0.23}) {  // a sine is an exact second-order predictor
        std::vector<double> x(1000), d(3), out(501);
        for (int t = 0; t < 1000; ++t) x[t] = std::sin(2 * pi * f * t);
        double xms = 0;
        memcof(x.data(), 1000, 2, &xms, d.data());
        EXPECT_LT(xms, 1e-4) << f;
        EXPECT_NEAR(d[1], 2 * std::cos(2 * pi * f), 1e-3) << f;
        EXPECT_NEAR(d[2], -1.0, 1e-3) << f;
        evlmem(0.0, 0.5, 500, out.data(), d.data(), 2, xms);
        EXPECT_NEAR(std::max_element(out.begin(), out.end()) - out.begin(), f * 1000, 1) << f;
    }
    // Geometric sequence r^j: first coefficient 2r / (1 + r^2).
    double g[10], xms = 0, d[2] = {7, 7};
    for (int j = 0; j < 10; ++j) g[j] = std::pow(0.5, j);
    memcof(g, 10, 1, &xms, d);
    EXPECT_NEAR(d[1], 0.8, 1e-15);
    EXPECT_NEAR(xms, (1 - std::pow(0.25, 10)) / 0.75 / 10 * (1 - 0.64), 1e-15);
    EXPECT_EQ(d[0], 7);
    memcof(g, 4, 0, &xms, nullptr);
    EXPECT_EQ(xms, (1 + 0.25 + 0.0625 + 0.015625) / 4);
    memcof(g, 1, 1, &xms, d);
    EXPECT_TRUE(std::isnan(d[1]));  // 0 / 0

    std::vector<double> big(1025, 1.0), coef(1026, 5.0);
    for (auto [n, m] : {std::pair{1025, 2}, {0, 2}, {-3, 2}, {8, 1025}}) {
        xms = 0;
        memcof(big.data(), n, m, &xms, coef.data());
        EXPECT_EQ(xms, -1.0) << n << " " << m;
    }
    memcof(nullptr, 4, 1, &xms, coef.data());
    memcof(big.data(), 4, 1, &xms, nullptr);
    EXPECT_EQ(xms, -1.0);
    EXPECT_EQ(coef[1], 5.0);
}

TEST_F(Numeric, MaximumEntropySpectrum) {
    // One pole: xms / (1 - 2 d cos t + d^2) with t = 6.28318526 f.
    double d[2] = {0, 0.6}, out[5], expect = 0;
    const double sum = evlmem(0.0, 0.5, 4, out, d, 1, 2.0);
    for (int i = 0; i < 5; ++i) {
        const double p = 2.0 / (1 - 1.2 * std::cos(6.28318526 * 0.125 * i) + 0.36);
        EXPECT_NEAR(out[i], p, 1e-12) << i;
        expect += p;
    }
    EXPECT_NEAR(sum, expect, 1e-12);

    EXPECT_EQ(evlmem(0.1, 0.4, 3, out, nullptr, 0, 1.5), 6.0);  // flat
    EXPECT_EQ(out[3], 1.5);
    EXPECT_EQ(evlmem(0.2, 0.2, 0, out, nullptr, 0, 1.5), 1.5);  // f = 0/0 without poles
    EXPECT_EQ(evlmem(0.2, 0.2, 0, out, d, 1, 1.5), 0.0);
    EXPECT_EQ(out[0], 1e-10);
    d[1] = 1.0;  // zero denominator at f = 0: replaced, left out of the sum
    EXPECT_NEAR(evlmem(0.0, 0.5, 2, out, d, 1, 4.0), 2.0 + 1.0, 1e-6);
    EXPECT_EQ(out[0], 1e-10);

    out[0] = 9;
    EXPECT_EQ(evlmem(0, 1, -1, out, d, 1, 1), 0.0);
    EXPECT_EQ(evlmem(0, 1, 4, out, nullptr, 1, 1), 0.0);
    EXPECT_EQ(evlmem(0, 1, 4, nullptr, d, 1, 1), 0.0);
    EXPECT_EQ(out[0], 9);
}

TEST_F(Numeric, SplineReproducesCubicsAndLines) {
    // With exact end derivatives the spline of x^3 is x^3 itself.
    double x[] = {0, 1, 2, 3}, y[] = {0, 1, 8, 27}, y2[4];
    spline(x, y, 4, 0.0, 27.0, y2);
    EXPECT_NEAR(splint(x, y, y2, 4, 1.5), 3.375, 1e-12);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(y2[i], 6 * x[i], 1e-12);
    EXPECT_EQ(splint(x, y, y2, 4, 0.0), 0.0);
    EXPECT_EQ(splint(x, y, y2, 4, 3.0), 27.0);
    std::vector<double> fx = {0, 0.2, 0.5, 0.9, 1.4, 1.5, 2.1, 2.6, 3.0}, fy, f2(9);
    for (double t : fx) fy.push_back(t * t * t);
    spline(fx.data(), fy.data(), 9, 0.0, 27.0, f2.data());
    for (double t = -0.3; t < 3.4; t += 0.07) EXPECT_NEAR(splint(fx.data(), fy.data(), f2.data(), 9, t), t * t * t, 1e-9);

    // Natural ends: two points interpolate (and extrapolate) linearly.
    double lx[] = {1, 3}, ly[] = {2, 6}, l2[] = {9, 9};
    spline(lx, ly, 2, 1e30, -1e30, l2);
    EXPECT_EQ(l2[0], 0.0);
    EXPECT_EQ(l2[1], 0.0);
    EXPECT_NEAR(splint(lx, ly, l2, 2, 2.5), 5.0, 1e-15);
    EXPECT_NEAR(splint(lx, ly, l2, 2, 4.0), 8.0, 1e-15);
    spline(lx, ly, 2, 9.9e29, -9.9e29, l2);  // exactly 9.9e29 is a derivative
    EXPECT_LT(l2[0], -1e29);
    EXPECT_LT(l2[1], -1e29);
    EXPECT_TRUE(fake.livePages.empty());
    EXPECT_TRUE(fake.messages.empty());
}

TEST_F(Numeric, SplineRefusalsAndEqualAbscissas) {
    double x[] = {0, 1, 1, 2}, y[] = {5, 6, 7, 8}, y2[] = {0, 0, 0, 0};
    EXPECT_EQ(splint(x, y, y2, 4, 1.0), 7.0);  // lands on xa[2] .. xa[3]
    EXPECT_EQ(splint(x, y, y2, 4, 0.5), 5.5);
    EXPECT_TRUE(fake.messages.empty());
    EXPECT_EQ(splint(x, y, y2, 3, 1.0), 0.0);  // bracketed by xa[1] = xa[2]
    double nx[] = {0, std::nan("")};
    EXPECT_EQ(splint(nx, y, y2, 2, 0.5), 0.0);
    ASSERT_EQ(fake.messages.size(), 2u);
    EXPECT_EQ(fake.messages[1], "xa \xCA\xFD\xD7\xE9\xB5\xC4\xD6\xB5\xB2\xBB\xC4\xDC\xCF\xE0\xCD\xAC");

    // Too short a table, null arrays or no work memory: nothing written.
    double u[] = {3, 3, 3, 3};
    EXPECT_EQ(splint(x, y, y2, 1, 0.5), 0.0);
    EXPECT_EQ(splint(nullptr, y, y2, 4, 0.5), 0.0);
    spline(x, y, 1, 0, 0, u);
    spline(x, nullptr, 4, 0, 0, u);
    fake.failAlloc = true;
    spline(y, x, 4, 0, 0, u);
    for (double v : u) EXPECT_EQ(v, 3.0);
    EXPECT_TRUE(fake.livePages.empty());
}

TEST_F(Numeric, SignalToNoise) {
    double a[] = {100, 5, 10, 1000, std::nan("")}, b[] = {0.5, 0.05, 0.5, 0.5, 0.5}, level[5], score[5];
    EXPECT_EQ(CheckSNR(651, 1, a, 1, 1.0, level, b, score), 1);
    EXPECT_EQ(level[0], 28.0);
    EXPECT_EQ(score[0], 1.0);  // 3.5 clamped
    EXPECT_EQ(CheckSNR(720, 5, a, 1, 1.0, level, b, score), 1);
    EXPECT_NEAR(score[1], 1.0, 1e-12);  // exactly -20 dB
    EXPECT_NEAR(level[3], 44.0, 1e-12);
    EXPECT_EQ(level[2], 60.0);
    EXPECT_EQ(level[4], 60.0);  // NaN companion: no loss

    // Base 160: 0 on the noise floor, 0.5 at -90 dB, clamped below the floor.
    double ten[] = {10, 10, 10, 10, 10}, b2[] = {0.5e-8, 0.5 * std::pow(10.0, -4.5), 0.0, -1.0, 1e-9};
    EXPECT_EQ(CheckSNR(800, 5, ten, 1, 1.0, level, b2, score), 1);
    EXPECT_EQ(level[0], 160.0);
    EXPECT_NEAR(score[0], 0.0, 1e-12);
    EXPECT_NEAR(score[1], 0.5, 1e-12);
    for (int i = 2; i < 5; ++i) EXPECT_EQ(score[i], 0.0) << i;
    for (int type : {699, 831, 859, -720, 837}) {
        CheckSNR(type, 1, ten, 1, 1.0, level, nullptr, nullptr);
        EXPECT_EQ(level[0], type == 837 ? 60.0 : 160.0) << type;
    }

    // peakFlag 0 scales the caller's amplitudes by sqrt 2, on every call.
    double c[] = {1.0, 3.0};
    EXPECT_EQ(CheckSNR(720, 2, a, 0, 1.0, nullptr, c, nullptr), 1);
    EXPECT_EQ(c[1], 3.0 * std::sqrt(2.0));
    CheckSNR(720, 2, a, 0, 1.0, nullptr, c, nullptr);
    EXPECT_NEAR(c[0], 2.0, 1e-15);
    EXPECT_EQ(CheckSNR(720, 0, nullptr, 0, 1.0, level, c, score), 1);
    EXPECT_EQ(CheckSNR(720, 2, nullptr, 0, 1.0, level, c, score), 0);
    EXPECT_NEAR(c[0], 2.0, 1e-15);  // untouched when refused
}

}  // namespace
}  // namespace kelmo::test
