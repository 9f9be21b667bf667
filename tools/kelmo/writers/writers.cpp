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

// A writer on a file of its own, made (or emptied) for it; a file it made
// and could not begin goes again.
std::unique_ptr<SampleWriter> on_new_file(const OutputTarget& t,
                                          std::unique_ptr<SampleWriter> (*writer)(OutFile, const OutputTarget&)) {
    OutFile out;
    if (!OutFile::open(t.path, out)) {
        say("kelmo: cannot write %s: %s", t.path.c_str(), std::strerror(errno));
        return nullptr;
    }
    const bool created = out.regular();
    std::unique_ptr<SampleWriter> w = writer(std::move(out), t);
    if (!w && created) discard_output(t.path);
    return w;
}

std::unique_ptr<SampleWriter> open_csv(const OutputTarget& t) {
    if (t.path == "-") return csv_writer(OutFile(1, false, "standard output"), t);
    return on_new_file(t, csv_writer);
}

std::unique_ptr<SampleWriter> open_wav(const OutputTarget& t) {
    if (t.path == "-") {
        kelmo::tools::binary_standard_output();
        return wav_writer(OutFile(1, false, "standard output"), t);
    }
#ifdef KELMO_HAVE_SNDFILE
    return sndfile_writer(t);
#else
    return on_new_file(t, wav_writer);
#endif
}

std::unique_ptr<SampleWriter> open_npy(const OutputTarget& t) { return on_new_file(t, npy_writer); }

#ifdef KELMO_HAVE_SNDFILE
constexpr auto kFlac = &sndfile_writer;
#else
constexpr std::unique_ptr<SampleWriter> (*kFlac)(const OutputTarget&) = nullptr;
#endif
#ifdef KELMO_HAVE_HDF5
constexpr auto kHdf5 = &hdf5_writer;
#else
constexpr std::unique_ptr<SampleWriter> (*kHdf5)(const OutputTarget&) = nullptr;
#endif
#ifdef KELMO_HAVE_LIBZIP
constexpr auto kSigrok = &sigrok_writer;
#else
constexpr std::unique_ptr<SampleWriter> (*kSigrok)(const OutputTarget&) = nullptr;
#endif

const Format kFormats[] = {
    // name   extensions         called                   streams compresses raw  params channels
    {"csv", {".csv", nullptr}, "a CSV file", true, false, false, false, 0, open_csv, nullptr},
    {"wav", {".wav", nullptr}, "a WAV file", true, false, false, false, 0, open_wav, nullptr},
    {"flac", {".flac", nullptr}, "a FLAC file", true, false, false, false, 8, kFlac,
     "no FLAC writer (it was built without libsndfile); write WAV, CSV or .npy instead"},
    {"npy", {".npy", nullptr}, "a .npy array", false, false, true, true, 0, open_npy, nullptr},
    {"h5", {".h5", ".hdf5"}, "an HDF5 file", false, true, true, true, 0, kHdf5,
     "no HDF5 writer (it was built without libhdf5); write CSV, WAV or .npy instead"},
    {"sr", {".sr", nullptr}, "a sigrok session file", false, true, false, false, 0, kSigrok,
     "no sigrok session writer (it was built without libzip); write CSV, WAV or .npy instead"},
};

}  // namespace

const Format* format_named(const std::string& name) {
    for (const Format& f : kFormats)
        if (name == f.name) return &f;
    return nullptr;
}

std::vector<std::string> format_names() {
    std::vector<std::string> names;
    for (const Format& f : kFormats) names.emplace_back(f.name);
    return names;
}

bool is_format(const std::string& name) { return format_named(name) != nullptr; }

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
    for (const Format& f : kFormats) {
        for (const char* e : f.extensions) {
            if (!e) break;
            if (ext == e) return f.name;
            names += std::string(names.empty() ? "" : " or ") + e;
        }
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

std::unique_ptr<SampleWriter> open_output(const OutputTarget& target) {
    const Format* f = format_named(target.format);
    if (!f) {
        say("kelmo: no writer writes the format '%s'; give %s", target.format.c_str(), format_list().c_str());
        return nullptr;
    }
    if (!f->streams && target.path == "-") {
        say("kelmo: %s cannot go to standard output: it is written in place as the run "
            "grows; write it to a file, or stream CSV or WAV",
            f->called);
        return nullptr;
    }
    if (!f->streams && kelmo::tools::kind_of_path(target.path) == kelmo::tools::FileKind::Stream) {
        // Told before the pipe is opened, which would wait for a reader.
        say("kelmo: cannot write %s: it is a pipe, and %s cannot stream: it is rewritten as it grows; write it "
            "to a file, or stream CSV, WAV or FLAC",
            target.path.c_str(), f->called);
        return nullptr;
    }
    if (!f->open) {
        say("kelmo: this build of kelmo has %s", f->missing);
        return nullptr;
    }
    if (target.path == "-") std::fflush(stdout);
    return f->open(target);
}

void discard_output(const std::string& path) {
    if (kelmo::tools::kind_of_path(path) == kelmo::tools::FileKind::Regular) std::remove(path.c_str());
}

}  // namespace kelmo::cli
