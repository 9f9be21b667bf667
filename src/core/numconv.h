// Conversions from double to integer with a defined result everywhere.
#pragma once

#include <cmath>
#include <cstdint>

namespace kelmo {

// x truncated toward zero. NaN and values outside the int64 range give
// INT64_MIN, the processor's "integer indefinite", so their low bits are 0.
inline int64_t trunc_i64(double x) {
    if (!(x > -9223372036854775808.0 && x < 9223372036854775808.0)) return INT64_MIN;
    return static_cast<int64_t>(x);
}

}  // namespace kelmo
