// Where the samples of a run go as they arrive: the writers of every file
// format, behind one interface.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kelmo::cli {

class SampleWriter {
public:
    virtual ~SampleWriter() = default;
    // One block: `len` samples of every channel, channel c at
    // data[c * stride ...]. False when a write failed (after one line on
    // stderr naming the output and the cause); the writer then takes
    // nothing more, and the run is to stop.
    virtual bool block(const double* data, int len, int stride) = 0;
    // Completes and closes the output; false when any write failed (one
    // line on stderr, unless block() gave it already).
    virtual bool finish() = 0;
};

struct OutputTarget {
    std::string path;    // "-": standard output
    std::string format;  // "csv", "wav", "npy", "h5" or "sr"
    double rate = 0;
    std::vector<int> channels;  // the number of each channel written
    double fullScale = 0;
    // What the file says about the run.
    int cardType = 0;
    int gain = 1;
    uint32_t divider = 0;   // the sampling divider the run used
    bool compress = false;  // where the format can: HDF5's gzip and shuffle, sigrok's deflate
};

// The facts of a run as "name: value" pairs, in the order files give them:
// kelmo's version, card type, rate, channels, gains, unit, full scale and
// the start (ISO 8601, UTC, taken now).
std::vector<std::pair<std::string, std::string>> run_facts(const OutputTarget& target);

// The writer, or nullptr after one line on stderr when the output cannot
// be opened.
std::unique_ptr<SampleWriter> open_output(const OutputTarget& target);
// The writers of each format on a stream opened for them (owned: closed by
// the writer).
std::unique_ptr<SampleWriter> csv_writer(std::FILE* f, bool owned, const OutputTarget& target);
std::unique_ptr<SampleWriter> wav_writer(std::FILE* f, bool owned, const OutputTarget& target);
std::unique_ptr<SampleWriter> npy_writer(std::FILE* f, const OutputTarget& target);
// The HDF5 writer (in builds with HDF5), or nullptr after one line on stderr.
std::unique_ptr<SampleWriter> hdf5_writer(const OutputTarget& target);
// The sigrok session writer (in builds with libzip), or nullptr after one
// line on stderr.
std::unique_ptr<SampleWriter> sigrok_writer(const OutputTarget& target);

}  // namespace kelmo::cli
