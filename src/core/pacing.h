// Waiting for real time to catch up, without burning a core: the waits
// sleep for what is left on the fine monotonic clock, so they never return
// before their deadline in real time and return within the system's sleep
// precision after it.
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

// Returns once durationMs have passed on the fine clock since t0. A fine
// clock that lags the tick count by more than 2 ms is not waited for (the
// tick count then decides).
void wait_elapsed(const PaceMark& t0, double durationMs);

// Returns once the fine clock reaches notBeforeUs; without such a moment
// (0), once the tick count has reached `deadline` (wrap-aware). Never
// waits longer than maxWaitMs: a deadline further away than that comes
// from a corrupted start time.
void wait_until_tick(uint32_t deadline, double maxWaitMs, uint64_t notBeforeUs = 0);

}  // namespace kelmo
