#include "analysis.h"

#include <algorithm>
#include <cmath>
#include <complex>

#include "kelmo.h"

namespace kelmo::cli {

std::vector<double> spectrum(const double* x, int n, int order) {
    std::vector<double> d(static_cast<std::size_t>(order) + 1), p(kBins + 1);
    double xms = 0.0;
    const int used = std::min(n, 1024);
    std::vector<double> centred(x, x + used);
    double mean = 0.0;
    for (double v : centred) mean += v;
    mean /= used > 0 ? used : 1;
    for (double& v : centred) v -= mean;
    memcof(centred.data(), used, order, &xms, d.data());
    evlmem(0.0, 0.5, kBins, p.data(), d.data(), order, xms);
    return p;
}

std::vector<std::complex<double>> hann_fft(const double* x, std::size_t m, double mean) {
    constexpr double kPi = 3.14159265358979323846;
    std::vector<std::complex<double>> a(m);
    for (std::size_t i = 0, j = 0; i < m; ++i) {  // bit-reversed order
        a[j] = (x[i] - mean) * (0.5 - 0.5 * std::cos(2.0 * kPi * static_cast<double>(i) / static_cast<double>(m)));
        std::size_t bit = m >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j |= bit;
    }
    for (std::size_t len = 2; len <= m; len <<= 1) {
        const std::complex<double> w = std::polar(1.0, -2.0 * kPi / static_cast<double>(len));
        for (std::size_t i = 0; i < m; i += len) {
            std::complex<double> t = 1.0;
            for (std::size_t k = 0; k < len / 2; ++k, t *= w) {
                const auto u = a[i + k], v = a[i + k + len / 2] * t;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
    a.resize(m / 2 + 1);
    return a;
}

double peak_bin(const std::vector<std::complex<double>>& a) {
    const std::size_t last = a.size() - 1;
    std::size_t best = 1;
    for (std::size_t k = 1; k <= last; ++k)
        if (std::norm(a[k]) > std::norm(a[best])) best = k;
    double offset = 0.0;
    if (best + 1 <= last) {
        // A Hann window keeps the peak's neighbours Gaussian-shaped, so the
        // parabola through their logarithms finds the peak between bins.
        const double l = std::log(std::abs(a[best - 1]) + 1e-300), c = std::log(std::abs(a[best]) + 1e-300),
                     r = std::log(std::abs(a[best + 1]) + 1e-300);
        const double curve = l - 2.0 * c + r;
        if (curve < 0.0) offset = std::clamp(0.5 * (l - r) / curve, -0.5, 0.5);
    }
    return static_cast<double>(best) + offset;
}

double dominant_hz(const double* x, int n, double fs) {
    std::size_t m = 1;
    while (m * 2 <= static_cast<std::size_t>(n)) m *= 2;
    if (m < 4) return -1.0;
    double mean = 0.0, spread = 0.0;
    for (std::size_t i = 0; i < m; ++i) mean += x[i];
    mean /= static_cast<double>(m);
    for (std::size_t i = 0; i < m; ++i) spread = std::max(spread, std::fabs(x[i] - mean));
    // Nothing but the mean (to the last digits of the values): no signal.
    if (spread <= 1e-9 * std::max(1.0, std::fabs(mean))) return -1.0;
    return fs * peak_bin(hann_fft(x, m, mean)) / static_cast<double>(m);
}

void ChannelStats::add(const double* x, int n) {
    for (int i = 0; i < n; ++i) {
        sumSquares += x[i] * x[i];
        peak = std::max(peak, std::fabs(x[i]));
    }
    count += n;
}

double ChannelStats::rms() const { return count ? std::sqrt(sumSquares / double(count)) : 0.0; }

}  // namespace kelmo::cli
