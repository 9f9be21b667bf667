// The sound card's continuous capture (card type 800).
#pragma once

#include <cstdint>

namespace kelmo::sound {

// Starts the process-wide capture of `count` channels at divider freqCode.
// Shows the failing step's message and returns false when it cannot run.
bool start_capture(uint32_t freqCode, int32_t count);

// Stops, resets and closes the capture and releases its buffer; every
// failing step shows its message and the next one runs all the same.
void stop_capture();

}  // namespace kelmo::sound
