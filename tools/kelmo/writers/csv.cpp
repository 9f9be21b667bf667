// CSV: the facts as comment lines, then a time column and one column per
// channel. A block's rows go out in one write; a write that fails takes the
// file back to the end of its last whole line (where the file can be cut:
// a pipe keeps what went out), so a CSV never ends in part of a row that a
// reader would take for a sample.
#include <cstring>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "decimal.h"
#include "out_file.h"
#include "writer.h"

namespace kelmo::cli {
namespace {

// What a value below 10^12 in magnitude takes at most: a sign, 12 digits,
// the point and six decimals.
constexpr std::size_t kFixedFast = 20;

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

    // The time as %.9g, the values as %.6f; a row is built where it goes.
    bool block(const double* data, int len, int stride) override {
        if (out_.failed()) return false;
        const std::size_t endLen = std::strlen(kelmo::tools::kLineEnd);
        const std::size_t rowMost = 32 + channels_ * (1 + kFixedFast) + endLen;
        std::size_t n = 0;
        text_.resize(std::max<std::size_t>(text_.size(), std::size_t(len) * rowMost));
        for (int s = 0; s < len; ++s) {
            const double* v = data + s;
            std::size_t room = rowMost;
            for (std::size_t c = 0; c < channels_; ++c)
                if (!(std::fabs(v[c * std::size_t(stride)]) < 1e12)) room += kFixed6Most;  // longer than a fast value
            if (text_.size() - n < room) text_.resize(2 * text_.size() + room);
            char* p = put_general9(text_.data() + n, double(row_ + s) / rate_);
            p = put_fixed6_each(p, v, channels_, stride, ',');
            std::memcpy(p, kelmo::tools::kLineEnd, endLen);
            n = std::size_t(p + endLen - text_.data());
        }
        row_ += len;
        return put(text_.data(), n);  // a reader of the stream sees each block as it arrives
    }
    bool finish() override { return out_.close(); }

private:
    // `text`, whole lines, out in one go; what a failed write left of a
    // line goes again.
    bool put(const std::string& text) { return put(text.data(), text.size()); }
    bool put(const char* text, std::size_t size) {
        const uint64_t before = out_.size();
        std::size_t wrote = 0;
        if (out_.append(text, size, &wrote)) return true;
        const std::string_view done(text, wrote);
        const std::size_t whole = wrote == 0 ? 0 : done.rfind('\n') + 1;  // npos + 1 == 0
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
