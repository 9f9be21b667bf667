// WAV: 32-bit float frames, 1.0 = the full scale.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "out_file.h"
#include "writer.h"

namespace kelmo::cli {
namespace {

void put16(std::string& b, uint16_t v) { b += {char(v), char(v >> 8)}; }
void put32(std::string& b, uint32_t v) { b += {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

// IEEE-float WAV. In a regular file the header is rewritten after every
// block, so that the file is complete whenever the run ends (a failed write,
// a kill): it counts the frames before it, and a write that failed is
// taken back to whole frames. Any other output (a pipe) gets the sizes of
// a stream of unknown length, 0xFFFFFFFF, which readers of streamed WAV
// take as "to the end".
class WavWriter final : public SampleWriter {
public:
    WavWriter(OutFile out, const OutputTarget& s)
        : out_(std::move(out)), target_(s), info_(info_chunk(s)), frame_(4 * s.channels.size()) {
        const std::string h = header(out_.regular() ? 0 : 0xFFFFFFFFu);
        headerBytes_ = h.size();
        out_.append(h.data(), h.size());
    }
    bool failed() const { return out_.failed(); }

    bool block(const double* data, int len, int stride) override {
        if (out_.failed()) return false;
        const double scale = target_.fullScale > 0 ? 1.0 / target_.fullScale : 1.0;
        const std::size_t n = target_.channels.size();
        frames_.resize(n * std::size_t(len));
        for (int s = 0; s < len; ++s)
            for (std::size_t c = 0; c < n; ++c)
                frames_[std::size_t(s) * n + c] = static_cast<float>(data[c * stride + s] * scale);
        // little-endian hosts
        std::size_t wrote = 0;
        const bool ok = out_.append(frames_.data(), frames_.size() * sizeof(float), &wrote);
        bytes_ += wrote / frame_ * frame_;
        if (!ok) {
            out_.cut_back(headerBytes_ + bytes_);  // whole frames only
            if (out_.regular()) sizes();
            return false;
        }
        if (out_.regular() && !sizes()) return out_.fail(errno);
        return true;
    }
    bool finish() override { return out_.close(); }

private:
    // The header again, with the frames written so far.
    bool sizes() {
        const uint64_t capped = bytes_ > 0xFFFFFF00ull ? 0xFFFFFF00ull : bytes_;
        const std::string h = header(static_cast<uint32_t>(capped));
        return out_.write_at(h.data(), h.size(), 0);
    }

    std::string header(uint32_t dataBytes) const {
        const auto channels = static_cast<uint16_t>(target_.channels.size());
        const auto rate = static_cast<uint32_t>(target_.rate + 0.5);
        std::string h = "RIFF";
        put32(h, dataBytes == 0xFFFFFFFFu ? dataBytes : uint32_t(4 + 26 + 12 + info_.size() + 8 + dataBytes));
        h += "WAVEfmt ";
        put32(h, 18);
        put16(h, 3);  // IEEE float
        put16(h, channels);
        put32(h, rate);
        put32(h, rate * channels * 4u);
        put16(h, static_cast<uint16_t>(channels * 4));
        put16(h, 32);
        put16(h, 0);
        h += "fact";
        put32(h, 4);
        put32(h, channels && dataBytes != 0xFFFFFFFFu ? dataBytes / (channels * 4u) : 0);
        h += info_;
        h += "data";
        put32(h, dataBytes);
        return h;
    }
    // A LIST/INFO chunk: the software (ISFT), the start (ICRD) and the facts
    // with the factor from 1.0 to engineering units (ICMT).
    static std::string info_chunk(const OutputTarget& s) {
        const FileStrings strings = file_strings(s);
        std::string body = "INFO";
        auto sub = [&body](const char* id, const std::string& text) {
            const std::string padded = text + std::string(text.size() % 2 ? 1 : 2, '\0');
            body += id;
            put32(body, static_cast<uint32_t>(text.size() + 1));
            body += padded;
        };
        sub("ISFT", strings.software);
        sub("ICRD", strings.date);
        sub("ICMT", strings.comment);
        std::string chunk = "LIST";
        put32(chunk, static_cast<uint32_t>(body.size()));
        return chunk + body;
    }

    OutFile out_;
    OutputTarget target_;
    std::string info_;
    std::size_t frame_;
    std::size_t headerBytes_ = 0;
    std::vector<float> frames_;
    uint64_t bytes_ = 0;  // of whole frames in the file
};

}  // namespace

std::unique_ptr<SampleWriter> wav_writer(OutFile out, const OutputTarget& target) {
    auto w = std::make_unique<WavWriter>(std::move(out), target);
    if (w->failed()) return nullptr;
    return w;
}

}  // namespace kelmo::cli
