// Waiting for real time to catch up, without burning a core: the waits
// sleep in slices and poll the tick count, so they never return before
// their deadline and return within a couple of milliseconds after it.
#pragma once

#include <cstdint>

namespace kelmo {

// A moment on both clocks: the tick count (the time base the library's
// results are built on) and the finer monotonic clock.
struct PaceMark {
    uint32_t tick;
    uint64_t us;
};
PaceMark pace_mark();

// Returns once (tick count - t0.tick), as an unsigned 32-bit difference,
// is at least durationMs, and durationMs have passed on the fine clock too
// (the tick count's start was rounded down to a whole millisecond).
void wait_elapsed(const PaceMark& t0, double durationMs);

// Returns once the tick count has reached `deadline` (wrap-aware) and the
// fine clock `notBeforeUs` (0: no such moment), but never waits longer
// than maxWaitMs: a deadline further away than that comes from a corrupted
// start time.
void wait_until_tick(uint32_t deadline, double maxWaitMs, uint64_t notBeforeUs = 0);

}  // namespace kelmo
