// An output file as the writers hold it: a descriptor whose every write is
// checked, that knows how far its whole records reach, and that takes back
// what a failed write left behind them where the file allows (a regular
// file is cut back; a pipe keeps what went out).
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "../../portable.h"
#include "say.h"
#include "stream.h"

namespace kelmo::cli {

class OutFile {
public:
    OutFile() = default;
    // `fd` (owned: closed with the file) under `name`, the name its failures
    // are reported under.
    OutFile(int fd, bool owned, std::string name) : fd_(fd), owned_(owned), name_(std::move(name)) {
        kind_ = kelmo::tools::kind_of_descriptor(fd);
        const int64_t at = kind_ == kelmo::tools::FileKind::Regular ? kelmo::tools::position_of(fd) : -1;
        start_ = at > 0 ? uint64_t(at) : 0;
    }
    OutFile(OutFile&& o) noexcept { *this = std::move(o); }
    OutFile& operator=(OutFile&& o) noexcept {
        if (this != &o) {
            close();
            fd_ = std::exchange(o.fd_, -1);
            owned_ = o.owned_;
            kind_ = o.kind_;
            name_ = std::move(o.name_);
            start_ = o.start_;
            end_ = o.end_;
            failed_ = o.failed_;
            quiet_ = o.quiet_;
            err_ = o.err_;
        }
        return *this;
    }
    ~OutFile() { close(); }

    // `path` opened write-only, created or emptied; false with errno.
    static bool open(const std::string& path, OutFile& out) {
        const int fd = kelmo::tools::open_for_writing(path);
        if (fd < 0) return false;
        out = OutFile(fd, true, path);
        return true;
    }

    int fd() const { return fd_; }
    const std::string& name() const { return name_; }
    // A regular file: it can be rewritten in place and cut back. Anything
    // else (a pipe, a terminal, a device) only takes what follows.
    bool regular() const { return kind_ == kelmo::tools::FileKind::Regular; }
    bool failed() const { return failed_; }
    // The bytes appended since the file was opened.
    uint64_t size() const { return end_; }

    // Appends all of `data`; false (once the first failure is said, naming
    // the file and the cause) when any of it could not be written.
    // `wrote`: how much of it reached the file all the same.
    bool append(const void* data, std::size_t n, std::size_t* wrote = nullptr) {
        std::size_t done = 0;
        const auto* p = static_cast<const char*>(data);
        while (!failed_ && done < n) {
            const long r = kelmo::tools::write_some(fd_, p + done, n - done);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                fail(r < 0 ? errno : ENOSPC);
                break;
            }
            done += std::size_t(r);
        }
        end_ += done;
        if (wrote) *wrote = done;
        return !failed_ && done == n;
    }
    // Writes `data` over the file at `at` (from where it was opened), as
    // pwrite does; for a regular file only.
    bool write_at(const void* data, std::size_t n, uint64_t at) {
        std::size_t done = 0;
        const auto* p = static_cast<const char*>(data);
        while (done < n) {
            const long r = kelmo::tools::write_some_at(fd_, p + done, n - done, start_ + at + done);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                if (r == 0) errno = ENOSPC;
                return false;
            }
            done += std::size_t(r);
        }
        return true;
    }
    // The file cut back to its first `size` bytes (from where it was
    // opened): what a failed write left beyond its last whole record goes.
    // Nothing happens to a file that is not regular, or that another
    // writer has made longer than this one wrote.
    bool cut_back(uint64_t size) {
        if (!regular() || size >= end_) return size == end_;
        const int64_t at = kelmo::tools::position_of(fd_);
        if (at < 0 || uint64_t(at) != start_ + end_) return false;
        if (!kelmo::tools::truncate_descriptor(fd_, start_ + size)) return false;
        end_ = size;
        return kelmo::tools::seek_to(fd_, start_ + size);
    }
    // Reports the failure, once: the file counts as failed from then on.
    bool fail(int err) {
        if (!failed_) {
            err_ = err;
            if (!quiet_) report_failure(name_, err);
        }
        failed_ = true;
        return false;
    }
    // The cause of the first failure, in the system's words.
    std::string cause() const { return err_ != 0 ? std::strerror(err_) : "an earlier write was lost"; }
    int error() const { return err_; }
    // Failures are not said: the owner says them in its own words.
    void quiet() { quiet_ = true; }
    // Closes a descriptor of its own; false when that failed (said).
    bool close() {
        if (fd_ < 0) return !failed_;
        const int fd = std::exchange(fd_, -1);
        if (owned_ && !kelmo::tools::close_descriptor(fd)) fail(errno);
        return !failed_;
    }

private:
    int fd_ = -1;
    bool owned_ = false;
    kelmo::tools::FileKind kind_ = kelmo::tools::FileKind::Other;
    std::string name_;
    uint64_t start_ = 0, end_ = 0;
    bool failed_ = false, quiet_ = false;
    int err_ = 0;
};

}  // namespace kelmo::cli
