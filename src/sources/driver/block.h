// What a block request leaves in the raw buffer, handed to the caller.
#pragma once

#include <cstdint>

namespace kelmo::driver {

// A block's raw samples are words of the card type: 16 bits, or 32 for the
// 32-bit formats.
//
// Delivers `count` output samples from a block the driver wrote: raw words
// copied (every `mult`-th, in the card type's width), or engineering values
// (in 32-fold mode the conversion of every 32nd raw word, one at a time;
// otherwise of the first `count` raw words in order).
void deliver_block(int32_t type, uint32_t mult, uint32_t count, void* raw, void* out, bool rawWords);

// The bytes of the driver's transfer of count x mult raw words: what the
// request's output size says and what a raw buffer holds at least.
uint64_t transfer_bytes(int32_t type, uint32_t mult, uint64_t count);

}  // namespace kelmo::driver
