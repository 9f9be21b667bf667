// An output stream of the kelmo host and the name its failure is reported
// under, for the writers of its file formats.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "say.h"
namespace kelmo::cli {

inline void report_failure(const std::string& name, int err) {
    say("kelmo: writing %s failed: %s", name.c_str(),
                 err != 0 ? std::strerror(err) : "an earlier write was lost");
}

// A stream and the name its failure is reported under. Only the first
// failure is reported; after it the stream counts as failed for good.
class Stream {
public:
    Stream(FILE* f, bool owned, std::string name) : f_(f), owned_(owned), name_(std::move(name)) {}
    ~Stream() {
        if (f_ && owned_) std::fclose(f_);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    FILE* get() const { return f_; }
    bool failed() const { return failed_; }
    // Right after writes: false once any of them failed (errno still holds
    // the cause then).
    bool ok() {
        if (!failed_ && f_ && std::ferror(f_)) fail(errno);
        return !failed_;
    }
    bool fail(int err) {
        if (!failed_) report_failure(name_, err);
        failed_ = true;
        return false;
    }
    bool flush() {
        if (!failed_ && f_ && std::fflush(f_) != 0) fail(errno);
        return ok();
    }
    // Flushes, and closes a stream of its own; false when anything written
    // was lost.
    bool close() {
        flush();
        if (owned_) {
            const int r = std::fclose(f_);
            const int err = errno;
            f_ = nullptr;
            if (r != 0) fail(err);
        }
        return !failed_;
    }

private:
    FILE* f_;
    bool owned_;
    std::string name_;
    bool failed_ = false;
};

inline std::string display_name(const std::string& path) { return path == "-" ? "standard output" : path; }

}  // namespace kelmo::cli
