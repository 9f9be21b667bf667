// What the processor offers, and the one home of the run-time choice of
// vector kernels (the conversion's and the generator's ask it).
#pragma once

// The x86 builds carry AVX2 kernels beside the portable ones.
#if defined(__x86_64__) || defined(__i386__)
#define KELMO_HAVE_AVX2_KERNEL 1
#endif
// The AVX-512 kernels (F, BW, DQ and VL) are built for 64-bit x86 outside
// Windows, whose compilers cannot align the stack to 64 bytes: the one
// place that knows it.
#if defined(__x86_64__) && !defined(_WIN32)
#define KELMO_HAVE_AVX512_KERNELS 1
#endif

namespace kelmo {

// True when the processor (and the system) can run AVX2 and FMA code;
// asked once.
bool cpu_has_avx2();
// True when the processor (and the system) can run AVX-512 F, BW, DQ and VL
// code; asked once.
bool cpu_has_avx512();

// The kernels of a computation, from the plainest: every one gives the same
// bits. Auto is the run-time choice.
enum class Kernel : int { Auto = 0, Scalar = 1, Avx2 = 2, Avx512 = 3 };
// The kernel that runs when `wanted` is asked for: the best at or below it
// (Auto: the best of all) among those the build carries for the computation
// (AVX2 on x86; AVX-512 where `avx512Built`) and the processor can run.
Kernel kernel_for(Kernel wanted, bool avx512Built);
// "auto", "scalar", "avx2" or "avx512".
const char* kernel_name(Kernel kernel);

}  // namespace kelmo
