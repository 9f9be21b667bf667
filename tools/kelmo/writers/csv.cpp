// CSV: the facts as comment lines, then a time column and one column per
// channel. A block's rows go out in one write; a write that fails takes the
// file back to the end of its last whole line (where the file can be cut:
// a pipe keeps what went out), so a CSV never ends in part of a row that a
// reader would take for a sample.
#include <charconv>
#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

#include "out_file.h"
#include "writer.h"

namespace kelmo::cli {
namespace {

// The time as %.9g, the values as %.6f.
void put_time(std::string& out, double t) {
    char b[64];
    const auto r = std::to_chars(b, b + sizeof b, t, std::chars_format::general, 9);
    out.append(b, r.ec == std::errc() ? r.ptr : b);
}
void put_value(std::string& out, double v) {
    char b[400];  // the longest double, in full
    const auto r = std::to_chars(b, b + sizeof b, v, std::chars_format::fixed, 6);
    out.append(b, r.ec == std::errc() ? r.ptr : b);
}

class CsvWriter final : public SampleWriter {
public:
    CsvWriter(OutFile out, const OutputTarget& s) : out_(std::move(out)), rate_(s.rate), channels_(s.channels.size()) {
        std::string head;
        for (const auto& [name, value] : run_facts(s)) head.append("# ").append(name).append(": ").append(value).append(kelmo::tools::kLineEnd);
        head += "time_s";
        for (int c : s.channels) head.append(",ch").append(std::to_string(c));
        head += kelmo::tools::kLineEnd;
        put(head);
    }
    bool failed() const { return out_.failed(); }

    bool block(const double* data, int len, int stride) override {
        if (out_.failed()) return false;
        text_.clear();
        text_.reserve(std::size_t(len) * (16 + 12 * channels_));
        for (int s = 0; s < len; ++s) {
            put_time(text_, double(row_ + s) / rate_);
            for (std::size_t c = 0; c < channels_; ++c) {
                text_ += ',';
                put_value(text_, data[c * stride + s]);
            }
            text_ += kelmo::tools::kLineEnd;
        }
        row_ += len;
        return put(text_);  // a reader of the stream sees each block as it arrives
    }
    bool finish() override { return out_.close(); }

private:
    // `text`, whole lines, out in one go; what a failed write left of a
    // line goes again.
    bool put(const std::string& text) {
        const uint64_t before = out_.size();
        std::size_t wrote = 0;
        if (out_.append(text.data(), text.size(), &wrote)) return true;
        const std::size_t whole = wrote == 0 ? 0 : text.rfind('\n', wrote - 1) + 1;  // npos + 1 == 0
        out_.cut_back(before + whole);
        return false;
    }

    OutFile out_;
    double rate_;
    std::size_t channels_;
    int64_t row_ = 0;
    std::string text_;
};

}  // namespace

std::unique_ptr<SampleWriter> csv_writer(OutFile out, const OutputTarget& target) {
    auto w = std::make_unique<CsvWriter>(std::move(out), target);
    if (w->failed()) return nullptr;
    return w;
}

}  // namespace kelmo::cli
