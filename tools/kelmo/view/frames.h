// The frames a page gets: the scope's window of the latest samples (or the
// one around the latest trigger crossing), reduced to the minimum and
// maximum of each pixel column so that decimation hides nothing, and the
// spectra of the latest samples.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "acquisition.h"

namespace kelmo::view {

// What a page shows.
struct View {
    int columns = 800;      // pixels of the plot
    double seconds = 0.1;   // time the scope shows
    std::string mode = "run";  // run, stop, single
    std::string slope = "off";  // off, rising, falling
    int channel = 0;        // the trigger's channel (its number on the card)
    double level = 0;       // engineering units
    double pre = 0.1;       // fraction of the window before the crossing
    int average = 1;        // spectra averaged
    int bins = 512;         // half the FFT's length
};

// Where a page's scope stands: what it was last sent.
struct ScopeCursor {
    uint64_t generation = 0, end = 0;  // the acquisition's, at the last frame
    uint64_t trigger = 0;              // the last crossing sent
    uint64_t shown = 0;                // the acquisition's end at the last frame sent
    std::string stall;                 // why no frame comes, for the page; "" while they come
};

// A scope frame (the header, then the data) into `out`, or false when
// there is nothing new to show (no new samples, no crossing yet, stopped);
// when frames stop for longer than a moment, the cursor's `stall` says why.
bool scope_frame(const Acquisition& acq, const View& view, ScopeCursor& cursor, uint32_t seq, std::string& out);

// What the spectra of a page average.
struct SpectrumState {
    uint64_t generation = 0;
    int bins = 0;
    std::vector<std::vector<double>> fft, mem;  // power per bin, averaged
    int taken = 0;
};

// The dominant frequency and level of a channel.
struct Dominant {
    double hz = -1, db = -300;
};

// A spectrum frame of the latest 2 * bins samples into `out`, or false when
// the ring holds too few; the dominant frequency of each channel into
// `dominant`.
bool spectrum_frame(const Acquisition& acq, const View& view, SpectrumState& state, uint32_t seq, std::string& out,
                    std::vector<Dominant>& dominant);

}  // namespace kelmo::view
