// Waiting for real time to catch up, without burning a core: the waits
// sleep in slices and poll the tick count, so they never return before
// their deadline and return within a couple of milliseconds after it.
#pragma once

#include <cstdint>

namespace kelmo {

// Returns once (tick count - t0), as an unsigned 32-bit difference, is at
// least durationMs.
void wait_elapsed(uint32_t t0, double durationMs);

// Returns once the tick count has reached `deadline` (wrap-aware), but
// never waits longer than maxWaitMs: a deadline further away than that
// comes from a corrupted start time.
void wait_until_tick(uint32_t deadline, double maxWaitMs);

}  // namespace kelmo
