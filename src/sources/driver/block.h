// What a block request leaves in the raw buffer, handed to the caller.
#pragma once

#include <cstdint>

namespace kelmo::driver {

// Delivers `count` output samples from a block the driver wrote: the first
// of every `mult` raw 16-bit samples, copied as raw words or converted to
// the card type's engineering values (one conversion per sample in 32-fold
// mode, one for the whole block otherwise).
void deliver_block(int32_t type, uint32_t mult, uint32_t count, void* raw, void* out, bool rawWords);

}  // namespace kelmo::driver
