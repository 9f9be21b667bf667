// CSV: the facts as comment lines, then a time column and one column per
// channel.
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

class CsvWriter final : public SampleWriter {
public:
    CsvWriter(FILE* f, bool owned, const OutputTarget& s) : out_(f, owned, display_name(s.path)), target_(s) {
        for (const auto& [name, value] : run_facts(s)) std::fprintf(f, "# %s: %s\n", name.c_str(), value.c_str());
        std::fprintf(f, "time_s");
        for (int c : s.channels) std::fprintf(f, ",ch%d", c);
        std::fprintf(f, "\n");
    }
    bool block(const double* data, int len, int stride) override {
        FILE* f = out_.get();
        if (out_.failed()) return false;
        for (int s = 0; s < len; ++s, ++row_) {
            std::fprintf(f, "%.9g", double(row_) / target_.rate);
            for (std::size_t c = 0; c < target_.channels.size(); ++c)
                std::fprintf(f, ",%.6f", data[c * stride + s]);
            std::fprintf(f, "\n");
            if (!out_.ok()) return false;
        }
        return out_.flush();  // a reader of the stream sees each block as it arrives
    }
    bool finish() override { return out_.close(); }

private:
    Stream out_;
    OutputTarget target_;
    int64_t row_ = 0;
};

}  // namespace

std::unique_ptr<SampleWriter> csv_writer(std::FILE* f, bool owned, const OutputTarget& target) {
    return std::make_unique<CsvWriter>(f, owned, target);
}

}  // namespace kelmo::cli
