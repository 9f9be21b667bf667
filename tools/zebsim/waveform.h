// What zebsim's card measures: one sine per channel, encoded in the raw
// word format of a card type by zebsim's own encoder (encoding.h). No I/O
// here.
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

// What the card's D/A converter plays under --loopback, per D/A channel:
// the words of the last data request, repeated, word k at every raw sample
// index s with s mod length = k. An empty channel plays nothing.
using Playback = std::array<std::vector<uint16_t>, kMaxChannels>;

// The raw word of `cardType` that A/D channel c reads while D/A channel c
// plays the word `da`, a 16-bit two's complement code of the card type's
// full scale: the card types with signed 16-bit raw words read it as it is;
// offset-binary 16-bit words are the code + 32768; the 12-bit types read its
// top 12 bits (da >> 4, arithmetic), in their own encoding (the
// complemented one, which has no code for -2048, reads it as -2047); the
// 32-bit types read it in their top 16 bits, the 24-bit one in the top 16
// of its 24. 0 for a type without a raw format.
uint32_t loopback_word(int32_t cardType, uint16_t da);

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
// A channel that `playback` drives carries its D/A words instead of the sine.
std::vector<uint8_t> raw_block(int32_t cardType, const Signal& signal, int first, int channels, uint64_t start,
                               uint32_t count, std::size_t maxBytes, const Playback* playback = nullptr);

// Samples per second and channel of `cardType` at divider d with n
// channels: the library's read-back frequency, or 1 MHz / d / n for a type
// without one.
double sample_rate(int32_t cardType, uint32_t divider, int channels);

}  // namespace zebsim
