// What a block request leaves in the raw buffer, handed to the caller.
#pragma once

#include <cstdint>

#include "sources/frame.h"

namespace kelmo::driver {

// Delivers `count` output samples from a block the driver wrote: raw words
// copied (every `mult`-th, in the card type's width), or engineering values
// (in 32-fold mode the conversion of every 32nd raw word, one at a time;
// otherwise of the first `count` raw words in order).
void deliver_block(const UnitFrame& f, uint32_t mult, uint32_t count, void* raw, void* out, Delivery delivery);

}  // namespace kelmo::driver
