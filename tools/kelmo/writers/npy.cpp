// NumPy's .npy: the (channels, samples) array of float64 that numpy.load
// reads, stored in Fortran order so that the frames go out as they arrive
// (sample by sample, every channel of it). The header has room for any
// count and is rewritten after every block, so that the array opens
// whenever the run ends (a failed write, a kill) with every block before
// it; a write that failed is taken back to whole samples. The run's facts
// go to a .json beside it.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../../portable.h"
#include "out_file.h"
#include "say.h"
#include "writer.h"

namespace kelmo::cli {
namespace {

// Whether a write failed for want of room (a full disk, or the user's quota).
bool disk_full(int err) {
#ifdef EDQUOT
    if (err == EDQUOT) return true;
#endif
    return err == ENOSPC;
}

// The header is this long whatever the count: room for a shape of any
// count the host takes.
constexpr std::size_t kHeaderBytes = 128;
// The blanks at the end of the facts written as the run begins: more than
// the count of samples, "complete" and the cause of a failure add.
constexpr std::size_t kFactsRoom = 512;

// The array's element type: float64 values, or the raw words as the
// integers they are.
const char* descr(const RawWords& raw) {
    if (raw.bytes == 2) return raw.isSigned ? "<i2" : "<u2";
    if (raw.bytes == 4) return raw.isSigned ? "<i4" : "<u4";
    return "<f8";
}
const char* dtype(const RawWords& raw) {
    if (raw.bytes == 2) return raw.isSigned ? "int16" : "uint16";
    if (raw.bytes == 4) return raw.isSigned ? "int32" : "uint32";
    return "float64";
}
std::size_t word_bytes(const RawWords& raw) { return raw.bytes != 0 ? std::size_t(raw.bytes) : sizeof(double); }

template <typename T>
void interleave(std::vector<char>& out, const double* data, std::size_t channels, int len, int stride) {
    out.resize(channels * std::size_t(len) * sizeof(T));
    T* to = reinterpret_cast<T*>(out.data());
    for (int s = 0; s < len; ++s)
        for (std::size_t c = 0; c < channels; ++c) to[std::size_t(s) * channels + c] = static_cast<T>(data[c * stride + s]);
}

// Text as JSON holds it: a byte that is not part of UTF-8 (a file name in
// another encoding) becomes U+FFFD.
std::string json_text(const nlohmann::ordered_json& j) { return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n"; }

class NpyWriter final : public SampleWriter {
public:
    NpyWriter(OutFile out, const OutputTarget& t)
        : out_(std::move(out)), target_(t), facts_(npy_facts_path(t.path)),
          frame_(t.channels.size() * word_bytes(t.raw)) {
        const std::string h = header(0);
        if (!out_.append(h.data(), h.size())) return;
        // The facts at once (the run not yet complete): a stale .json of an
        // earlier run never stands beside this one.
        failed_ = !write_facts(false);
    }
    bool failed() const { return failed_ || out_.failed(); }

    bool block(const double* data, int len, int stride) override {
        if (out_.failed()) return false;
        const std::size_t n = target_.channels.size();
        const RawWords& raw = target_.raw;
        if (raw.bytes == 2 && raw.isSigned) interleave<int16_t>(frames_, data, n, len, stride);
        else if (raw.bytes == 2) interleave<uint16_t>(frames_, data, n, len, stride);
        else if (raw.bytes == 4 && raw.isSigned) interleave<int32_t>(frames_, data, n, len, stride);
        else if (raw.bytes == 4) interleave<uint32_t>(frames_, data, n, len, stride);
        else interleave<double>(frames_, data, n, len, stride);
        // little-endian hosts, as the descr says
        std::size_t wrote = 0;
        const bool ok = out_.append(frames_.data(), frames_.size(), &wrote);
        samples_ += wrote / frame_;
        if (!ok) {
            why_ = out_.cause();
            out_.cut_back(kHeaderBytes + samples_ * frame_);  // whole samples only
        }
        // The header after the samples it counts.
        if (!rewrite_header() && ok) {
            why_ = std::strerror(errno);
            out_.fail(errno);
            return false;
        }
        return ok;
    }

    bool finish() override {
        const bool complete = !out_.failed();
        const bool closed = out_.close();
        if (!closed && why_.empty()) why_ = out_.cause();
        const bool facts = write_facts(complete && closed);
        return closed && facts;
    }

private:
    std::string header(uint64_t samples) const {
        std::string dict;
        dict.reserve(kHeaderBytes);
        dict.append("{'descr': '").append(descr(target_.raw)).append("', 'fortran_order': True, 'shape': (");
        dict.append(std::to_string(target_.channels.size())).append(", ").append(std::to_string(samples));
        dict.append("), }");
        dict.resize(kHeaderBytes - 10 - 1, ' ');
        dict += '\n';
        const auto n = static_cast<uint16_t>(dict.size());
        const char magic[10] = {'\x93', 'N', 'U', 'M', 'P', 'Y', 1, 0, char(n & 0xFF), char(n >> 8)};
        return std::string(magic, sizeof magic) + dict;
    }

    // The header with the samples in the file; once more if that failed
    // (a write that fails need not fail again). `held_` is what the header
    // on the disk says.
    bool rewrite_header() {
        if (held_ == samples_ || !out_.regular()) return true;
        const std::string h = header(samples_);
        for (int i = 0; i < 2; ++i)
            if (out_.write_at(h.data(), h.size(), 0)) {
                held_ = samples_;
                return true;
            }
        return false;
    }

    // run.npy's facts in run.json: the array's layout, then the run's, as
    // the HDF5 file's attributes give them (numbers as numbers, the rate's
    // unit beside it). Written whole or not at all: a new file takes the
    // old one's place. On a disk too full for a new one, the first (written
    // as the run began, with room to spare at its end) is written over in
    // place: the facts never need more room than they had.
    bool write_facts(bool complete) {
        using json = nlohmann::ordered_json;
        const RawWords& raw = target_.raw;
        json j = json::object();
        j["array"] = target_.path;
        j["shape"] = {target_.channels.size(), held_};
        j["dtype"] = dtype(raw);
        j["layout"] = "array[channel index, sample]";
        j["complete"] = complete;
        if (!complete && !why_.empty()) j["failure"] = why_;
        j["channel numbers"] = target_.channels;
        for (const auto& [name, value] : run_facts(target_))
            if (name == "kelmo" || name == "unit" || name == "start") j[name] = value;
        j["card type"] = target_.cardType;
        j["rate"] = target_.rate;
        j["rate unit"] = "Hz";
        j["channels"] = target_.channels;
        j["gains"] = std::vector<int>(target_.channels.size(), target_.gain);
        j["full scale"] = target_.fullScale;
        if (target_.divider != 0) j["divider"] = target_.divider;
        if (raw.bytes != 0) {
            j["raw scale"] = raw.scale;
            j["raw offset"] = raw.offset;
            j["raw words"] = "the array holds the card's raw words: value = word * raw scale + raw offset";
        }
        if (!target_.parameters.empty()) j["parameters"] = target_.parameters;
        std::string text = json_text(j);
        const bool first = !placed_;
        if (first) text.append(kFactsRoom, ' ').append("\n");  // room for what the end adds (JSON ends in blanks)

        if (kelmo::tools::is_symbolic_link(facts_)) {
            say("kelmo: cannot write %s: a symbolic link is in its place, and the facts are not written through "
                "one; remove it",
                facts_.c_str());
            return false;
        }
        const std::string part = facts_ + ".part-" + std::to_string(kelmo::tools::process_id());
        std::string cause;
        if (const int fd = kelmo::tools::open_for_writing(part, true); fd >= 0) {
            OutFile f(fd, true, part);
            f.quiet();
            const bool written = f.append(text.data(), text.size()) && f.close();
            if (written && kelmo::tools::replace_file(part, facts_)) {
                placed_ = true;
                return true;
            }
            cause = written ? std::strerror(errno) : f.cause();
            const int err = written ? errno : f.error();
            f.close();
            std::remove(part.c_str());
            if (first || !disk_full(err)) return cannot(cause.c_str());
        } else {
            cause = std::strerror(errno);
            if (first || !disk_full(errno)) return cannot(cause.c_str());
        }
        return over_first(text) || cannot(cause.c_str());
    }

    // The facts written over those of the run's beginning, within the room
    // they hold.
    bool over_first(const std::string& text) const {
        const int fd = kelmo::tools::open_existing_for_writing(facts_);
        if (fd < 0) return false;
        OutFile f(fd, true, facts_);
        f.quiet();
        return kelmo::tools::kind_of_descriptor(fd) == kelmo::tools::FileKind::Regular &&
               f.write_at(text.data(), text.size(), 0) && kelmo::tools::truncate_descriptor(fd, text.size()) &&
               f.close();
    }
    bool cannot(const char* cause) const {
        say("kelmo: writing %s failed: %s; %s", facts_.c_str(), cause,
            out_.regular() ? "the array's header holds its shape" : "the run's facts are not written");
        return false;
    }

    OutFile out_;
    OutputTarget target_;
    std::string facts_;
    std::size_t frame_;
    std::vector<char> frames_;
    uint64_t samples_ = 0;  // whole samples in the file
    uint64_t held_ = 0;     // the count the header on the disk holds
    std::string why_;       // the cause of the failed write
    bool placed_ = false;   // the facts are beside the array
    bool failed_ = false;
};

}  // namespace

std::string npy_facts_path(const std::string& path) {
    std::string stem = path;
    const auto dot = path.rfind('.');
    const auto slash = path.find_last_of("/\\");
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        std::string ext = path.substr(dot);
        for (char& ch : ext) ch = char(std::tolower(static_cast<unsigned char>(ch)));
        if (ext != ".json") stem.resize(dot);
    }
    return stem + ".json";
}

std::unique_ptr<SampleWriter> npy_writer(OutFile out, const OutputTarget& target) {
    auto w = std::make_unique<NpyWriter>(std::move(out), target);
    if (w->failed()) return nullptr;
    return w;
}

}  // namespace kelmo::cli
