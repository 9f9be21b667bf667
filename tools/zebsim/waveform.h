// What zebsim's card measures: one sine per channel, encoded in the raw
// word format of a card type by the library's own conversion. No I/O here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zebsim {

// The most channels a card type can have (also the count of a type
// without a catalogue row).
inline constexpr int kMaxChannels = 64;

// Channel c at raw sample index s carries amplitude * sin(2 pi ratio s).
// Unset values take the default: ratio (c + 1) / 64 of the sampling rate,
// amplitude half the card type's full scale.
struct Tone {
    std::optional<double> ratio;      // cycles per sample
    std::optional<double> amplitude;  // engineering units
};

class Signal {
public:
    // Parses "C:RATIO" or "C:RATIO:AMPLITUDE" (C: channel 0 .. 63; RATIO a
    // decimal number or a fraction "1/64"; AMPLITUDE in engineering units)
    // and sets that channel. Returns "" or what is wrong.
    std::string set(const std::string& text);

    double ratio(int channel) const;
    double amplitude(int channel, int32_t cardType) const;

private:
    std::array<Tone, kMaxChannels> tones_{};
};

// Full scale of a card type in engineering units, by its raw word format:
// 10000 for the +-10000 formats, 1000 and 2000 for those ranges, else 5000.
double full_scale(int32_t cardType);

// Channels of a card type: its catalogue row's, or kMaxChannels.
int channel_count(int32_t cardType);

// The raw block of `cardType`: `count` samples from raw sample index
// `start` of each of the channels first .. first + channels - 1, channel
// after channel, in the type's raw words (2 or 4 bytes each; words of 0 for
// a type without a raw format). Cut to its first `maxBytes` bytes.
// Values beyond the full scale saturate just inside it, as an input would.
std::vector<uint8_t> raw_block(int32_t cardType, const Signal& signal, int first, int channels, uint64_t start,
                               uint32_t count, std::size_t maxBytes);

// Samples per second and channel of `cardType` at divider d with n
// channels: the library's read-back frequency, or 1 MHz / d / n for a type
// without one.
double sample_rate(int32_t cardType, uint32_t divider, int channels);

}  // namespace zebsim
