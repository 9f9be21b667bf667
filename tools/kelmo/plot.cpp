#include "plot.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis.h"
#include "../portable.h"

namespace kelmo::cli {
namespace {

// The spectrum's floor below its peak.
constexpr double kFloorDb = 120.0;

// gnuplot's quoting: single quotes, doubled inside.
std::string quoted(const std::string& s) {
    std::string r = "'";
    for (char c : s) r += c == '\'' ? std::string("''") : std::string(1, c);
    return r + "'";
}

}  // namespace

bool gnuplot_available() {
    const kelmo::tools::Helper gnuplot = kelmo::tools::find_helper("gnuplot", "gnuplot-nox");
    if (!gnuplot.found) std::fprintf(stderr, "kelmo: gnuplot is not installed, so no plot (%s)\n", gnuplot.how);
    return gnuplot.found;
}

bool write_plot(const PlotLayout& layout, const std::vector<std::vector<double>>& wave,
                const std::vector<std::vector<double>>& spectra) {
    // The PNG must be writable before gnuplot is asked: otherwise gnuplot
    // writes the image to its standard output.
    if (FILE* probe = std::fopen(layout.png.c_str(), "wb")) {
        std::fclose(probe);
    } else {
        std::fprintf(stderr, "kelmo: cannot write %s: %s\n", layout.png.c_str(), std::strerror(errno));
        return false;
    }
    if (!gnuplot_available()) return false;
    FILE* g = kelmo::tools::pipe_into("gnuplot");
    if (!g) {
        std::fprintf(stderr, "kelmo: gnuplot could not be started\n");
        return false;
    }
    const int channels = static_cast<int>(wave.size());
    for (int c = 0; c < channels; ++c) {
        std::fprintf(g, "$wave%d << EOD\n", c);
        for (std::size_t s = 0; s < wave[c].size(); ++s) std::fprintf(g, "%.9g %.6g\n", 1000.0 * double(s) / layout.rate, wave[c][s]);
        std::fprintf(g, "EOD\n$spectrum%d << EOD\n", c);
        const auto& p = spectra[c];
        const double peak = *std::max_element(p.begin(), p.end());
        for (std::size_t i = 0; i < p.size(); ++i) {
            const double db = peak > 0 && p[i] > 0 ? 10.0 * std::log10(p[i] / peak) : -kFloorDb;
            std::fprintf(g, "%.6g %.3f\n", layout.rate * double(i) / (2.0 * kBins), std::max(db, -kFloorDb));
        }
        std::fprintf(g, "EOD\n");
    }
    std::fprintf(g, "set terminal pngcairo size 1400,%d font ',9'\nset output %s\n", std::max(220 * channels, 300),
                 quoted(layout.png).c_str());
    std::fprintf(g, "set multiplot layout %d,2 title %s\n", channels, quoted(layout.title).c_str());
    std::fprintf(g, "set grid\nunset key\nset lmargin 12\nset autoscale xfix\n");
    for (int c = 0; c < channels; ++c) {
        std::fprintf(g, "set title 'channel %d: waveform'\nset xlabel 'time (ms)'\nset ylabel 'value'\nset autoscale y\n",
                     layout.channels[std::size_t(c)]);
        std::fprintf(g, "plot $wave%d using 1:2 with lines lw 1 lc rgb '#1f77b4'\n", c);
        std::fprintf(g,
                     "set title 'channel %d: maximum-entropy spectrum'\nset xlabel 'frequency (Hz)'\n"
                     "set ylabel 'dB re peak'\nset yrange [%g:5]\n",
                     layout.channels[std::size_t(c)], -kFloorDb);
        std::fprintf(g, "plot $spectrum%d using 1:2 with lines lw 1 lc rgb '#d62728'\nset autoscale y\n", c);
    }
    std::fprintf(g, "unset multiplot\n");
    if (kelmo::tools::close_pipe(g) != 0) {
        std::fprintf(stderr, "kelmo: gnuplot failed to draw %s\n", layout.png.c_str());
        return false;
    }
    return true;
}

}  // namespace kelmo::cli
