// Where the samples of a run go as they arrive: the writers of every file
// format, behind one interface.
#pragma once

#include <array>
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

// Raw words instead of values: their width and the conversion's straight
// line, value = word * scale + offset.
struct RawWords {
    int bytes = 0;  // 2 or 4; 0: the samples are values
    bool isSigned = true;
    double scale = 1, offset = 0;
};

struct OutputTarget {
    std::string path;    // "-": standard output
    std::string format;  // "csv", "wav", "flac", "npy", "h5", "sr", …
    double rate = 0;
    std::vector<int> channels;  // the number of each channel written
    double fullScale = 0;
    // What the file says about the run.
    int cardType = 0;
    int gain = 1;
    uint32_t divider = 0;   // the sampling divider the run used
    bool compress = false;  // where the format can: HDF5's gzip and shuffle, sigrok's deflate
    RawWords raw;           // where the format holds words: HDF5 and .npy
    // The simulated source's published parameters, one line per entry
    // ("entry  0  cosine …"); empty for the other sources.
    std::vector<std::string> parameters;
};

// The facts of a run as "name: value" pairs, in the order files give them:
// kelmo's version, card type, rate, channels, gains, unit, full scale and
// the start (ISO 8601, UTC, taken now).
std::vector<std::pair<std::string, std::string>> run_facts(const OutputTarget& target);

// One row per file format: all the writers know of it, asked by the tool's
// checks and help, the recording interface and, through it, Python.
struct Format {
    const char* name;                       // as -O takes it: "csv", "h5" …
    std::array<const char*, 2> extensions;  // of names written in it (".h5", ".hdf5"); nullptr: no more
    const char* called;                     // in a sentence: "an HDF5 file"
    bool streams;                           // to a pipe or standard output: it is never rewritten
    bool compresses;                        // --compress (HDF5's gzip, sigrok's deflate)
    bool rawWords;                          // --raw: the card's words, with their scale and offset
    bool parameters;                        // the simulated source's published parameters
    int mostChannels;                       // 0: any number
    // Its writer; nullptr where this build has none (`missing` says why and
    // what to write instead).
    std::unique_ptr<SampleWriter> (*open)(const OutputTarget&);
    const char* missing;
};
// The row of a format by its name (exactly: "h5", not "hdf5" or "H5"), or
// nullptr.
const Format* format_named(const std::string& name);

// The formats the writers know, by the names -O takes ("csv", "wav", …),
// each once, in the order they are listed to a user.
std::vector<std::string> format_names();
// Whether `name` is one of them.
bool is_format(const std::string& name);
// The names as a list for a sentence: "csv, wav, …, h5 or sr" (`last`: "or").
std::string format_list(const char* last = "or");

// The format of an output's name: "-" and a name without an extension are
// CSV; "" for an extension no writer knows (`known` then lists those that
// are, "… or …").
std::string format_of(const std::string& path, std::string* known = nullptr);

// The facts as an audio file's strings: the software ("kelmo" and its
// version), the date (the start) and a comment with the rest and the factor
// from 1.0 in the file to the card's units.
struct FileStrings {
    std::string software, date, comment;
};
FileStrings file_strings(const OutputTarget& target);

// The writer, or nullptr after one line on stderr when the output cannot
// be opened (or a write failed before the first sample: the file it made
// is gone then).
std::unique_ptr<SampleWriter> open_output(const OutputTarget& target);
// Removes the regular file a writer made at `path` and could not begin.
void discard_output(const std::string& path);
// The writers of each format on a file opened for them, or nullptr once the
// file's first write failed (said).
class OutFile;
std::unique_ptr<SampleWriter> csv_writer(OutFile out, const OutputTarget& target);
std::unique_ptr<SampleWriter> wav_writer(OutFile out, const OutputTarget& target);
std::unique_ptr<SampleWriter> npy_writer(OutFile out, const OutputTarget& target);
// The file beside a .npy array that holds the run's facts: its name with
// .json for its extension, or with .json after it where that would be the
// array itself (run.json.json for an array named run.json).
std::string npy_facts_path(const std::string& path);
// The HDF5 writer (in builds with HDF5), or nullptr after one line on stderr.
std::unique_ptr<SampleWriter> hdf5_writer(const OutputTarget& target);
// WAV and FLAC through libsndfile (in builds with it), or nullptr after one
// line on stderr; a WAV that cannot seek (a pipe) goes to wav_writer.
std::unique_ptr<SampleWriter> sndfile_writer(const OutputTarget& target);
// The sigrok session writer (in builds with libzip), or nullptr after one
// line on stderr.
std::unique_ptr<SampleWriter> sigrok_writer(const OutputTarget& target);

}  // namespace kelmo::cli
