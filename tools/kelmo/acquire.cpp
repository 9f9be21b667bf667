// kelmo acquire: acquires channels of a source, prints a summary per channel
// (RMS, peak, dominant frequency from the maximum-entropy spectrum), and
// writes the samples as CSV and, through gnuplot, a plot of waveform and
// spectrum per channel.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "kelmo.h"

namespace kelmo::cli {
namespace {

struct Options {
    int type = 123;
    double rate = 10000.0;
    int samples = 4096;
    int channels = 8;
    int first = 0;
    int blocks = 4;
    int gain = 1;
    int order = 40;
    std::string mode = "continuous";
    std::string csv;
    std::string plot;
};

// Points of a spectrum from 0 to half the sampling rate.
constexpr int kBins = 2048;

// Maximum-entropy spectrum of (up to 1024 samples of) one channel: kBins + 1
// values from 0 to half the sampling rate.
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

// The frequency of the largest periodogram bin (mean removed), from the
// longest power-of-two prefix of the channel.
double dominant_hz(const double* x, int n, double fs) {
    std::size_t m = 1;
    while (m * 2 <= static_cast<std::size_t>(n)) m *= 2;
    if (m < 4) return 0.0;
    double mean = 0.0;
    for (std::size_t i = 0; i < m; ++i) mean += x[i];
    mean /= static_cast<double>(m);
    std::vector<std::complex<double>> a(m);
    for (std::size_t i = 0, j = 0; i < m; ++i) {  // bit-reversed order
        a[j] = x[i] - mean;
        std::size_t bit = m >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j |= bit;
    }
    for (std::size_t len = 2; len <= m; len <<= 1) {
        const std::complex<double> w = std::polar(1.0, -2.0 * 3.14159265358979323846 / static_cast<double>(len));
        for (std::size_t i = 0; i < m; i += len) {
            std::complex<double> t = 1.0;
            for (std::size_t k = 0; k < len / 2; ++k, t *= w) {
                const auto u = a[i + k], v = a[i + k + len / 2] * t;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
    std::size_t best = 1;
    for (std::size_t k = 1; k <= m / 2; ++k)
        if (std::norm(a[k]) > std::norm(a[best])) best = k;
    return fs * static_cast<double>(best) / static_cast<double>(m);
}

// A card behind the driver takes its divider from the host: the one whose
// read-back rate comes nearest the wanted rate (16 bits at most). 0 when the
// card type has no read-back formula.
uint32_t card_divider(int type, double rate, int channels, double* actual) {
    double base = 0.0;
    GetFre(type, 1, &base, channels);
    if (!(base > 0.0) || !(rate > 0.0) || !std::isfinite(base)) return 0;
    const double d = std::clamp(std::round(base / rate), 1.0, 65535.0);
    const auto code = static_cast<uint32_t>(d);
    GetFre(type, code, actual, channels);
    return code;
}

bool acquire(const Options& o, double actualRate, uint32_t code, std::vector<double>& data) {
    const std::size_t n = static_cast<std::size_t>(o.samples);
    data.assign(n * static_cast<std::size_t>(o.channels), 0.0);
    const int packed = o.first > 0 ? o.first * 256 + o.channels : o.channels;
    if (o.mode == "block") return MulChSam(o.type, static_cast<int>(code), o.samples, o.gain, packed, data.data()) == 1;
    // Continuous: several blocks, each written in place of its channels.
    uint32_t handle = 0;
    if (!Set_dbl_MulChSam(&handle, o.type, static_cast<int>(code), o.gain, packed, 1024)) {
        recover(&handle, o.type);
        return false;
    }
    const int per = o.samples / o.blocks;
    bool ok = true;
    for (int b = 0; b < o.blocks && ok; ++b) {
        const int len = b == o.blocks - 1 ? o.samples - per * b : per;
        int status = 0;
        ok = get_dbl_data(&handle, o.type, len, o.channels, data.data(), o.samples, per * b, &status) == 1;
    }
    recover(&handle, o.type);
    (void)actualRate;
    return ok;
}

void write_csv(const std::string& path, const Options& o, double fs, const std::vector<double>& data) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        std::fprintf(stderr, "kelmo: cannot write %s\n", path.c_str());
        return;
    }
    std::fprintf(f, "time_s");
    for (int c = 0; c < o.channels; ++c) std::fprintf(f, ",ch%d", o.first + c);
    std::fprintf(f, "\n");
    for (int s = 0; s < o.samples; ++s) {
        std::fprintf(f, "%.9g", s / fs);
        for (int c = 0; c < o.channels; ++c) std::fprintf(f, ",%.6f", data[std::size_t(c) * o.samples + s]);
        std::fprintf(f, "\n");
    }
    std::fclose(f);
}

void write_plot(const std::string& png, const Options& o, double fs, const std::vector<double>& data,
                const std::vector<std::vector<double>>& spectra) {
    const std::string base = png.substr(0, png.rfind('.'));
    const std::string waveFile = base + "-wave.dat", spectrumFile = base + "-spectrum.dat";
    if (FILE* f = std::fopen(waveFile.c_str(), "w")) {
        for (int s = 0; s < o.samples; ++s) {
            std::fprintf(f, "%.9g", 1000.0 * s / fs);
            for (int c = 0; c < o.channels; ++c) std::fprintf(f, " %.6f", data[std::size_t(c) * o.samples + s]);
            std::fprintf(f, "\n");
        }
        std::fclose(f);
    }
    if (FILE* f = std::fopen(spectrumFile.c_str(), "w")) {
        for (int i = 0; i <= kBins; ++i) {
            std::fprintf(f, "%.6g", fs * i / (2.0 * kBins));
            for (const auto& p : spectra) std::fprintf(f, " %.6g", p[static_cast<std::size_t>(i)]);
            std::fprintf(f, "\n");
        }
        std::fclose(f);
    }
    FILE* g = popen("gnuplot", "w");
    if (!g) {
        std::fprintf(stderr, "kelmo: gnuplot is not available; no plot\n");
        return;
    }
    std::fprintf(g, "set terminal pngcairo size 1400,%d font ',9'\nset output '%s'\n", 220 * o.channels,
                 png.c_str());
    std::fprintf(g, "set multiplot layout %d,2 title 'card type %d, %g Hz, %d samples (%s)'\n", o.channels, o.type,
                 fs, o.samples, o.mode.c_str());
    std::fprintf(g, "set grid\nunset key\nset lmargin 10\nset autoscale xfix\n");
    for (int c = 0; c < o.channels; ++c) {
        std::fprintf(g, "set title 'channel %d: waveform'\nset xlabel 'ms'\nunset logscale y\nset format y '%%g'\n",
                     o.first + c);
        std::fprintf(g, "plot '%s' using 1:%d with lines lw 1 lc rgb '#1f77b4'\n", waveFile.c_str(), c + 2);
        std::fprintf(g, "set title 'channel %d: maximum-entropy spectrum'\nset xlabel 'Hz'\nset logscale y\nset format y '10^{%%L}'\n",
                     o.first + c);
        std::fprintf(g, "plot '%s' using 1:%d with lines lw 1 lc rgb '#d62728'\n", spectrumFile.c_str(), c + 2);
    }
    std::fprintf(g, "unset multiplot\n");
    if (pclose(g) != 0) std::fprintf(stderr, "kelmo: gnuplot failed\n");
}

}  // namespace

void add_acquire(CLI::App& app) {
    auto* cmd = app.add_subcommand("acquire", "Acquire channels, print RMS, peak and dominant frequency per "
                                              "channel, and write CSV and a plot");
    static Options o;
    cmd->add_option("-t,--type", o.type, "Card type (123/124: the simulated source)")->capture_default_str();
    cmd->add_option("-r,--rate", o.rate, "Sampling rate in Hz")->capture_default_str();
    cmd->add_option("-n,--samples", o.samples, "Samples per channel")->capture_default_str()->check(
        CLI::Range(16, 1 << 20));
    cmd->add_option("-c,--channels", o.channels, "Number of channels")->capture_default_str()->check(
        CLI::Range(1, 32));
    cmd->add_option("--first", o.first, "First channel")->capture_default_str()->check(CLI::Range(0, 31));
    cmd->add_option("-m,--mode", o.mode, "block (one MulChSam call) or continuous (Set_dbl_MulChSam, "
                                         "get_dbl_data per block, recover)")
        ->capture_default_str()
        ->check(CLI::IsMember({"block", "continuous"}));
    cmd->add_option("-b,--blocks", o.blocks, "Blocks of a continuous run")->capture_default_str()->check(
        CLI::Range(1, 1024));
    cmd->add_option("-g,--gain", o.gain, "Gain")->capture_default_str();
    cmd->add_option("--order", o.order, "Order of the maximum-entropy fit")->capture_default_str()->check(
        CLI::Range(1, 200));
    cmd->add_option("--csv", o.csv, "Write the samples to this CSV file");
    cmd->add_option("--plot", o.plot, "Write waveform and spectrum per channel to this PNG (gnuplot)");
    cmd->callback([] {
        char text[131] = {};
        int status = 0;
        if (!Checkcard(o.type, text, &status)) {
            std::fprintf(stderr, "kelmo: card type %d not usable: %s\n", o.type, to_utf8(text).c_str());
            throw CLI::RuntimeError(1);
        }
        uint32_t code = 0;
        double fs = 0.0;
        PreSamp(o.type, o.rate, &code, &fs);
        if (fs <= 0.0) code = card_divider(o.type, o.rate, o.channels, &fs);
        if (code == 0) {
            std::fprintf(stderr, "kelmo: no sampling divider for card type %d at %g Hz\n", o.type, o.rate);
            throw CLI::RuntimeError(1);
        }
        std::vector<double> data;
        if (!acquire(o, fs, code, data)) {
            std::fprintf(stderr, "kelmo: acquisition failed (is the signal source running?)\n");
            throw CLI::RuntimeError(1);
        }
        std::vector<std::vector<double>> spectra;
        std::printf("channel        RMS       peak   dominant Hz\n");
        for (int c = 0; c < o.channels; ++c) {
            const double* x = data.data() + std::size_t(c) * o.samples;
            double sq = 0.0, peak = 0.0;
            for (int s = 0; s < o.samples; ++s) {
                sq += x[s] * x[s];
                peak = std::max(peak, std::fabs(x[s]));
            }
            spectra.push_back(spectrum(x, o.samples, o.order));
            std::printf("%7d %10.2f %10.2f %13.1f\n", o.first + c, std::sqrt(sq / o.samples), peak,
                        dominant_hz(x, o.samples, fs));
        }
        if (!o.csv.empty()) write_csv(o.csv, o, fs, data);
        if (!o.plot.empty()) write_plot(o.plot, o, fs, data, spectra);
    });
}

}  // namespace kelmo::cli
