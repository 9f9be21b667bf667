// The writers of recordings as a C interface of their own, for hosts that
// hold the acquisition themselves (the Python package): the same files as
// kelmo acquire -o writes, through the same code and the same queue.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "queued.h"
#include "raw_words.h"
#include "say.h"
#include "writer.h"

#if defined(_WIN32)
#define KELMO_RECORD_API extern "C" __declspec(dllexport)
#else
#define KELMO_RECORD_API extern "C" __attribute__((visibility("default")))
#endif

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

// The lines the writers said, kept for the host to read with the failure.
std::mutex gSaidMutex;
std::string gSaid;

void keep_said() {
    static const bool once = [] {
        kelmo::cli::set_say_sink([](const std::string& line) {
            std::lock_guard<std::mutex> lock(gSaidMutex);
            if (!gSaid.empty()) gSaid += '\n';
            // Without the tool's own name: the host says whose words they are.
            gSaid += line.rfind("kelmo: ", 0) == 0 ? line.substr(7) : line;
        });
        return true;
    }();
    (void)once;
}

void said(const std::string& line) {
    std::lock_guard<std::mutex> lock(gSaidMutex);
    if (!gSaid.empty()) gSaid += '\n';
    gSaid += line;
}

}  // namespace

// A recording, or null with the reason for kelmo_record_said.
KELMO_RECORD_API void* kelmo_record_open(const RecordTarget* t) {
    keep_said();
    try {
        if (!t || !t->path || !*t->path || t->channelCount < 1 || (t->channelCount > 0 && !t->channels) ||
            !(t->rate > 0)) {
            said("the recording's file, channels and rate must be given");
            return nullptr;
        }
        kelmo::cli::OutputTarget target;
        target.path = t->path;
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
        if (t->rawBytes != 0) {
            if ((t->rawBytes != 2 && t->rawBytes != 4) || (target.format != "h5" && target.format != "npy")) {
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
        auto out = kelmo::cli::open_output(target);
        if (!out) return nullptr;  // the writer said why
        out = kelmo::cli::queued(std::move(out), target.rate, t->channelCount,
                                 t->bufferSeconds > 0 ? t->bufferSeconds : 4.0);
        return out.release();
    } catch (const std::bad_alloc&) {
        said("no memory for the recording");
    } catch (...) {
        said("the recording could not be opened");
    }
    return nullptr;
}

// One block: `len` samples of every channel, channel c at data[c * stride].
// 1 when taken, 0 when the recording failed (its reason in
// kelmo_record_said; the recording takes nothing more, and is to be
// finished).
KELMO_RECORD_API int kelmo_record_block(void* recording, const double* data, int len, int stride) {
    if (!recording || !data || len < 0 || stride < len) return 0;
    try {
        return static_cast<SampleWriter*>(recording)->block(data, len, stride) ? 1 : 0;
    } catch (...) {
        said("the block could not be taken");
        return 0;
    }
}

// Completes the file, closes it and frees the recording: 1 when every
// sample is in the file.
KELMO_RECORD_API int kelmo_record_finish(void* recording) {
    if (!recording) return 0;
    std::unique_ptr<SampleWriter> out(static_cast<SampleWriter*>(recording));
    try {
        return out->finish() ? 1 : 0;
    } catch (...) {
        said("the recording could not be completed");
        return 0;
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

// What the writers said since the last call (lines joined by "\n"), into
// `buf` of `size` bytes, cut to fit and terminated; returns the length of
// the whole text. The text is cleared once read into a buffer.
KELMO_RECORD_API int kelmo_record_said(char* buf, int size) {
    std::lock_guard<std::mutex> lock(gSaidMutex);
    const int n = static_cast<int>(gSaid.size());
    if (buf && size > 0) {
        const int kept = std::min(n, size - 1);
        std::memcpy(buf, gSaid.data(), std::size_t(kept));
        buf[kept] = '\0';
        gSaid.clear();
    }
    return n;
}
