// Numerical routines offered to host programs: maximum-entropy spectrum,
// cubic spline and the signal-to-noise rating. Pure computations on caller
// arrays; the exports in exports/numeric.cpp forward to these.
#pragma once

namespace kelmo::numeric {

// Burg fit of m linear-prediction coefficients to data[0 .. n-1]: writes
// *xms (mean-square residual) and d[1 .. m] (d[0] is not used). Refused
// with *xms = -1.0 when n < 1, n > kMemMaxSamples or m > kMemMaxSamples.
// Null data or xms (or d with m >= 1): nothing is done.
inline constexpr int kMemMaxSamples = 1024;
void mem_coefficients(const double* data, int n, int m, double* xms, double* d);

// All-poles power spectrum of d[1 .. m] and xms at the N + 1 frequencies
// f0 .. f1 (cycles per sample) into out[0 .. N]; returns the sum of the
// values that had a usable denominator.
double mem_spectrum(double f0, double f1, int N, double* out, const double* d, int m, double xms);

// Second derivatives y2[0 .. n-1] of the cubic spline through (x, y);
// |yp1| or |ypn| above kNaturalEnd asks for a natural end. n < 2, null
// arrays or no work memory leave y2 untouched.
inline constexpr double kNaturalEnd = 9.9e29;
void spline_second_derivatives(const double* x, const double* y, int n, double yp1, double ypn, double* y2);

// Value at x of the spline given by spline_second_derivatives; 0.0 for
// n < 2, null arrays or equal bracketing abscissas (the last with a message).
double spline_value(const double* xa, const double* ya, const double* y2a, int n, double x);

// Attainable SNR per element (level) and score in 0 .. 1. b is scaled in
// place by sqrt(2) when peakFlag is 0. Returns 1, or 0 when count > 0 and
// a is null (then nothing is touched).
int check_snr(int cardType, int count, const double* a, int peakFlag, double d, double* level, double* b,
              double* score);

}  // namespace kelmo::numeric
