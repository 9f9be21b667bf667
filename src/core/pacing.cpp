#include "core/pacing.h"

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

void wait_elapsed(uint32_t t0, double durationMs) {
    auto& p = platform::current();
    for (;;) {
        const uint32_t elapsed = p.tick_count() - t0;
        if (!(static_cast<double>(elapsed) < durationMs)) return;  // NaN durations do not wait
        sleep_toward(durationMs - elapsed);
    }
}

void wait_until_tick(uint32_t deadline, double maxWaitMs) {
    auto& p = platform::current();
    const uint32_t start = p.tick_count();
    for (;;) {
        const uint32_t now = p.tick_count();
        const int32_t ahead = static_cast<int32_t>(deadline - now);
        if (ahead <= 0) return;
        if (static_cast<double>(now - start) >= maxWaitMs) return;
        sleep_toward(static_cast<double>(ahead));
    }
}

}  // namespace kelmo
