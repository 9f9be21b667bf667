// Numbers as text for the text formats, at the speed of the disk: a value
// with six decimals exactly as "%.6f" prints it (correctly rounded, ties to
// even, the sign of a negative zero kept), from integer arithmetic on the
// double's bits rather than a general formatting routine.
#pragma once

#include <cstddef>

namespace kelmo::cli {

// The most a call of put_fixed6 writes.
constexpr std::size_t kFixed6Most = 400;

// Writes `v` as "%.6f" at `out` and returns the end of what it wrote (no
// terminating NUL). NaN and the infinities read "nan", "inf", "-inf".
char* put_fixed6(char* out, double v);

// Writes `before` and put_fixed6 of each of the `count` values v[i * stride].
// Room: (1 + kFixed6Most) a value, or 21 a value below 10^12 in magnitude.
char* put_fixed6_each(char* out, const double* v, std::size_t count, std::ptrdiff_t stride, char before);

// Writes `v` as "%.9g" at `out` (at most 32 characters) and returns the end.
char* put_general9(char* out, double v);

}  // namespace kelmo::cli
