// WAV and FLAC through libsndfile, the run's facts in the file's strings
// (LIST/INFO in a WAV, Vorbis comments in a FLAC).
// WAV: 32-bit float, 1.0 = the card's full scale; RF64 once the data passes
// 4 GiB, a plain RIFF/WAVE below that (libsndfile's auto-downgrade).
// FLAC: 24-bit, the full scale at the top of the range, clipped beyond it.
#include <fcntl.h>
#include <sndfile.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "../../portable.h"
#include "out_file.h"
#include "say.h"
#include "stream.h"
#include "writer.h"

namespace kelmo::cli {
namespace {

// What FLAC holds: 8 channels (its row's most), and the rates libsndfile (1.2) takes for it,
// up to 655350 Hz (what a frame header gives on its own; libFLAC 1.4 would
// take up to 1048575 Hz).
constexpr double kFlacMostRate = 655350;

// libsndfile's words for what went wrong, without its "System error : "
// before them and the full stop after them.
std::string sndfile_reason(SNDFILE* f) {
    std::string s = sf_strerror(f);
    for (const char* prefix : {"System error : ", "Error : "})
        if (s.rfind(prefix, 0) == 0) s.erase(0, std::strlen(prefix));
    while (!s.empty() && (s.back() == '.' || s.back() == ' ' || s.back() == '\n')) s.pop_back();
    return s.empty() ? std::string("libsndfile gave no cause") : s;
}

// A file under libsndfile, written through its virtual I/O on a descriptor
// opened write-only (libsndfile would open its output read-write, and a
// FIFO it also reads never tells it that its reader went away): a write
// that fails is taken back whole, and libsndfile hands over whole things
// (the frames of a block of a WAV, one frame of a FLAC), so the file ends on
// a whole frame, and the cause is the system's own. The FLAC frames that
// reached the file are counted for the header, which is given their count
// after every block. A stream (a pipe) only grows: what libFLAC writes back
// into its header at the end is left out there (libsndfile would append it
// to the stream), and a reader that went away ends the run (EPIPE).
struct Disk {
    int fd = -1;
    bool stream = false;
    sf_count_t at = 0, end = 0;
    int err = 0;  // the cause of the first write that failed
    uint64_t flacFrames = 0, flacCounted = 0;  // frames in the file, and in its header
    uint64_t samplesGiven = 0;                 // per channel, handed to libsndfile
    // The file's first bytes as last written: FLAC's STREAMINFO (the file
    // is not read back).
    unsigned char head[42] = {};

    static Disk& of(void* user) { return *static_cast<Disk*>(user); }
    static sf_count_t length(void* user) { return of(user).end; }
    static sf_count_t tell(void* user) { return of(user).at; }
    static sf_count_t seek(sf_count_t offset, int whence, void* user) {
        Disk& d = of(user);
        const sf_count_t to = whence == SEEK_SET ? offset : whence == SEEK_CUR ? d.at + offset : d.end + offset;
        if (to < 0) return -1;
        d.at = to;
        return to;
    }
    static sf_count_t read(void*, sf_count_t, void*) { return 0; }  // nothing written is read back
    static sf_count_t write(const void* ptr, sf_count_t count, void* user) {
        Disk& d = of(user);
        const auto* bytes = static_cast<const unsigned char*>(ptr);
        if (d.stream && d.at < d.end) {
            d.at += count;
            return count;
        }
        for (sf_count_t done = 0; done < count;) {
            const auto rest = static_cast<size_t>(count - done);
            const long n = d.stream ? kelmo::tools::write_some(d.fd, bytes + done, rest)
                                    : kelmo::tools::write_some_at(d.fd, bytes + done, rest, uint64_t(d.at + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (d.err == 0) d.err = n < 0 ? errno : EIO;
                if (!d.stream && d.at + done > d.end && ::ftruncate(d.fd, d.end) != 0) {
                    // the part written stays; the header still counts only what came before
                }
                return 0;
            }
            done += n;
        }
        // A FLAC frame (of the fixed block size libFLAC writes) begins with
        // the sync code 0xFFF8; nothing else it writes does.
        if (d.at >= d.end && count >= 2 && bytes[0] == 0xFF && bytes[1] == 0xF8) ++d.flacFrames;
        for (sf_count_t i = 0; d.at + i < sf_count_t(sizeof d.head) && i < count; ++i) d.head[d.at + i] = bytes[i];
        d.at += count;
        d.end = std::max(d.end, d.at);
        return count;
    }

    // libFLAC completes the header (STREAMINFO) only when it is closed
    // after a run without a failed write; until then (and after one) the
    // header is given the count of the whole frames in the file, so that
    // readers take every sample of them, whenever the run ends. False when
    // the header could not be written.
    bool count_flac_frames() {
        unsigned char* h = head;
        if (stream || flacFrames == flacCounted || std::memcmp(h, "fLaC", 4) != 0 || (h[4] & 0x7F) != 0) return true;
        const unsigned least = unsigned(h[8]) << 8 | h[9], most = unsigned(h[10]) << 8 | h[11];
        if (least != most) return true;  // the frames' length is not known
        // (Every frame but the last of a run holds `most` samples.)
        const uint64_t samples = std::min(flacFrames * most, samplesGiven);
        h[21] = static_cast<unsigned char>((h[21] & 0xF0) | ((samples >> 32) & 0x0F));
        for (int i = 0; i < 4; ++i) h[22 + i] = static_cast<unsigned char>(samples >> (24 - 8 * i));
        for (int tries = 0; tries < 2; ++tries)
            if (kelmo::tools::write_some_at(fd, h + 21, 5, 21) == 5) {
                flacCounted = flacFrames;
                return true;
            }
        return false;
    }
};

class SndfileWriter final : public SampleWriter {
public:
    // How the file is written: through Disk, as a file or a stream, or by
    // libsndfile on the descriptor itself (standard output into a file).
    enum class Via { File, Stream, Descriptor };

    // `owned`: `fd` is closed with the writer (not standard output).
    SndfileWriter(const OutputTarget& t, int fd, bool owned, Via via)
        : target_(t), name_(display_name(t.path)), flac_(t.format == "flac"), owned_(owned ? fd : -1) {
        if (via != Via::Descriptor) disk_.fd = fd;
        disk_.stream = via == Via::Stream;
        const FileStrings strings = file_strings(t);
        SF_INFO info{};
        info.samplerate = static_cast<int>(std::lround(t.rate));
        info.channels = static_cast<int>(t.channels.size());
        info.format = flac_ ? SF_FORMAT_FLAC | SF_FORMAT_PCM_24 : SF_FORMAT_RF64 | SF_FORMAT_FLOAT;
        if (via != Via::Descriptor) {
            static SF_VIRTUAL_IO io{Disk::length, Disk::seek, Disk::read, Disk::write, Disk::tell};
            file_.reset(sf_open_virtual(&io, SFM_WRITE, &info, &disk_));
        } else {
            file_.reset(sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE));
        }
        if (!file_) {
            if (disk_.err != 0)
                fail(std::strerror(disk_.err));
            else
                say("kelmo: cannot write %s: %s", name_.c_str(), sndfile_reason(nullptr).c_str());
            failed_ = true;
            return;
        }
        if (flac_) {
            sf_command(file_.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
        } else {
            sf_command(file_.get(), SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
            // The header after every write: the file is complete whenever
            // the run ends.
            sf_command(file_.get(), SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
        }
        if (sf_set_string(file_.get(), SF_STR_SOFTWARE, strings.software.c_str()) != 0 ||
            sf_set_string(file_.get(), SF_STR_DATE, strings.date.c_str()) != 0 ||
            sf_set_string(file_.get(), SF_STR_COMMENT, strings.comment.c_str()) != 0)
            fail(("the file cannot hold the run's facts (" + sndfile_reason(file_.get()) + ")").c_str());
        // The header goes out now, facts and all (FLAC's would wait for the
        // first samples): a file whose header could not be written is no
        // file, and a run that ends before its first block leaves one that
        // opens.
        if (!failed_) sf_command(file_.get(), SFC_UPDATE_HEADER_NOW, nullptr, 0);
        if (!failed_ && disk_.err != 0) fail(std::strerror(disk_.err));
    }
    ~SndfileWriter() override { close(); }
    SndfileWriter(const SndfileWriter&) = delete;
    SndfileWriter& operator=(const SndfileWriter&) = delete;

    bool failed() const { return failed_; }

    // WAV takes floats: libsndfile hands them to the file as they are, the
    // frames of a block in one write. FLAC takes doubles, for all of its
    // 24 bits.
    bool block(const double* data, int len, int stride) override {
        if (failed_) return false;
        const std::size_t n = target_.channels.size();
        const double scale = target_.fullScale > 0 ? 1.0 / target_.fullScale : 1.0;
        auto put = [&](auto& frames, auto write) {
            using Value = typename std::decay_t<decltype(frames)>::value_type;
            frames.resize(n * std::size_t(len));
            for (int s = 0; s < len; ++s)
                for (std::size_t c = 0; c < n; ++c)
                    frames[std::size_t(s) * n + c] = static_cast<Value>(data[c * stride + s] * scale);
            return write(file_.get(), frames.data(), sf_count_t(len));
        };
        const sf_count_t wrote = flac_ ? put(doubles_, sf_writef_double) : put(floats_, sf_writef_float);
        disk_.samplesGiven += uint64_t(std::max<sf_count_t>(wrote, 0));
        // (A header that could not be rewritten fails the run too.)
        if (wrote != len || disk_.err != 0) return fail(cause().c_str());
        if (flac_ && !disk_.count_flac_frames()) return fail(std::strerror(errno));
        return true;
    }

    bool finish() override {
        close();
        return !failed_;
    }

private:
    std::string cause() const { return disk_.err != 0 ? std::strerror(disk_.err) : sndfile_reason(file_.get()); }

    bool fail(const char* why) {
        if (!failed_) say("kelmo: writing %s failed: %s", name_.c_str(), why);
        failed_ = true;
        return false;
    }

    // Closing patches the header with what the file holds, after a failed
    // write too.
    void close() {
        if (file_) {
            const int r = sf_close(file_.release());
            if (disk_.err != 0)
                fail(std::strerror(disk_.err));  // a write while closing (FLAC's last frame)
            else if (r != 0)
                fail(sf_error_number(r));
            if (disk_.err != 0 && flac_) {
                disk_.flacCounted = ~uint64_t(0);  // whatever libFLAC wrote there
                disk_.count_flac_frames();
            }
        }
        if (owned_ >= 0) {
            const int r = ::close(owned_);
            owned_ = -1;
            if (r != 0) fail(std::strerror(errno));
            // libsndfile opens no FLAC without a frame (it takes the count
            // of such a file for "unknown"): a failed run that left none
            // leaves no file.
            if (failed_ && flac_ && !disk_.stream && disk_.flacFrames == 0 &&
                kelmo::tools::kind_of_path(target_.path) == kelmo::tools::FileKind::Regular) {
                discard_output(target_.path);
                say("kelmo: %s is removed: it holds no FLAC frame, and a FLAC file without one does not open",
                    name_.c_str());
            }
        }
    }

    struct Close {
        void operator()(SNDFILE* f) const { sf_close(f); }
    };

    OutputTarget target_;
    std::string name_;
    bool flac_;
    int owned_;  // the descriptor to close, or -1
    Disk disk_;  // before file_, which writes through it until it is closed
    std::unique_ptr<SNDFILE, Close> file_;
    std::vector<float> floats_;
    std::vector<double> doubles_;
    bool failed_ = false;
};

}  // namespace

std::unique_ptr<SampleWriter> sndfile_writer(const OutputTarget& t) {
    const std::string name = display_name(t.path);
    if (t.format == "flac") {
        const char* instead = "write WAV, .npy or HDF5 instead";
        const int most = format_named("flac")->mostChannels;
        if (t.channels.size() > std::size_t(most)) {
            say("kelmo: cannot write %s: FLAC holds at most %d channels, the run has %zu; %s", name.c_str(), most,
                t.channels.size(), instead);
            return nullptr;
        }
        if (std::lround(t.rate) > kFlacMostRate) {
            say("kelmo: cannot write %s: FLAC holds at most %.10g Hz, the run has %.10g Hz; %s", name.c_str(),
                kFlacMostRate, t.rate, instead);
            return nullptr;
        }
        // A frame header holds a rate above 65535 Hz only in whole tens of
        // Hz (libFLAC refuses any other, and libsndfile then speaks of its
        // decoder).
        if (const long hz = std::lround(t.rate); hz > 65535 && hz % 10 != 0) {
            say("kelmo: cannot write %s: FLAC holds a rate above 65535 Hz only in whole tens of Hz, the run has "
                "%.10g Hz; choose another rate (kelmo dividers lists the card's), or %s",
                name.c_str(), t.rate, instead);
            return nullptr;
        }
    }
    const bool owned = t.path != "-";
    int fd = STDOUT_FILENO;
    if (owned) {
        fd = kelmo::tools::open_for_writing(t.path);
        if (fd < 0) {
            say("kelmo: cannot write %s: %s", name.c_str(), std::strerror(errno));
            return nullptr;
        }
    } else {
        std::fflush(stdout);
    }
    // (A device, /dev/null say, is written as a file where it can seek.)
    const kelmo::tools::FileKind kind = kelmo::tools::kind_of_descriptor(fd);
    const bool regular = kind == kelmo::tools::FileKind::Regular;
    const bool seekable = regular || (kind == kelmo::tools::FileKind::Other && ::lseek(fd, 0, SEEK_CUR) >= 0);
    if (!seekable && t.format == "wav") {
        // libsndfile writes no RIFF it cannot patch afterwards: a pipe gets
        // the streamed WAV, sizes "to the end".
        auto w = wav_writer(OutFile(fd, owned, name), t);
        return w;
    }
    using Via = SndfileWriter::Via;
    const Via via = !seekable ? Via::Stream : owned ? Via::File : Via::Descriptor;
    auto w = std::make_unique<SndfileWriter>(t, fd, owned, via);
    if (w->failed()) {
        w.reset();
        if (owned && regular) discard_output(t.path);
        return nullptr;
    }
    return w;
}

}  // namespace kelmo::cli
