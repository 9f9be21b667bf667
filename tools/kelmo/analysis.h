// What the summary and the plot say about a channel.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

namespace kelmo::cli {

// Points of a spectrum from 0 to half the sampling rate.
inline constexpr int kBins = 2048;

// Maximum-entropy spectrum of (up to 1024 samples of) a channel, mean
// removed: kBins + 1 values from 0 to half the sampling rate.
std::vector<double> spectrum(const double* x, int n, int order);

// The frequency of the largest periodogram bin (mean removed), from the
// longest power-of-two prefix; a negative value when the channel carries
// no signal (constant, or too short).
double dominant_hz(const double* x, int n, double fs);

// The Hann-windowed FFT of x[0 .. m) less `mean` (m a power of two): the
// bins 0 .. m/2.
std::vector<std::complex<double>> hann_fft(const double* x, std::size_t m, double mean);
// The largest bin of such a spectrum (from bin 1), with its offset between
// bins: the peak of the parabola through the logarithms of it and its
// neighbours.
double peak_bin(const std::vector<std::complex<double>>& bins);

// Running RMS and peak over every sample of a run.
struct ChannelStats {
    double sumSquares = 0, peak = 0;
    int64_t count = 0;
    void add(const double* x, int n);
    double rms() const;
};

}  // namespace kelmo::cli
