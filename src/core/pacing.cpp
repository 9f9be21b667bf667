#include "core/pacing.h"

#include <algorithm>

#include "platform/platform.h"

namespace kelmo {
namespace {

// Sleeps for what is left (at most a second at a time, at least half a
// millisecond, below which some systems only yield).
void sleep_for_us(double remainingUs) {
    const double us = std::clamp(remainingUs, 500.0, 1000000.0);
    platform::current().clock.sleep_us(static_cast<uint32_t>(us));
}

}  // namespace

PaceMark pace_mark() {
    auto& p = platform::current();
    return {p.clock.tick_count(), p.clock.precise_us()};
}

void wait_elapsed(const PaceMark& t0, double durationMs) {
    auto& p = platform::current();
    if (!(durationMs > 0)) return;  // NaN durations do not wait
    const double durationUs = durationMs * 1000.0;
    for (;;) {
        const uint32_t elapsed = p.clock.tick_count() - t0.tick;
        const uint64_t now = p.clock.precise_us();
        const double fine = now >= t0.us ? static_cast<double>(now - t0.us) : 0.0;
        if (!(fine < durationUs)) return;
        if (static_cast<double>(elapsed) >= durationMs + 2.0) return;
        sleep_for_us(durationUs - fine);
    }
}

void wait_until_tick(uint32_t deadline, double maxWaitMs, uint64_t notBeforeUs) {
    auto& p = platform::current();
    const uint32_t start = p.clock.tick_count();
    for (;;) {
        const uint32_t now = p.clock.tick_count();
        const int32_t ahead = static_cast<int32_t>(deadline - now);
        if (static_cast<double>(now - start) >= maxWaitMs) return;
        if (notBeforeUs == 0) {
            if (ahead <= 0) return;
            sleep_for_us(ahead * 1000.0);
            continue;
        }
        const uint64_t fine = p.clock.precise_us();
        if (fine >= notBeforeUs || ahead <= -2) return;
        sleep_for_us(static_cast<double>(notBeforeUs - fine));
    }
}

}  // namespace kelmo
