// NumPy's .npy: the (channels, samples) array of float64 that numpy.load
// reads, stored in Fortran order so that the frames go out as they arrive
// (sample by sample, every channel of it); the shape in the header is
// written once the count is known. The run's facts go to a .json beside it.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "../../portable.h"
#include "say.h"
#include "writer.h"
#include "stream.h"

namespace kelmo::cli {
namespace {

// The header is this long whatever the count: room for a shape of any
// count the host takes.
constexpr std::size_t kHeaderBytes = 128;

std::string json_text(const std::string& s) {
    std::string out = "\"";
    for (const char ch : s) {
        if (ch == '"' || ch == '\\') out += '\\';
        if (static_cast<unsigned char>(ch) < 0x20) continue;
        out += ch;
    }
    return out + "\"";
}

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

template <typename T>
void interleave(std::vector<char>& out, const double* data, std::size_t channels, int len, int stride) {
    out.resize(channels * std::size_t(len) * sizeof(T));
    T* to = reinterpret_cast<T*>(out.data());
    for (int s = 0; s < len; ++s)
        for (std::size_t c = 0; c < channels; ++c) to[std::size_t(s) * channels + c] = static_cast<T>(data[c * stride + s]);
}

class NpyWriter final : public SampleWriter {
public:
    NpyWriter(FILE* f, const OutputTarget& t) : out_(f, true, t.path), target_(t) { header(0); }

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
        if (std::fwrite(frames_.data(), 1, frames_.size(), out_.get()) != frames_.size()) return out_.fail(errno);
        samples_ += uint64_t(len);
        return out_.ok();
    }

    bool finish() override {
        if (out_.ok()) {
            if (std::fseek(out_.get(), 0, SEEK_SET) == 0)
                header(samples_);
            else
                out_.fail(errno);
        }
        const bool written = out_.close();
        return write_facts() && written;
    }

private:
    void header(uint64_t samples) {
        std::string dict;
        dict.reserve(kHeaderBytes);
        dict.append("{'descr': '").append(descr(target_.raw)).append("', 'fortran_order': True, 'shape': (");
        dict.append(std::to_string(target_.channels.size())).append(", ").append(std::to_string(samples));
        dict.append("), }");
        dict.resize(kHeaderBytes - 10 - 1, ' ');
        dict += '\n';
        const auto n = static_cast<uint16_t>(dict.size());
        const char magic[10] = {'\x93', 'N', 'U', 'M', 'P', 'Y', 1, 0, char(n & 0xFF), char(n >> 8)};
        std::fwrite(magic, 1, sizeof magic, out_.get());
        std::fwrite(dict.data(), 1, dict.size(), out_.get());
    }

    // run.npy's facts in run.json: the array's layout, then the run's.
    bool write_facts() {
        std::string path = target_.path;
        const auto dot = path.rfind('.');
        const auto slash = path.find_last_of("/\\");
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) path.resize(dot);
        path += ".json";
        FILE* f = kelmo::tools::create_unfollowed(path);
        if (!f) {
            const int err = errno;
            say("kelmo: cannot write %s: %s", path.c_str(),
                err == ELOOP ? "a symbolic link is in its place, and the facts are not written through one; remove it"
                             : std::strerror(err));
            return false;
        }
        Stream js(f, true, path);
        std::string text = "{\n  \"array\": " + json_text(target_.path) + ",\n  \"shape\": [" +
                           std::to_string(target_.channels.size()) + ", " + std::to_string(samples_) +
                           "],\n  \"dtype\": \"" + dtype(target_.raw) + "\",\n  \"channel numbers\": [";
        for (std::size_t i = 0; i < target_.channels.size(); ++i)
            text += (i ? ", " : "") + std::to_string(target_.channels[i]);
        text += "]";
        for (const auto& [name, value] : run_facts(target_)) text += ",\n  " + json_text(name) + ": " + json_text(value);
        if (target_.raw.bytes != 0) {
            char line[128];
            std::snprintf(line, sizeof line, ",\n  \"raw scale\": %.17g,\n  \"raw offset\": %.17g", target_.raw.scale,
                          target_.raw.offset);
            text += line;
            text += ",\n  \"raw words\": \"the array holds the card's raw words: value = word * raw scale + raw offset\"";
        }
        if (!target_.parameters.empty()) {
            text += ",\n  \"parameters\": [";
            for (std::size_t i = 0; i < target_.parameters.size(); ++i)
                text += (i ? ",\n    " : "\n    ") + json_text(target_.parameters[i]);
            text += "\n  ]";
        }
        text += "\n}\n";
        std::fputs(text.c_str(), f);
        return js.close();
    }

    Stream out_;
    OutputTarget target_;
    std::vector<char> frames_;
    uint64_t samples_ = 0;
};

}  // namespace

std::unique_ptr<SampleWriter> npy_writer(FILE* f, const OutputTarget& target) {
    return std::make_unique<NpyWriter>(f, target);
}

}  // namespace kelmo::cli
