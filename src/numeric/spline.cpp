// Cubic spline: second derivatives at the table points (tridiagonal
// decomposition) and evaluation by bisection.
#include <cmath>
#include <cstddef>

#include "core/messages.h"
#include "numeric/numeric.h"
#include "platform/platform.h"

namespace kelmo::numeric {

void spline_second_derivatives(const double* x, const double* y, int n, double yp1, double ypn, double* y2) {
    if (!x || !y || !y2 || n < 2) return;
    // Right-hand sides of the decomposition, released on return.
    auto work = platform::make_page_buffer(static_cast<std::size_t>(n) * sizeof(double));
    if (!work) return;
    double* u = static_cast<double*>(work->data());

    if (std::fabs(yp1) > kNaturalEnd) {
        y2[0] = 0.0;
        u[0] = 0.0;
    } else {
        y2[0] = -0.5;
        u[0] = (3.0 / (x[1] - x[0])) * ((y[1] - y[0]) / (x[1] - x[0]) - yp1);
    }

    for (int i = 1; i <= n - 2; ++i) {
        const double sig = (x[i] - x[i - 1]) / (x[i + 1] - x[i - 1]);
        const double p = sig * y2[i - 1] + 2.0;
        y2[i] = (sig - 1.0) / p;
        u[i] = (y[i + 1] - y[i]) / (x[i + 1] - x[i]) - (y[i] - y[i - 1]) / (x[i] - x[i - 1]);
        u[i] = (6.0 * u[i] / (x[i + 1] - x[i - 1]) - sig * u[i - 1]) / p;
    }

    double qn, un;
    if (std::fabs(ypn) > kNaturalEnd) {
        qn = 0.0;
        un = 0.0;
    } else {
        qn = 0.5;
        un = (3.0 / (x[n - 1] - x[n - 2])) * (ypn - (y[n - 1] - y[n - 2]) / (x[n - 1] - x[n - 2]));
    }
    y2[n - 1] = (un - qn * u[n - 2]) / (qn * y2[n - 2] + 1.0);

    for (int k = n - 2; k >= 0; --k) y2[k] = y2[k] * y2[k + 1] + u[k];
}

double spline_value(const double* xa, const double* ya, const double* y2a, int n, double x) {
    if (!xa || !ya || !y2a || n < 2) return 0.0;

    int klo = 0;
    int khi = n - 1;
    while (khi - klo > 1) {
        const int k = klo + (khi - klo) / 2;  // (khi + klo) / 2 without overflow
        if (xa[k] > x)
            khi = k;
        else
            klo = k;
    }

    const double h = xa[khi] - xa[klo];
    if (h == 0.0 || std::isnan(h)) {
        show_message(msg::kSplineEqualAbscissas);
        return 0.0;
    }
    const double a = (xa[khi] - x) / h;
    const double b = (x - xa[klo]) / h;
    // 0.16666666666666666 is the double nearest to 1/6, applied as a product.
    return ((a * a * a - a) * y2a[klo] + (b * b * b - b) * y2a[khi]) * (h * h) * 0.16666666666666666 +
           a * ya[klo] + b * ya[khi];
}

}  // namespace kelmo::numeric
