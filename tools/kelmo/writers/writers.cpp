// The facts every file gives, and the writer for each output.
#include "out_file.h"
#include "say.h"
#include "writer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "../../portable.h"
#include "kelmo.h"

namespace kelmo::cli {
namespace {

// The formats and the extensions of names written in them: the one table
// of what the writers know, which the tool's -O, its names' extensions and
// the recording interface all ask.
struct Writer {
    const char* extension;
    const char* format;
};
constexpr Writer kWriters[] = {{".csv", "csv"}, {".wav", "wav"}, {".flac", "flac"}, {".npy", "npy"},
                               {".h5", "h5"},   {".hdf5", "h5"}, {".sr", "sr"}};

}  // namespace

std::vector<std::string> format_names() {
    std::vector<std::string> names;
    for (const Writer& w : kWriters)
        if (std::find(names.begin(), names.end(), w.format) == names.end()) names.emplace_back(w.format);
    return names;
}

bool is_format(const std::string& name) {
    const auto names = format_names();
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool format_compresses(const std::string& format) { return format == "h5" || format == "sr"; }

std::string format_list(const char* last) {
    const auto names = format_names();
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i)
        out.append(i == 0 ? "" : i + 1 == names.size() ? std::string(" ") + last + " " : ", ").append(names[i]);
    return out;
}

std::string format_of(const std::string& path, std::string* known) {
    if (path == "-") return "csv";
    const auto slash = path.find_last_of("/\\");
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 == path.size() ||
        dot == (slash == std::string::npos ? 0 : slash + 1))
        return "csv";
    std::string ext = path.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char ch) { return std::tolower(ch); });
    std::string names;
    for (const Writer& w : kWriters) {
        if (ext == w.extension) return w.format;
        names += std::string(names.empty() ? "" : " or ") + w.extension;
    }
    if (known) *known = names;
    return "";
}

std::vector<std::pair<std::string, std::string>> run_facts(const OutputTarget& t) {
    auto number = [](double v) {
        char b[32];
        std::snprintf(b, sizeof b, "%.10g", v);
        return std::string(b);
    };
    std::string channels, gains;
    for (int c : t.channels) {
        channels.append(channels.empty() ? "" : ",").append(std::to_string(c));
        gains.append(gains.empty() ? "" : ",").append(std::to_string(t.gain));
    }
    char start[32] = "";
    const std::tm utc = kelmo::tools::utc_of(std::time(nullptr));
    std::strftime(start, sizeof start, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return {{"kelmo", std::string(KELMO_TOOL_VERSION) + " (library " + kelmo_version() + ")"},
            {"card type", std::to_string(t.cardType)},
            {"rate", number(t.rate) + " Hz"},
            {"channels", channels},
            {"gains", gains},
            {"unit", "the card type's engineering unit"},
            {"full scale", number(t.fullScale)},
            {"start", start}};
}

FileStrings file_strings(const OutputTarget& t) {
    FileStrings s;
    for (const auto& [name, value] : run_facts(t)) {
        if (name == "kelmo") s.software = "kelmo " + value;
        else if (name == "start") s.date = value;
        else s.comment.append(s.comment.empty() ? "" : "; ").append(name).append(": ").append(value);
    }
    char factor[64];
    std::snprintf(factor, sizeof factor, "; factor: %.10g (1.0 in the file is that many units)",
                  t.fullScale > 0 ? t.fullScale : 1.0);
    s.comment += factor;
    return s;
}

namespace {

// What a format that is rewritten in place as it grows is called, for the
// line that says it cannot stream.
const char* rewritten(const std::string& format) {
    return format == "npy" ? "a .npy array" : format == "h5" ? "an HDF5 file" : "a sigrok session file";
}

}  // namespace

std::unique_ptr<SampleWriter> open_output(const OutputTarget& target) {
    const bool inPlace = target.format == "npy" || target.format == "h5" || target.format == "sr";
    if (target.path == "-") {
        if (inPlace) {
            say("kelmo: %s cannot go to standard output: it is written in place as the run "
                "grows; write it to a file, or stream CSV or WAV",
                rewritten(target.format));
            return nullptr;
        }
        std::fflush(stdout);
        if (target.format == "wav") {
            kelmo::tools::binary_standard_output();
            return wav_writer(OutFile(1, false, "standard output"), target);
        }
        if (target.format != "flac") return csv_writer(OutFile(1, false, "standard output"), target);
    } else if (inPlace && kelmo::tools::kind_of_path(target.path) == kelmo::tools::FileKind::Stream) {
        // Told before the pipe is opened, which would wait for a reader.
        say("kelmo: cannot write %s: it is a pipe, and %s cannot stream: it is rewritten as it grows; write it "
            "to a file, or stream CSV, WAV or FLAC",
            target.path.c_str(), rewritten(target.format));
        return nullptr;
    }
    if (target.format == "flac") {
#ifdef KELMO_HAVE_SNDFILE
        return sndfile_writer(target);
#else
        say("kelmo: this build of kelmo has no FLAC writer (it was built without libsndfile); "
            "write WAV, CSV or .npy instead");
        return nullptr;
#endif
    }
#ifdef KELMO_HAVE_SNDFILE
    if (target.format == "wav") return sndfile_writer(target);
#endif
    if (target.format == "h5") {
#ifdef KELMO_HAVE_HDF5
        return hdf5_writer(target);
#else
        say("kelmo: this build of kelmo has no HDF5 writer (it was built without libhdf5); "
                             "write CSV, WAV or .npy instead");
        return nullptr;
#endif
    }
    if (target.format == "sr") {
#ifdef KELMO_HAVE_LIBZIP
        return sigrok_writer(target);
#else
        say("kelmo: this build of kelmo has no sigrok session writer (it was built without libzip); "
                             "write CSV, WAV or .npy instead");
        return nullptr;
#endif
    }
    OutFile out;
    if (!OutFile::open(target.path, out)) {
        say("kelmo: cannot write %s: %s", target.path.c_str(), std::strerror(errno));
        return nullptr;
    }
    const bool created = out.regular();
    std::unique_ptr<SampleWriter> w = target.format == "wav"   ? wav_writer(std::move(out), target)
                                      : target.format == "npy" ? npy_writer(std::move(out), target)
                                                               : csv_writer(std::move(out), target);
    if (!w && created) discard_output(target.path);
    return w;
}

void discard_output(const std::string& path) {
    if (kelmo::tools::kind_of_path(path) == kelmo::tools::FileKind::Regular) std::remove(path.c_str());
}

}  // namespace kelmo::cli
