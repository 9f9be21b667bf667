// What a block request leaves in the raw buffer, handed to the caller.
#pragma once

#include <cstdint>

namespace kelmo::driver {

// Delivers `count` output samples from a block the driver wrote: the first
// of every `mult` raw 16-bit samples, copied as raw words or converted to
// the card type's engineering values (one conversion per sample in 32-fold
// mode, one for the whole block otherwise).
void deliver_block(int32_t type, uint32_t mult, uint32_t count, void* raw, void* out, bool rawWords);

// The bytes of `raw` that a block of `count` output samples touches: the
// driver's transfer of count x mult 16-bit samples, and the count raw words
// of the card type (4 bytes each for the 32-bit types) that deliver_block
// converts. A raw buffer is never smaller.
uint64_t block_bytes(int32_t type, uint32_t mult, uint64_t count);

}  // namespace kelmo::driver
