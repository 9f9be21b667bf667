#include "waveform.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>

#include "core/card_type.h"
#include "core/catalogue.h"
#include "core/presamp.h"
#include "encoding.h"

namespace zebsim {
namespace {

// A finite number filling the whole of `text`.
std::optional<double> number(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v)) return std::nullopt;
    return v;
}

}  // namespace

std::string Signal::set(const std::string& text) {
    const auto c1 = text.find(':');
    if (c1 == std::string::npos) return "expected C:RATIO[:AMPLITUDE]";
    const auto c2 = text.find(':', c1 + 1);
    const std::string ch = text.substr(0, c1);
    const std::string ratio = text.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);

    char* end = nullptr;
    const long c = std::strtol(ch.c_str(), &end, 10);
    if (ch.empty() || *end != '\0' || c < 0 || c >= kMaxChannels) return "the channel must be 0 .. 63";

    std::optional<double> r;
    if (const auto slash = ratio.find('/'); slash != std::string::npos) {
        const auto num = number(ratio.substr(0, slash));
        const auto den = number(ratio.substr(slash + 1));
        if (num && den && *den != 0.0) r = *num / *den;
    } else {
        r = number(ratio);
    }
    if (!r) return "the ratio must be a number or a fraction such as 1/64";

    std::optional<double> a;
    if (c2 != std::string::npos) {
        a = number(text.substr(c2 + 1));
        if (!a) return "the amplitude must be a number";
    }
    tones_[static_cast<std::size_t>(c)] = Tone{r, a};
    return "";
}

double Signal::ratio(int channel) const {
    return tones_[static_cast<std::size_t>(channel)].ratio.value_or((channel + 1) / 64.0);
}

double Signal::amplitude(int channel, int32_t cardType) const {
    return tones_[static_cast<std::size_t>(channel)].amplitude.value_or(full_scale(cardType) / 2.0);
}

double full_scale(int32_t cardType) { return full_scale_of(encoding_of(cardType)); }

int channel_count(int32_t cardType) {
    const kelmo::catalogue::Row* row = kelmo::catalogue::find_row(kelmo::reduce_code(cardType));
    return row ? row->channels : kMaxChannels;
}

uint32_t loopback_word(int32_t cardType, uint16_t da) {
    using enum Encoding;
    const int32_t code = static_cast<int16_t>(da);
    const int32_t code12 = code >> 4;  // arithmetic: -2048 .. 2047
    switch (encoding_of(cardType)) {
        case None: return 0;
        case Offset16Of5000: return static_cast<uint32_t>(code + 32768);
        case Signed12Of5000: return static_cast<uint32_t>(code12) & 0x0FFFu;
        case Offset12Of5000: return static_cast<uint32_t>(code12 + 2048);
        case Inverted12Of5000: return static_cast<uint32_t>(2048 - std::max(code12, -2047));
        case Signed32Of5000:
        case Signed32Of10000: return static_cast<uint32_t>(code) << 16;
        case Signed24Of5000: return static_cast<uint32_t>(code) << 8;
        default: return da;  // the signed 16-bit words
    }
}

std::vector<uint8_t> raw_block(int32_t cardType, const Signal& signal, int first, int channels, uint64_t start,
                               uint32_t count, std::size_t maxBytes, const Playback* playback) {
    const Encoding encoding = encoding_of(cardType);
    const std::size_t width = word_bytes(encoding);
    const uint64_t words = static_cast<uint64_t>(std::max(channels, 0)) * count;
    const std::size_t bytes = static_cast<std::size_t>(std::min<uint64_t>(words * width, maxBytes));
    std::vector<uint8_t> out(bytes, 0);
    if (encoding == Encoding::None) return out;

    // 2047/2048 of full scale is a code every format holds at both ends
    // (the 12-bit ones included); beyond it the raw words would wrap.
    const double limit = full_scale_of(encoding) * (2047.0 / 2048.0);
    std::size_t at = 0;  // next output byte
    for (int k = 0; k < channels && at < bytes; ++k) {
        const int c = first + k;
        if (playback && !(*playback)[static_cast<std::size_t>(c)].empty()) {
            const std::vector<uint16_t>& words = (*playback)[static_cast<std::size_t>(c)];
            for (uint32_t i = 0; i < count && at < bytes; ++i) {
                const uint32_t w = loopback_word(cardType, words[(start + i) % words.size()]);
                const std::size_t take = std::min(width, bytes - at);
                std::memcpy(out.data() + at, &w, take);  // little-endian: the low 2 bytes of a narrow word
                at += take;
            }
            continue;
        }
        const double ratio = signal.ratio(c);
        const double a = signal.amplitude(c, cardType);
        for (uint32_t i = 0; i < count && at < bytes; ++i) {
            // The fraction of a cycle, so long runs keep their precision.
            double cycles = ratio * static_cast<double>(start + i);
            cycles -= std::floor(cycles);
            const uint32_t w = encode(encoding, std::clamp(a * std::sin(2.0 * std::numbers::pi * cycles), -limit, limit));
            const std::size_t take = std::min(width, bytes - at);
            std::memcpy(out.data() + at, &w, take);  // little-endian
            at += take;
        }
    }
    return out;
}

double sample_rate(int32_t cardType, uint32_t divider, int channels) {
    const uint32_t d = std::max<uint32_t>(divider, 1);
    const int n = std::max(channels, 1);
    double hz = 0.0;
    if (!kelmo::read_back_frequency(kelmo::reduce_code(cardType), d, n, 0, 1.0, &hz) || !(hz > 0.0) ||
        !std::isfinite(hz))
        hz = 1e6 / d / n;
    return hz;
}

}  // namespace zebsim
