// sigrok's session file (.sr), as sigrok-cli and PulseView open it: a zip in
// the layout libsigrok 0.5 writes itself. "version" holds 2; "metadata" is
// an INI with [global] and [device 1] (the samplerate, "total analog" and
// the channels' names: analog1=CH0, analog2=CH3 ...); the samples of
// channel n are float32 in the entries analog-1-n-1, analog-1-n-2 ..., one
// per chunk. sigrok's metadata has no keys for the rest of the run's facts:
// they go to one small entry of their own, kelmo.txt ("name: value" lines,
// as a CSV starts with), which sigrok passes over.
//
// The archive is written in place, chunk by chunk. The samples wait in
// memory until a chunk is full (4 MiB, or a second of the run); then libzip adds the chunk's entries behind
// those in the file and writes the central directory anew. Between two
// chunks the file is a complete archive, so a run that ends there (a full
// disk, Ctrl-C, even kelmo killed) leaves one that opens, holding every
// chunk written so far; and the samples are never copied a second time.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "../../portable.h"
#include "say.h"
#include "writer.h"

namespace kelmo::cli {
namespace {

// The entries hold the host's float32 as they are: little-endian, as in
// sigrok's own files.
static_assert(std::endian::native == std::endian::little, "the samples are stored as little-endian float32");

// The output as libzip's source of the archive. libzip writes a file's
// archive to a temporary copy that replaces it, which would copy the whole
// run at every chunk; this source keeps the unchanged beginning where it is
// (libzip's "cloning") and writes the new entries and the new directory
// over the old directory. The old directory's bytes are held until the
// write is committed, so that a write that fails puts them back and leaves
// the archive as it was.
class InPlace {
public:
    InPlace() { zip_error_init(&error_); }
    ~InPlace() { zip_error_fini(&error_); }
    InPlace(const InPlace&) = delete;
    InPlace& operator=(const InPlace&) = delete;

    static zip_int64_t call(void* self, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
        // Nothing is to be thrown through libzip.
        try {
            return static_cast<InPlace*>(self)->on(data, len, cmd);
        } catch (const std::bad_alloc&) {
            return static_cast<InPlace*>(self)->failed(ZIP_ER_MEMORY, 0);
        }
    }
    // The file, empty, to hold the archive.
    void use(int fd) { fd_ = fd; }

private:
    zip_int64_t on(void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
        switch (cmd) {
        case ZIP_SOURCE_OPEN:
            pos_ = 0;
            return 0;
        case ZIP_SOURCE_READ: {
            const uint64_t n = std::min<uint64_t>(len, size_ - std::min(pos_, size_));
            if (!transfer(data, n, pos_, false)) return -1;
            pos_ += n;
            return zip_int64_t(n);
        }
        case ZIP_SOURCE_CLOSE:
            return 0;
        case ZIP_SOURCE_STAT: {
            auto* st = static_cast<zip_stat_t*>(data);
            zip_stat_init(st);
            st->size = size_;
            st->valid |= ZIP_STAT_SIZE;
            return sizeof(*st);
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&error_, data, len);
        case ZIP_SOURCE_FREE:
            return 0;
        case ZIP_SOURCE_SEEK:
            return seek(pos_, size_, data, len);
        case ZIP_SOURCE_TELL:
            return zip_int64_t(pos_);
        case ZIP_SOURCE_BEGIN_WRITE:
            // Only the first write, of an empty archive, starts anew: later
            // ones append, never holding the whole file to put it back.
            if (size_ != 0) return failed(ZIP_ER_OPNOTSUPP, 0);
            return begin(0);
        case ZIP_SOURCE_BEGIN_WRITE_CLONING:
            return begin(len);
        case ZIP_SOURCE_WRITE:
            if (!transfer(data, len, write_, true)) return -1;
            write_ += len;
            end_ = std::max(end_, write_);
            return zip_int64_t(len);
        case ZIP_SOURCE_SEEK_WRITE:
            return seek(write_, end_, data, len);
        case ZIP_SOURCE_TELL_WRITE:
            return zip_int64_t(write_);
        case ZIP_SOURCE_COMMIT_WRITE:
            if (::ftruncate(fd_, off_t(end_)) != 0) return failed(ZIP_ER_WRITE, errno);
            size_ = end_;
            kept_.clear();
            return 0;
        case ZIP_SOURCE_ROLLBACK_WRITE:
            // The old directory goes back over what was written on it.
            if (transfer(kept_.data(), kept_.size(), start_, true)) (void)!::ftruncate(fd_, off_t(size_));
            kept_.clear();
            return 0;
        case ZIP_SOURCE_REMOVE:
            if (::ftruncate(fd_, 0) != 0) return failed(ZIP_ER_WRITE, errno);
            size_ = 0;
            return 0;
        case ZIP_SOURCE_ACCEPT_EMPTY:
            return 0;
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(
                ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS, ZIP_SOURCE_BEGIN_WRITE,
                ZIP_SOURCE_BEGIN_WRITE_CLONING, ZIP_SOURCE_WRITE, ZIP_SOURCE_SEEK_WRITE, ZIP_SOURCE_TELL_WRITE,
                ZIP_SOURCE_COMMIT_WRITE, ZIP_SOURCE_ROLLBACK_WRITE, ZIP_SOURCE_REMOVE, ZIP_SOURCE_ACCEPT_EMPTY, -1);
        default:
            return failed(ZIP_ER_OPNOTSUPP, 0);
        }
    }

    // Writing starts at `at`; the archive's bytes from there on are kept.
    zip_int64_t begin(uint64_t at) {
        if (at > size_) return failed(ZIP_ER_INVAL, 0);
        kept_.resize(size_ - at);
        if (!transfer(kept_.data(), kept_.size(), at, false)) return -1;
        start_ = write_ = end_ = at;
        return 0;
    }

    zip_int64_t seek(uint64_t& pos, uint64_t size, void* data, zip_uint64_t len) {
        const zip_int64_t at = zip_source_seek_compute_offset(pos, size, data, len, &error_);
        if (at < 0) return -1;
        pos = uint64_t(at);
        return 0;
    }

    bool transfer(void* data, uint64_t n, uint64_t at, bool write) {
        auto* p = static_cast<char*>(data);
        while (n > 0) {
            const ssize_t done = write ? ::pwrite(fd_, p, n, off_t(at)) : ::pread(fd_, p, n, off_t(at));
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) {
                const int err = done < 0 ? errno : write ? ENOSPC : 0;
                failed(write ? ZIP_ER_WRITE : ZIP_ER_READ, err);
                return false;
            }
            p += done;
            n -= uint64_t(done);
            at += uint64_t(done);
        }
        return true;
    }

    zip_int64_t failed(int zipError, int systemError) {
        zip_error_set(&error_, zipError, systemError);
        return -1;
    }

    int fd_ = -1;
    zip_error_t error_;
    uint64_t size_ = 0;  // the archive as committed
    uint64_t pos_ = 0;   // where the next read starts
    uint64_t start_ = 0, write_ = 0, end_ = 0;  // a write: where it began, goes on, has reached
    std::string kept_;   // the bytes the write goes over, until it is committed
};

// sigrok's way of giving a rate: "200 kHz", "44.1 kHz", "33.333 kHz".
std::string rate_text(uint64_t hz) {
    const char* unit = "Hz";
    uint64_t scale = 1;
    for (const auto& [s, u] : {std::pair<uint64_t, const char*>{1000000000, "GHz"}, {1000000, "MHz"}, {1000, "kHz"}})
        if (hz >= s) {
            scale = s;
            unit = u;
            break;
        }
    std::string text = std::to_string(hz / scale);
    if (const uint64_t rest = hz % scale; rest != 0) {
        std::string digits = std::to_string(scale + rest).substr(1);
        digits.erase(digits.find_last_not_of('0') + 1);
        text += "." + digits;
    }
    return text + " " + unit;
}

// A chunk holds at least 4 MiB of samples. Every chunk writes the central
// directory again (about 100 bytes an entry), so as entries add up the
// chunks grow to sixteen times the directory, up to 32 MiB held in memory:
// on a run of hours the directory costs a few percent of the writing.
std::size_t chunk_bytes(std::size_t entries) {
    return std::clamp<std::size_t>(entries * 100 * 16, std::size_t(4) << 20, std::size_t(32) << 20);
}

// What a kill can take is what waits in memory: a chunk also goes out once
// it holds a second of the run, or a sixtieth of what the file holds once
// the run is past a minute (on a run of hours a few hundred chunks a
// channel, so the directory stays small beside the samples).
std::size_t chunk_samples(double rate, uint64_t written) {
    const double seconds = std::max(1.0, double(written) / std::max(rate, 1.0) / 60.0);
    const double n = std::max(rate, 1.0) * seconds;
    return n >= 1e15 ? std::size_t(1e15) : std::max<std::size_t>(1, std::size_t(n));
}

// After a failed write (a full disk, or one that failed once) the samples
// held go out in ever smaller pieces, down to this many per channel, so that
// the file keeps as many as it can take.
constexpr std::size_t kLeastPiece = 1024;

class SigrokWriter final : public SampleWriter {
public:
    explicit SigrokWriter(const OutputTarget& t) : target_(t), pending_(t.channels.size()) {
        const bool existed = kelmo::tools::kind_of_path(t.path) != kelmo::tools::FileKind::Missing;
        fd_ = ::open(t.path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        made_ = fd_ >= 0 && !existed;
        struct stat st {};
        if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
            say("kelmo: cannot write %s: %s", t.path.c_str(), std::strerror(errno));
            failed_ = true;
            return;
        }
        if (!S_ISREG(st.st_mode)) {
            say("kelmo: cannot write %s: a sigrok session file is written in place as the run grows, so it must be "
                "a regular file",
                t.path.c_str());
            failed_ = true;
            return;
        }
        if (::ftruncate(fd_, 0) != 0) {
            say("kelmo: cannot write %s: %s", t.path.c_str(), std::strerror(errno));
            failed_ = true;
            return;
        }
        made_ = true;
        file_.use(fd_);
        zip_error_t error;
        zip_error_init(&error);
        source_ = zip_source_function_create(&InPlace::call, &file_, &error);
        zip_error_fini(&error);
        if (!source_) {
            say("kelmo: cannot write %s: %s", t.path.c_str(), std::strerror(ENOMEM));
            failed_ = true;
            return;
        }
        head();
        // Every channel's first chunk is empty: sigrok opens a session only
        // with a chunk in it, and this one is a session from the start,
        // however early the run ends.
        std::vector<Entry> first = {{"version", version_.data(), version_.size()},
                                    {"metadata", metadata_.data(), metadata_.size()},
                                    {"kelmo.txt", facts_.data(), facts_.size()}};
        for (std::size_t c = 0; c < pending_.size(); ++c)
            first.push_back({"analog-1-" + std::to_string(c + 1) + "-1", version_.data(), 0});
        if (!add(first, ZIP_CREATE | ZIP_TRUNCATE)) fail();
        chunks_ = 1;
        entries_ = first.size();
        sizeChunk();
    }

    ~SigrokWriter() override { close(); }
    SigrokWriter(const SigrokWriter&) = delete;
    SigrokWriter& operator=(const SigrokWriter&) = delete;

    bool block(const double* data, int len, int stride) override {
        if (failed_ || fd_ < 0) return false;
        for (int s = 0; s < len;) {
            const int n = int(std::min<std::size_t>(std::size_t(len - s), chunk_ - held()));
            for (std::size_t c = 0; c < pending_.size(); ++c) {
                const double* from = data + c * std::size_t(stride) + std::size_t(s);
                for (int i = 0; i < n; ++i) pending_[c].push_back(float(from[i]));
            }
            s += n;
            if (held() >= chunk_ && !flush()) return false;
        }
        return true;
    }

    bool finish() override {
        if (!failed_ && fd_ >= 0 && held() > 0) flush();
        close();
        return !failed_;
    }

    bool failed() const { return failed_; }
    bool made() const { return made_; }

private:
    struct Entry {
        std::string name;
        const void* data;
        std::size_t size;
    };

    std::size_t held() const { return pending_.empty() ? 0 : pending_[0].size(); }

    void head() {
        const uint64_t hz = std::max<uint64_t>(1, uint64_t(std::llround(target_.rate)));
        metadata_ = "[global]\nsigrok version=0.5.2\n\n[device 1]\nsamplerate=" + rate_text(hz) +
                    "\ntotal analog=" + std::to_string(target_.channels.size()) + "\n";
        for (std::size_t i = 0; i < target_.channels.size(); ++i)
            metadata_ += "analog" + std::to_string(i + 1) + "=CH" + std::to_string(target_.channels[i]) + "\n";
        for (const auto& [name, value] : run_facts(target_)) facts_ += name + ": " + value + "\n";
        if (target_.divider != 0) facts_ += "divider: " + std::to_string(target_.divider) + "\n";
    }

    void sizeChunk() {
        const std::size_t frame = sizeof(float) * std::max<std::size_t>(1, pending_.size());
        chunk_ = std::max<std::size_t>(1, std::min(chunk_bytes(entries_) / frame, chunk_samples(target_.rate, written_)));
        for (auto& p : pending_) p.reserve(chunk_);
    }

    // The samples held go out as the next chunk of every channel.
    bool flush() {
        const std::size_t all = held();
        std::size_t done = 0, piece = all;
        while (done < all) {
            const std::size_t n = std::min(piece, all - done);
            std::vector<Entry> entries;
            for (std::size_t c = 0; c < pending_.size(); ++c) {
                char name[64];
                std::snprintf(name, sizeof name, "analog-1-%zu-%zu", c + 1, chunks_ + 1);
                entries.push_back({name, pending_[c].data() + done, n * sizeof(float)});
            }
            if (add(entries, 0)) {
                done += n;
                written_ += n;
                ++chunks_;
                entries_ += entries.size();
                continue;
            }
            fail();
            if (piece <= kLeastPiece) break;
            piece /= 2;
        }
        for (auto& p : pending_) p.clear();
        if (failed_) return false;
        sizeChunk();
        return true;
    }

    // The entries behind those in the file; false, the file as it was and
    // libzip's words in why_, when they could not be written.
    bool add(const std::vector<Entry>& entries, int flags) {
        zip_error_t error;
        zip_error_init(&error);
        zip_source_keep(source_);
        zip_t* zip = zip_open_from_source(source_, flags, &error);
        if (!zip) {
            zip_source_free(source_);
            why_ = zip_error_strerror(&error);
            zip_error_fini(&error);
            return false;
        }
        zip_error_fini(&error);
        for (const Entry& e : entries) {
            zip_source_t* data = zip_source_buffer(zip, e.data, e.size, 0);
            const zip_int64_t at = data ? zip_file_add(zip, e.name.c_str(), data, 0) : -1;
            if (at < 0) {
                zip_source_free(data);
                why_ = zip_strerror(zip);
                zip_discard(zip);
                return false;
            }
            // Deflate at level 4, as HDF5's gzip: most of the gain for a
            // fraction of the time (level 9 falls behind 4 MB/s of samples).
            const bool deflate = target_.compress && e.name.rfind("analog-", 0) == 0;
            zip_set_file_compression(zip, zip_uint64_t(at), deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, deflate ? 4 : 0);
        }
        if (zip_close(zip) != 0) {
            why_ = zip_strerror(zip);
            zip_discard(zip);
            return false;
        }
        return true;
    }

    // One line, for the first failure only.
    void fail() {
        if (!failed_) say("kelmo: writing %s failed: %s", target_.path.c_str(), why_.c_str());
        failed_ = true;
    }

    void close() {
        if (source_) zip_source_free(source_);
        source_ = nullptr;
        if (fd_ >= 0 && ::close(fd_) != 0 && !failed_) {
            why_ = std::strerror(errno);
            fail();
        }
        fd_ = -1;
    }

    OutputTarget target_;
    int fd_ = -1;
    InPlace file_;
    zip_source_t* source_ = nullptr;
    std::string version_ = "2", metadata_, facts_, why_;
    std::vector<std::vector<float>> pending_;  // per channel, the samples of the chunk to come
    std::size_t chunk_ = 1;                    // samples per channel in a chunk
    std::size_t chunks_ = 0, entries_ = 0;     // written so far
    uint64_t written_ = 0;                     // samples per channel in the file
    bool failed_ = false, made_ = false;       // made_: the file is this run's
};

}  // namespace

std::unique_ptr<SampleWriter> sigrok_writer(const OutputTarget& target) {
    auto w = std::make_unique<SigrokWriter>(target);
    if (w->failed()) {
        // A session that could not be begun is not left behind.
        const bool made = w->made();
        w.reset();
        if (made) discard_output(target.path);
        return nullptr;
    }
    return w;
}

}  // namespace kelmo::cli
