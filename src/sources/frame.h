// The unit frame: what every acquisition export opens first, and the one
// home of the call's per-sample arithmetic. It forms the effective card
// type and looks its descriptor up (once per call), opens the unit's
// status block (it must exist) and reads its mode word; from these it
// answers how many raw words make one output sample, how big the call's
// raw buffer is, and how the raw words convert.
#pragma once

#include <cstdint>
#include <memory>

#include "core/card_type.h"
#include "core/card_types.h"
#include "core/convert.h"
#include "platform/platform.h"

namespace kelmo {

// What a block acquisition hands back: engineering values (doubles) or the
// raw sample words of the card type.
enum class Delivery : uint8_t { Values, Words };

// A channel argument: count, or first channel x 256 + count packed into
// one 16-bit value above 255 (a packed count of 0 means 256).
struct ChannelSpan {
    int32_t first;
    int32_t count;
};
inline ChannelSpan unpack_channels(int32_t arg) {
    const int32_t v = static_cast<int16_t>(arg);
    if (v > 255) {
        const int32_t count = v % 256;
        return {v / 256, count == 0 ? 256 : count};
    }
    return {0, v};
}

struct UnitFrame {
    UnitCode code{};
    cards::CardType card;             // what the effective card type is
    std::shared_ptr<platform::SharedMemory> block;  // open for the whole call
    int32_t mode = 0;                 // word 0; -1: 32-fold mode
    Conversion conversion;            // the card type's, at the recording input's gain

    // Opens the block of the unit that the sign of cardType selects;
    // `ok()` is false when it does not exist.
    explicit UnitFrame(int32_t cardType);
    bool ok() const { return block != nullptr; }
    // ok(), and when the block is missing the caller's reason: the unit
    // was never set up.
    bool ready() const;
    int32_t type() const { return code.type; }

    // ---- raw words per output sample -------------------------------------
    bool folded() const { return mode == -1; }
    // A block of one channel, and a block of raw words of several: 32 in
    // 32-fold mode, else 1.
    uint32_t single_mult() const { return folded() ? 32u : 1u; }
    // A block of several channels: as single_mult for raw words; for values
    // 32 in any negative mode, else the card's own factor.
    uint32_t multi_mult(Delivery d) const {
        if (d == Delivery::Words) return single_mult();
        return mode < 0 ? 32u : card.valuesMult;
    }
    // A continuous fetch: the mode word itself, 32 in any negative mode; a
    // block never read (mode 0) still takes one.
    uint32_t fetch_mult() const { return mode < 0 ? 32u : mode == 0 ? 1u : static_cast<uint32_t>(mode); }

    // ---- the call's raw buffer -------------------------------------------
    unsigned raw_word_bytes() const { return kelmo::raw_word_bytes(card.conv); }
    // The bytes of a transfer of count x mult raw words: what a request's
    // output size says and what a raw buffer holds at least.
    uint64_t transfer_bytes(uint32_t mult, uint64_t count) const { return count * mult * raw_word_bytes(); }
    // The raw buffer of a block of n samples of channel k (0-based); null
    // when it cannot be had.
    platform::PageBufferPtr single_raw(int32_t k, uint32_t n, Delivery d) const;
    // The raw buffer of a block of len samples of span.count channels, at
    // `mult` raw words per sample; null when it cannot be had.
    platform::PageBufferPtr multi_raw(ChannelSpan span, int32_t len, bool exVariant, uint32_t mult) const;
};

// The sampling frequency an output sample has, from the raw sampling
// frequency and mode word `mode`: in 32-fold mode (-1, and -2 for the
// read-back) only every 32nd raw sample is an output sample.
inline double output_rate(int32_t mode, double rawHz) { return (mode == -1 || mode == -2) ? rawHz * 0.03125 : rawHz; }

}  // namespace kelmo
