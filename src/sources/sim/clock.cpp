#include "sources/sim/clock.h"

#include <cmath>

#include "core/numconv.h"

namespace kelmo::sim {

SimDivider sim_divider(double frequency) {
    double f = std::isnan(frequency) ? 0.001 : frequency;
    if (f > kClock) f = kClock;
    if (f < 0.001) f = 0.001;
    const double d = kClock / f;
    if (d <= 4096000000.0) {
        const auto code = static_cast<uint32_t>(trunc_i64(d + 0.4));
        return {code, kClock / code, 1.0};
    }
    const double s = 20000.0 / f;
    return {kSlowDivider, (kClock / s) / kSlowDivider, s};
}

}  // namespace kelmo::sim
