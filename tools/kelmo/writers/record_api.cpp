// The writers of recordings as a C interface of their own, for hosts that
// hold the acquisition themselves (the Python package): the same files as
// kelmo acquire -o writes, through the same code and the same queue.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "../../portable.h"
#include "queued.h"
#include "raw_words.h"
#include "say.h"
#include "writer.h"

#define KELMO_RECORD_API KELMO_TOOL_EXPORT

namespace {

using kelmo::cli::SampleWriter;

// What a host passes to open a recording (the layout the Python package
// mirrors with ctypes).
struct RecordTarget {
    const char* path;
    const char* format;      // null or "": from the name's extension
    double rate;
    int32_t channelCount;
    const int32_t* channels;  // the physical numbers
    double fullScale;
    int32_t cardType;
    int32_t gain;
    uint32_t divider;
    int32_t compress;
    int32_t rawBytes;        // 0: values; 2 or 4: raw words
    int32_t rawSigned;
    double rawScale, rawOffset;
    const char* parameters;  // the published parameters, one per line, or null
    double bufferSeconds;
};

// The lines the writers said. Each recording keeps its own (a host runs
// several at once, each of which must give its own reason), and so does
// each thread for the opening that gave it no recording; every line is also
// kept for the whole process (kelmo_record_said, for hosts that read that).
struct Said {
    std::mutex mutex;
    std::string text;
    void add(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!text.empty()) text += '\n';
        text += line;
    }
    std::string get() {
        std::lock_guard<std::mutex> lock(mutex);
        return text;
    }
};

std::mutex gSaidMutex;
std::string gSaid;
thread_local std::string tOpenFailed;  // why this thread's last kelmo_record_open gave null

void said_by_process(const std::string& line) {
    std::lock_guard<std::mutex> lock(gSaidMutex);
    if (!gSaid.empty()) gSaid += '\n';
    gSaid += line;
}

// Without the tool's own name: the host says whose words they are.
std::string without_name(const std::string& line) { return line.rfind("kelmo: ", 0) == 0 ? line.substr(7) : line; }

void keep_said() {
    static const bool once = [] {
        kelmo::cli::set_say_sink([](const std::string& line) { said_by_process(without_name(line)); });
        return true;
    }();
    (void)once;
}

// A recording: its writer (behind the queue) and what was said about it.
struct Recording {
    std::unique_ptr<SampleWriter> out;
    std::shared_ptr<Said> said = std::make_shared<Said>();
};

// The writers' lines on this thread (and on the threads started for the
// writer here) go to `said` while this lives.
struct SayingTo {
    explicit SayingTo(const std::shared_ptr<Said>& said)
        : here([said](const std::string& line) {
              const std::string l = without_name(line);
              said->add(l);
              said_by_process(l);
          }) {}
    kelmo::cli::SayOnThisThread here;
};

int copy_out(const std::string& text, char* buf, int size) {
    const int n = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX));
    if (buf && size > 0) {
        const int kept = std::min(n, size - 1);
        std::memcpy(buf, text.data(), std::size_t(kept));
        buf[kept] = '\0';
    }
    return n;
}

void* open_recording(const RecordTarget* t, Recording& rec) {
    const auto said = [&rec](const std::string& line) {
        rec.said->add(line);
        said_by_process(line);
    };
    if (!t || !t->path || !*t->path || t->channelCount < 1 || (t->channelCount > 0 && !t->channels) ||
        !(t->rate > 0)) {
        said("the recording's file, channels and rate must be given");
        return nullptr;
    }
    kelmo::cli::OutputTarget target;
    target.path = t->path;
    if (t->format && *t->format && !kelmo::cli::is_format(t->format)) {
        said(std::string("no writer writes the format '") + t->format + "'; give " + kelmo::cli::format_list() +
             ", or none to take it from the file's extension");
        return nullptr;
    }
    std::string known;
    target.format = t->format && *t->format ? t->format : kelmo::cli::format_of(t->path, &known);
    if (target.format.empty()) {
        said(std::string("no writer knows the extension of ") + t->path + "; name the file " + known);
        return nullptr;
    }
    if (target.path == "-") {
        said("a recording goes to a file, not to standard output");
        return nullptr;
    }
    target.rate = t->rate;
    target.channels.assign(t->channels, t->channels + t->channelCount);
    target.fullScale = t->fullScale;
    target.cardType = t->cardType;
    target.gain = t->gain;
    target.divider = t->divider;
    target.compress = t->compress != 0;
    const kelmo::cli::Format* row = kelmo::cli::format_named(target.format);
    if (target.compress && (!row || !row->compresses)) {
        said("compression is for HDF5 (.h5) and sigrok (.sr) files only, and this recording writes " +
             target.format + "; write one of those, or record without compression");
        return nullptr;
    }
    if (t->rawBytes != 0) {
        if ((t->rawBytes != 2 && t->rawBytes != 4) || !row || !row->rawWords) {
            said("raw words go into HDF5 (.h5) or NumPy (.npy) files only, of 2 or 4 bytes");
            return nullptr;
        }
        target.raw = {t->rawBytes, t->rawSigned != 0, t->rawScale, t->rawOffset};
    }
    if (t->parameters) {
        std::string rest = t->parameters;
        for (std::size_t at = 0; at < rest.size();) {
            const auto end = rest.find('\n', at);
            const std::string line = rest.substr(at, end == std::string::npos ? std::string::npos : end - at);
            if (!line.empty()) target.parameters.push_back(line);
            at = end == std::string::npos ? rest.size() : end + 1;
        }
    }
    SayingTo sayingTo(rec.said);  // the writer's lines, and its queue thread's, are this recording's
    auto out = kelmo::cli::open_output(target);
    if (!out) return nullptr;  // the writer said why
    rec.out = kelmo::cli::queued(std::move(out), target.rate, t->channelCount,
                                 t->bufferSeconds > 0 ? t->bufferSeconds : 4.0);
    return &rec;
}

}  // namespace

// A recording, or null with the reason for kelmo_record_reason(null, ...)
// (and kelmo_record_said).
KELMO_RECORD_API void* kelmo_record_open(const RecordTarget* t) {
    keep_said();
    auto rec = std::make_unique<Recording>();
    try {
        if (open_recording(t, *rec)) {
            tOpenFailed.clear();
            return rec.release();
        }
        tOpenFailed = rec->said->get();
    } catch (const std::bad_alloc&) {
        tOpenFailed = "no memory for the recording";
        said_by_process(tOpenFailed);
    } catch (...) {
        tOpenFailed = "the recording could not be opened";
        said_by_process(tOpenFailed);
    }
    return nullptr;
}

// One block: `len` samples of every channel, channel c at data[c * stride].
// 1 when taken, 0 when the recording failed (its reason in
// kelmo_record_reason; the recording takes nothing more, and is to be
// finished).
KELMO_RECORD_API int kelmo_record_block(void* recording, const double* data, int len, int stride) {
    if (!recording || !data || len < 0 || stride < len) return 0;
    auto* rec = static_cast<Recording*>(recording);
    try {
        SayingTo sayingTo(rec->said);
        return rec->out->block(data, len, stride) ? 1 : 0;
    } catch (...) {
        rec->said->add("the block could not be taken");
        return 0;
    }
}

// What was said about `recording` (its lines joined by "\n": why it
// failed), or with null why the calling thread's last kelmo_record_open
// gave null, into `buf` of `size` bytes, cut to fit and terminated; returns
// the length of the whole text ("" and 0 when nothing went wrong).
KELMO_RECORD_API int kelmo_record_reason(void* recording, char* buf, int size) {
    try {
        return copy_out(recording ? static_cast<Recording*>(recording)->said->get() : tOpenFailed, buf, size);
    } catch (...) {
        return copy_out("", buf, size);
    }
}

// Completes the file, closes it and frees the recording: 1 when every
// sample is in the file. Its reason, when not, goes into `why` of `size`
// bytes as kelmo_record_reason gives it (`why` may be null).
KELMO_RECORD_API int kelmo_record_close(void* recording, char* why, int size) {
    if (!recording) return 0;
    std::unique_ptr<Recording> rec(static_cast<Recording*>(recording));
    int ok = 0;
    try {
        SayingTo sayingTo(rec->said);
        ok = rec->out->finish() ? 1 : 0;
    } catch (...) {
        rec->said->add("the recording could not be completed");
    }
    try {
        copy_out(ok ? std::string() : rec->said->get(), why, size);
    } catch (...) {
        copy_out("", why, size);
    }
    return ok;
}

// kelmo_record_close without the reason (read kelmo_record_said instead).
KELMO_RECORD_API int kelmo_record_finish(void* recording) { return kelmo_record_close(recording, nullptr, 0); }

// The formats the writers know (what a recording's `format` may be), as
// names separated by spaces ("csv wav flac npy h5 sr"), into `buf` as
// kelmo_record_reason writes; returns the length of the whole text.
KELMO_RECORD_API int kelmo_record_formats(char* buf, int size) {
    try {
        std::string names;
        for (const auto& n : kelmo::cli::format_names()) names.append(names.empty() ? "" : " ").append(n);
        return copy_out(names, buf, size);
    } catch (...) {
        return copy_out("", buf, size);
    }
}

// The line along which a card type's raw words give its values: 1 and the
// line, or 0 when its words do not map onto values by a scale and offset.
KELMO_RECORD_API int kelmo_record_raw_line(int32_t cardType, int32_t bytes, int32_t* isSigned, double* scale,
                                           double* offset) {
    if (!isSigned || !scale || !offset) return 0;
    const auto line = kelmo::cli::raw_line(cardType, bytes);
    if (!line) return 0;
    *isSigned = line->isSigned ? 1 : 0;
    *scale = line->scale;
    *offset = line->offset;
    return 1;
}

// What the writers of every recording said since the last call (lines
// joined by "\n"), into `buf` of `size` bytes, cut to fit and terminated;
// returns the length of the whole text. The text is cleared once read into
// a buffer. One text for the whole process: a host that runs recordings
// side by side asks kelmo_record_reason instead.
KELMO_RECORD_API int kelmo_record_said(char* buf, int size) {
    std::lock_guard<std::mutex> lock(gSaidMutex);
    const int n = copy_out(gSaid, buf, size);
    if (buf && size > 0) gSaid.clear();
    return n;
}
