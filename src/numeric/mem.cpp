// Maximum-entropy spectrum: Burg's method for the coefficients and the
// all-poles spectrum evaluated from them.
#include <cmath>

#include "numeric/numeric.h"

namespace kelmo::numeric {

void mem_coefficients(const double* data, int n, int m, double* xms, double* d) {
    if (!data || !xms || (m >= 1 && !d)) return;
    if (n < 1 || n > kMemMaxSamples || m > kMemMaxSamples) {
        *xms = -1.0;
        return;
    }

    // Forward errors, backward errors and the previous coefficients, all
    // indexed from 1 (wk2[0] is written, never read, when n = 1).
    double wk1[kMemMaxSamples];
    double wk2[kMemMaxSamples];
    double wkm[kMemMaxSamples];

    double p = 0.0;
    for (int j = 0; j < n; ++j) p = p + data[j] * data[j];
    *xms = p / static_cast<double>(n);

    wk1[1] = data[0];
    wk2[n - 1] = data[n - 1];
    for (int j = 2; j <= n - 1; ++j) {
        wk1[j] = data[j - 1];
        wk2[j - 1] = data[j - 1];
    }

    for (int k = 1; k <= m; ++k) {
        double num = 0.0;
        double denom = 0.0;
        for (int j = 1; j <= n - k; ++j) {
            num = num + wk1[j] * wk2[j];
            denom = denom + (wk1[j] * wk1[j] + wk2[j] * wk2[j]);
        }
        d[k] = 2.0 * num / denom;
        *xms = *xms * (1.0 - d[k] * d[k]);
        for (int i = 1; i <= k - 1; ++i) d[i] = wkm[i] - d[k] * wkm[k - i];
        if (k == m) return;
        for (int i = 1; i <= k; ++i) wkm[i] = d[i];
        for (int j = 1; j <= n - k - 1; ++j) {
            wk1[j] = wk1[j] - wkm[k] * wk2[j];
            wk2[j] = wk2[j + 1] - wkm[k] * wk1[j + 1];
        }
    }
}

double mem_spectrum(double f0, double f1, int N, double* out, const double* d, int m, double xms) {
    if (!out || (m >= 1 && !d)) return 0.0;
    double sum = 0.0;
    if (N < 0) return 0.0;

    // Radians per cycle: the package's own constant, slightly below 2*pi.
    constexpr double kRadiansPerCycle = 6.28318526;
    const double span = f1 - f0;
    const double steps = static_cast<double>(N);
    for (int i = 0; i <= N; ++i) {
        const double f = (static_cast<double>(i) * span) / steps + f0;
        const double theta = f * kRadiansPerCycle;
        const double c = std::cos(theta);
        const double s = std::sin(theta);
        double sumr = 1.0, sumi = 0.0, wr = 1.0, wi = 0.0;
        for (int j = 1; j <= m; ++j) {
            const double wtemp = wr;
            wr = wr * c - wi * s;
            wi = wi * c + wtemp * s;
            sumr = sumr - wr * d[j];
            sumi = sumi - wi * d[j];
        }
        const double den = sumr * sumr + sumi * sumi;
        if (den == 0.0 || std::isnan(den)) {
            out[i] = 1e-10;
        } else {
            out[i] = xms / den;
            sum = sum + out[i];
        }
    }
    return sum;
}

}  // namespace kelmo::numeric
