// a * b + c with one rounding, the same bits on every platform and build.
//
// The C library's fma is not that everywhere: some Windows runtimes round
// twice. This one is the processor's instruction where it has one (x86
// with FMA), else an emulation from exact products and sums in double
// arithmetic alone: the product a * b as the exact pair (p, e) (Dekker's
// split), c + p as the exact pair (s, t), then t + e rounded to odd and
// added to s (Boldo and Melquiond's proof: one correct rounding), where a
// and b lie between 2^-480 and 2^480 in magnitude, c below 2^1000 and the
// result is zero or above 2^-1000; a zero product or addend is exact after
// one rounding anyway. Elsewhere, and for infinities and not-a-number, it
// is the C library's fma.
#pragma once

namespace kelmo {

double fused_multiply_add(double a, double b, double c);

// The emulation alone, for its test.
double fused_multiply_add_emulated(double a, double b, double c);

}  // namespace kelmo
