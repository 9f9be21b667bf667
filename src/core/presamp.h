// Pre-sampling: from a divider (freqCode) back to the sampling frequency it
// gives. The dividers chosen for a wanted frequency are the sources' own.
#pragma once

#include <cstdint>

namespace kelmo {

// The sampling frequency that divider d gives on `type` with n channels;
// false for card types without a read-back formula.
bool read_back_frequency(int32_t type, uint32_t d, int32_t n, int32_t clockFlag, double simScale, double* hz);

}  // namespace kelmo
