// What each card type is: one descriptor per code, in one table. Every rule
// of the library that depends on the card type reads it from here.
//
// Most rules look a card type up by its effective code (831 .. 859 already
// reduced, see card_type.h); a few take the code exactly as the host passes
// it (word size, the fixed channel setting, the box answer, the signal-to-
// noise floor, the physical channel count), which is why the table also
// holds a few alias codes that only those rules ever reach.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/catalogue.h"
#include "core/convert.h"

namespace kelmo::cards {

// The clocks of the two sources that are no card: the simulated source
// (divided further by its clock scale) and the sound card.
inline constexpr double kSimClock = 4.096e13;
inline constexpr double kSoundClock = 352800.0;

// Where the samples of a card type come from.
enum class SourceKind : uint8_t {
    Driver,     // an acquisition card behind the device driver
    Simulated,  // synthesised from the published parameter block
    SoundCard,  // the PC's waveform input
};

// How a divider d reads back as a sampling frequency (n: channels, S: the
// simulated clock scale, B: 10 MHz, or 8.192 MHz under the clock flag).
enum class ReadBack : uint8_t {
    NoFormula,            // no read-back formula
    ScaledClock,          // clock / d / S
    Fixed,                // clock / d
    PerChannel,           // clock / d / n
    PerChannelClockFlag,  // B / d / n
    PerChannelPair,       // clock / d / ((n + 1) div 2)
};

// From a host's channel number to the hardware's.
enum class Numbering : uint8_t {
    AllOnFirst,   // every channel is physical channel 1
    Own,          // every channel is its own
    SharedBelow,  // channels below `firstOwn` share physical channel 1
    Paired,       // two host channels per physical channel (1,2 -> 1; 3,4 -> 2)
};

// How the driver takes a gain.
enum class GainCode : uint8_t {
    Log2,        // floor(log2(gain) + bias), the bias depending on the export
    Nibbles,     // one log2 code per channel in a nibble each, or 17 x the code
    CountDown,   // 256 / gain, 255 in place of 256
    Unchanged,   // the generator takes the gain itself
};

// How big a block acquisition's raw buffer is drawn (see UnitFrame).
enum class BlockBuffer : uint8_t {
    Words16,  // 16-bit units per sample
    Wide,     // two 16-bit units per sample (the single-channel buffer), 8 bytes (the multi-channel one)
    Packed,   // the multi-channel buffer is len x 8 + 4096 bytes whatever the channels
};

struct CardType {
    int32_t code = -1;
    SourceKind source = SourceKind::Driver;
    // Where the Ex variants of the block and continuous exports go, and
    // where recover goes, when not to `source`.
    std::optional<SourceKind> exSource{};
    std::optional<SourceKind> recoverSource{};

    // ---- by effective code -------------------------------------------------
    ConvGroup conv = ConvGroup::None;  // raw word format and formula of `convert`
    double rangeLimit = 4999.0;        // a block is in range within +-rangeLimit
    ReadBack readBack = ReadBack::NoFormula;
    double clock = 0.0;                // Hz, for the read-back formula
    Numbering numbering = Numbering::AllOnFirst;
    int32_t firstOwn = 0;              // SharedBelow: the first channel of its own
    GainCode gainCode = GainCode::Log2;
    // The two-channel cards: in 32-fold mode the request's channel field is
    // negated, a continuous start records a single channel in word 12, and
    // recover sends the stop request.
    bool twoChannel = false;
    uint8_t valuesMult = 1;            // raw samples per value of a multi-channel block outside 32-fold mode
    BlockBuffer blockBuffer = BlockBuffer::Words16;
    bool boxTrigger = false;           // a failed trigger reports 3 in place of 2
    bool hardwareTrigger = false;      // one channel waits for the external trigger hardware
    const catalogue::Row* row = nullptr;  // the catalogue's entry, if any

    // ---- by the code as passed ------------------------------------------------
    uint8_t wordBytes = 2;             // bytes of a raw sample word (and of ZebAlloc's samples)
    bool channelFixed = false;         // the channel setting cannot be changed
    bool box = false;                  // answers the box routines with 1
    bool analogOutput = false;         // has the D/A converter of the D/A requests
    double snrDb = 160.0;              // attainable signal-to-noise ratio
    // A continuous fetch with this code is one of that code's acquisition,
    // delivered as fast as it can be made (not paced); 0: none.
    int32_t unpacedFetchOf = 0;

    // The conversion of this type's raw words; `soundGain` is the recording
    // input's gain, which only the sound group reads.
    constexpr Conversion conversion(double soundGain) const { return {conv, rangeLimit, soundGain}; }
};

// The descriptor of a code; a code the table does not list gets the
// defaults above (the driver, no conversion, +-4999, no read-back ...),
// with its own code.
CardType card_type(int32_t code);

// The conversion of a code as `convert` takes it: 831 .. 859 reduced, no
// absolute value taken.
Conversion conversion_of(int32_t code, double soundGain);

// Every listed descriptor, in ascending code order.
std::span<const CardType> all_card_types();

}  // namespace kelmo::cards
