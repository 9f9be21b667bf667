#include "core/pacing.h"

#include <algorithm>

#include "platform/platform.h"

namespace kelmo {
namespace {

// Sleeps for most of what is left, then in short slices for the last
// millisecond or two (the tick count moves in whole milliseconds).
void sleep_toward(double remainingMs) {
    auto& p = platform::current();
    if (remainingMs > 2.0) {
        const double ms = remainingMs - 1.0;
        p.sleep_us(ms > 1000.0 ? 1000000u : static_cast<uint32_t>(ms * 1000.0));
    } else {
        p.sleep_us(500);
    }
}

}  // namespace

PaceMark pace_mark() {
    auto& p = platform::current();
    return {p.tick_count(), p.precise_us()};
}

void wait_elapsed(const PaceMark& t0, double durationMs) {
    auto& p = platform::current();
    if (!(durationMs > 0)) return;  // NaN durations do not wait
    const double durationUs = durationMs * 1000.0;
    for (;;) {
        const uint32_t elapsed = p.tick_count() - t0.tick;
        const uint64_t now = p.precise_us();
        const double fine = now >= t0.us ? static_cast<double>(now - t0.us) : 0.0;
        if (!(static_cast<double>(elapsed) < durationMs) && !(fine < durationUs)) return;
        const double left = std::max(durationMs - elapsed, (durationUs - fine) / 1000.0);
        // A fine clock that lags the tick count by more than the tick's own
        // rounding is not waited for.
        if (static_cast<double>(elapsed) >= durationMs + 2.0) return;
        sleep_toward(left);
    }
}

void wait_until_tick(uint32_t deadline, double maxWaitMs, uint64_t notBeforeUs) {
    auto& p = platform::current();
    const uint32_t start = p.tick_count();
    for (;;) {
        const uint32_t now = p.tick_count();
        const int32_t ahead = static_cast<int32_t>(deadline - now);
        const uint64_t fine = p.precise_us();
        const double fineAheadMs = notBeforeUs > fine ? static_cast<double>(notBeforeUs - fine) / 1000.0 : 0.0;
        if (ahead <= 0 && fineAheadMs <= 0.0) return;
        if (static_cast<double>(now - start) >= maxWaitMs) return;
        sleep_toward(std::max(static_cast<double>(ahead), fineAheadMs));
    }
}

}  // namespace kelmo
