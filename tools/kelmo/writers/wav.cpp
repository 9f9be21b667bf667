// WAV: 32-bit float frames, 1.0 = the full scale.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "stream.h"
#include "writer.h"

namespace kelmo::cli {
namespace {

void put16(FILE* f, uint16_t v) {
    const unsigned char b[2] = {uint8_t(v), uint8_t(v >> 8)};
    std::fwrite(b, 1, 2, f);
}
void put32(FILE* f, uint32_t v) {
    const unsigned char b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    std::fwrite(b, 1, 4, f);
}

// IEEE-float WAV; the sizes in the header are written once the data is in.
// An output that cannot seek (a pipe) gets the sizes of a stream of unknown
// length, 0xFFFFFFFF, which readers of streamed WAV take as "to the end".
class WavWriter final : public SampleWriter {
public:
    WavWriter(FILE* f, bool owned, const OutputTarget& s)
        : out_(f, owned, display_name(s.path)), target_(s), seekable_(std::fseek(f, 0, SEEK_CUR) == 0) {
        info_ = info_chunk(s);
        header(seekable_ ? 0 : 0xFFFFFFFFu);
    }
    bool block(const double* data, int len, int stride) override {
        if (out_.failed()) return false;
        const double scale = target_.fullScale > 0 ? 1.0 / target_.fullScale : 1.0;
        std::vector<float> frame(target_.channels.size());
        for (int s = 0; s < len; ++s) {
            for (std::size_t c = 0; c < frame.size(); ++c) frame[c] = static_cast<float>(data[c * stride + s] * scale);
            // little-endian hosts
            if (std::fwrite(frame.data(), sizeof(float), frame.size(), out_.get()) != frame.size()) return out_.fail(errno);
        }
        bytes_ += uint64_t(len) * target_.channels.size() * 4;
        return out_.ok();
    }
    bool finish() override {
        if (out_.ok() && seekable_) {
            if (std::fseek(out_.get(), 0, SEEK_SET) == 0) {
                const uint64_t capped = bytes_ > 0xFFFFFF00ull ? 0xFFFFFF00ull : bytes_;
                header(static_cast<uint32_t>(capped));
            } else {
                out_.fail(errno);
            }
        }
        return out_.close();
    }

private:
    void header(uint32_t dataBytes) {
        FILE* f = out_.get();
        const auto channels = static_cast<uint16_t>(target_.channels.size());
        const auto rate = static_cast<uint32_t>(target_.rate + 0.5);
        std::fwrite("RIFF", 1, 4, f);
        put32(f, dataBytes == 0xFFFFFFFFu ? dataBytes : uint32_t(4 + 26 + 12 + info_.size() + 8 + dataBytes));
        std::fwrite("WAVEfmt ", 1, 8, f);
        put32(f, 18);
        put16(f, 3);  // IEEE float
        put16(f, channels);
        put32(f, rate);
        put32(f, rate * channels * 4u);
        put16(f, static_cast<uint16_t>(channels * 4));
        put16(f, 32);
        put16(f, 0);
        std::fwrite("fact", 1, 4, f);
        put32(f, 4);
        put32(f, channels && dataBytes != 0xFFFFFFFFu ? dataBytes / (channels * 4u) : 0);
        std::fwrite(info_.data(), 1, info_.size(), f);
        std::fwrite("data", 1, 4, f);
        put32(f, dataBytes);
    }
    // A LIST/INFO chunk: the software (ISFT), the start (ICRD) and the facts
    // with the factor from 1.0 to engineering units (ICMT).
    static std::string info_chunk(const OutputTarget& s) {
        const FileStrings strings = file_strings(s);
        std::string body = "INFO";
        auto sub = [&body](const char* id, const std::string& text) {
            const std::string padded = text + std::string(text.size() % 2 ? 1 : 2, '\0');
            const auto n = static_cast<uint32_t>(text.size() + 1);
            body += id;
            body += std::string{char(n), char(n >> 8), char(n >> 16), char(n >> 24)};
            body += padded;
        };
        sub("ISFT", strings.software);
        sub("ICRD", strings.date);
        sub("ICMT", strings.comment);
        const auto n = static_cast<uint32_t>(body.size());
        return "LIST" + std::string{char(n), char(n >> 8), char(n >> 16), char(n >> 24)} + body;
    }

    Stream out_;
    OutputTarget target_;
    std::string info_;
    bool seekable_;
    uint64_t bytes_ = 0;
};

}  // namespace

std::unique_ptr<SampleWriter> wav_writer(std::FILE* f, bool owned, const OutputTarget& target) {
    return std::make_unique<WavWriter>(f, owned, target);
}

}  // namespace kelmo::cli
