#include "output.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace kelmo::cli {
namespace {

class CsvWriter final : public SampleWriter {
public:
    CsvWriter(FILE* f, bool owned, const OutputTarget& s) : f_(f), owned_(owned), target_(s) {
        std::fprintf(f_, "time_s");
        for (int c = 0; c < s.channels; ++c) std::fprintf(f_, ",ch%d", s.firstChannel + c);
        std::fprintf(f_, "\n");
    }
    ~CsvWriter() override {
        if (f_ && owned_) std::fclose(f_);
    }
    void block(const double* data, int len, int stride) override {
        for (int s = 0; s < len; ++s, ++row_) {
            std::fprintf(f_, "%.9g", double(row_) / target_.rate);
            for (int c = 0; c < target_.channels; ++c) std::fprintf(f_, ",%.6f", data[std::size_t(c) * stride + s]);
            std::fprintf(f_, "\n");
        }
        std::fflush(f_);  // a reader of the stream sees each block as it arrives
    }
    bool finish() override {
        bool ok = !std::ferror(f_) && std::fflush(f_) == 0;
        if (owned_) ok = std::fclose(f_) == 0 && ok;
        f_ = owned_ ? nullptr : f_;
        if (!ok) std::fprintf(stderr, "kelmo: writing %s failed\n", target_.path.c_str());
        return ok;
    }

private:
    FILE* f_;
    bool owned_;
    OutputTarget target_;
    int64_t row_ = 0;
};

void put16(FILE* f, uint16_t v) {
    const unsigned char b[2] = {uint8_t(v), uint8_t(v >> 8)};
    std::fwrite(b, 1, 2, f);
}
void put32(FILE* f, uint32_t v) {
    const unsigned char b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    std::fwrite(b, 1, 4, f);
}

// IEEE-float WAV; the sizes in the header are written once the data is in.
class WavWriter final : public SampleWriter {
public:
    WavWriter(FILE* f, const OutputTarget& s) : f_(f), target_(s) { header(0); }
    ~WavWriter() override {
        if (f_) std::fclose(f_);
    }
    void block(const double* data, int len, int stride) override {
        const double scale = target_.fullScale > 0 ? 1.0 / target_.fullScale : 1.0;
        std::vector<float> frame(std::size_t(target_.channels));
        for (int s = 0; s < len; ++s) {
            for (int c = 0; c < target_.channels; ++c) frame[c] = static_cast<float>(data[std::size_t(c) * stride + s] * scale);
            std::fwrite(frame.data(), sizeof(float), frame.size(), f_);  // little-endian hosts
        }
        bytes_ += uint64_t(len) * target_.channels * 4;
    }
    bool finish() override {
        const uint64_t capped = bytes_ > 0xFFFFFF00ull ? 0xFFFFFF00ull : bytes_;
        bool ok = !std::ferror(f_) && std::fseek(f_, 0, SEEK_SET) == 0;
        if (ok) header(static_cast<uint32_t>(capped));
        ok = ok && !std::ferror(f_);
        ok = std::fclose(f_) == 0 && ok;
        f_ = nullptr;
        if (!ok) std::fprintf(stderr, "kelmo: writing %s failed\n", target_.path.c_str());
        return ok;
    }

private:
    void header(uint32_t dataBytes) {
        const auto channels = static_cast<uint16_t>(target_.channels);
        const auto rate = static_cast<uint32_t>(target_.rate + 0.5);
        std::fwrite("RIFF", 1, 4, f_);
        put32(f_, 4 + 26 + 12 + 8 + dataBytes);
        std::fwrite("WAVEfmt ", 1, 8, f_);
        put32(f_, 18);
        put16(f_, 3);  // IEEE float
        put16(f_, channels);
        put32(f_, rate);
        put32(f_, rate * channels * 4u);
        put16(f_, static_cast<uint16_t>(channels * 4));
        put16(f_, 32);
        put16(f_, 0);
        std::fwrite("fact", 1, 4, f_);
        put32(f_, 4);
        put32(f_, channels ? dataBytes / (channels * 4u) : 0);
        std::fwrite("data", 1, 4, f_);
        put32(f_, dataBytes);
    }
    FILE* f_;
    OutputTarget target_;
    uint64_t bytes_ = 0;
};

}  // namespace

std::unique_ptr<SampleWriter> open_output(const OutputTarget& target) {
    if (target.path == "-") {
        if (target.format != "csv") {
            std::fprintf(stderr, "kelmo: only CSV can be streamed to standard output\n");
            return nullptr;
        }
        return std::make_unique<CsvWriter>(stdout, false, target);
    }
    FILE* f = std::fopen(target.path.c_str(), target.format == "wav" ? "wb" : "w");
    if (!f) {
        std::fprintf(stderr, "kelmo: cannot write %s: %s\n", target.path.c_str(), std::strerror(errno));
        return nullptr;
    }
    if (target.format == "wav") return std::make_unique<WavWriter>(f, target);
    return std::make_unique<CsvWriter>(f, true, target);
}

}  // namespace kelmo::cli
