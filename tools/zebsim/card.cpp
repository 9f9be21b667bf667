#include "card.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/card_types.h"
#include "encoding.h"

namespace zebsim {
namespace {

using namespace kelmo::platform;

// The channel field as an index or a count: its magnitude (the two-channel
// cards send it negated in their 32-fold mode).
int magnitude(int16_t field) { return field < 0 ? -int{field} : int{field}; }

}  // namespace

Reply Card::answer(uint32_t code, const RequestRecord& r, uint32_t outSize, std::span<const uint8_t> input,
                   double now) {
    Reply out;
    out.due = now;
    if (b_.refused.contains(code) || outSize > kMaxOutSize || !serve(code, r, outSize, input, now, out)) {
        out.ok = 0;
        out.status = 0;
        out.data.clear();
        out.due = now;
    } else {
        out.ok = 1;
    }
    out.due = std::max(out.due, now) + b_.delayMs / 1000.0;
    return out;
}

// Fills `out` (data, status and, under --realtime, the time the block is
// complete); false refuses the request.
bool Card::serve(uint32_t code, const RequestRecord& r, uint32_t outSize, std::span<const uint8_t> input, double now,
                 Reply& out) {
    const int32_t type = r.cardType;
    const int channels = channel_count(type);
    switch (code) {
        case kSingleChannel: {
            const int c = magnitude(r.channel);
            if (c >= channels || r.samples < 0) return false;
            const auto n = static_cast<uint32_t>(r.samples);
            out.data = raw_block(type, b_.signal, c, 1, 0, n, outSize, played());
            if (b_.realtime) out.due = now + n / sample_rate(type, static_cast<uint32_t>(r.divider) & 0xFFFF, 1);
            return true;
        }
        case kMultiChannel: {
            const int k = magnitude(r.channel);
            if (k > channels || r.samples < 0) return false;
            const auto n = static_cast<uint32_t>(r.samples);
            out.data = raw_block(type, b_.signal, 0, k, 0, n, outSize, played());
            if (b_.realtime) out.due = now + n / sample_rate(type, static_cast<uint32_t>(r.divider) & 0xFFFF, k);
            return true;
        }
        case kContinuousStart: {
            const int k = std::max(magnitude(r.channel), 1);
            if (k > channels) return false;
            // A start while one runs starts afresh.
            run_ = Run{type, static_cast<uint32_t>(r.divider), k, 0, now};
            return true;
        }
        case kContinuousFetch: {
            // The block comes from the started acquisition (its card type and
            // divider) in the length and for the channels the fetch asks:
            // as many as its output holds. A one-channel fetch of a
            // two-channel card names the channel in its channel field.
            if (!run_ || r.samples < 0) return false;
            Run& run = *run_;
            const auto n = static_cast<uint32_t>(r.samples);
            const uint64_t perChannel = uint64_t{n} * word_bytes(encoding_of(run.type));
            const int k = perChannel == 0 ? 1 : static_cast<int>(std::clamp<uint64_t>(outSize / perChannel, 1, 64));
            int first = 0;
            if (k == 1 && kelmo::cards::card_type(run.type).twoChannel) first = magnitude(r.channel);
            if (first + k > channel_count(run.type)) return false;
            out.data = raw_block(run.type, b_.signal, first, k, run.next, n, outSize, played());
            if (b_.realtime) {
                const double rate = sample_rate(run.type, run.divider, run.channels);
                out.due = run.startedAt + static_cast<double>(run.next + n) / rate;
                if (now > run.startedAt + static_cast<double>(run.next + 2 * uint64_t{n}) / rate)
                    out.status = kStatusLate;
            }
            run.next += n;
            return true;
        }
        case kStop:
            run_.reset();
            return true;
        case kPortStatus: {
            const uint8_t bytes[2] = {static_cast<uint8_t>(b_.portStatus & 0xFF),
                                      static_cast<uint8_t>(b_.portStatus >> 8)};
            out.data.assign(bytes, bytes + std::min<uint32_t>(outSize, 2));
            return true;
        }
        case kDaInit: return true;
        case kDaData: {
            // D/A channel c (the channel field) takes the first `samples`
            // words of the buffer; 0 words end its playing. The buffer is
            // only read: nothing goes back.
            const int c = r.channel;
            if (c < 0 || c >= channels || r.samples < 0 || uint64_t{2} * static_cast<uint32_t>(r.samples) > input.size())
                return false;
            if (b_.loopback) {
                std::vector<uint16_t>& words = playback_[static_cast<std::size_t>(c)];
                words.resize(static_cast<std::size_t>(r.samples));
                for (std::size_t k = 0; k < words.size(); ++k)
                    words[k] = static_cast<uint16_t>(input[2 * k] | input[2 * k + 1] << 8);
            }
            return true;
        }
        default: return false;
    }
}

std::optional<DeviceRequestHeader> parse_request(const uint8_t* bytes, std::size_t size) {
    DeviceRequestHeader req;
    if (size != sizeof req) return std::nullopt;
    std::memcpy(&req, bytes, sizeof req);
    if (req.magic != kDeviceMagic || req.inSize > req.outSize || req.inSize > kDeviceMaxInSize) return std::nullopt;
    return req;
}

std::vector<uint8_t> encode_reply(const Reply& rep) {
    const DeviceReplyHeader head{kDeviceMagic, rep.ok, rep.status, static_cast<uint32_t>(rep.data.size())};
    std::vector<uint8_t> bytes(sizeof head + rep.data.size());
    std::memcpy(bytes.data(), &head, sizeof head);
    if (!rep.data.empty()) std::memcpy(bytes.data() + sizeof head, rep.data.data(), rep.data.size());
    return bytes;
}

std::string log_line(uint32_t code, const RequestRecord& r, uint32_t outSize, uint32_t inSize) {
    char line[200];
    std::snprintf(line, sizeof line, "code=0x%06X type=%d divider=%d samples=%d gain=%u channel=%d adjust=%u out=%u",
                  static_cast<unsigned>(code), static_cast<int>(r.cardType), static_cast<int>(r.divider),
                  static_cast<int>(r.samples), static_cast<unsigned>(r.gainCode), static_cast<int>(r.channel),
                  static_cast<unsigned>(r.adjustSmp), static_cast<unsigned>(outSize));
    std::string text = line;
    if (inSize) text += " in=" + std::to_string(inSize);
    return text;
}

std::optional<uint32_t> parse_code(const std::string& text) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (*end != '\0' || errno == ERANGE || v > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<uint32_t>(v);
}

}  // namespace zebsim
