// The plot of a run through gnuplot: waveform and spectrum per channel.
#pragma once

#include <string>
#include <vector>

namespace kelmo::cli {

struct PlotLayout {
    std::string png;
    std::string title;
    double rate = 0;
    std::vector<int> channels;  // the number of each channel drawn
};

// Whether gnuplot can be run; says how to install it when it cannot.
bool gnuplot_available();

// Draws the plot (the data go to gnuplot inline: no files beside the PNG).
// `wave[c]` holds channel c's samples, `spectra[c]` its spectrum. False
// after one line on stderr when it cannot be drawn.
bool write_plot(const PlotLayout& layout, const std::vector<std::vector<double>>& wave,
                const std::vector<std::vector<double>>& spectra);

}  // namespace kelmo::cli
