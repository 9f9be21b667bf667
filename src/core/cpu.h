// What the processor offers, for the kernels chosen at run time.
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

// True when the processor (and the system) can run AVX2 code; asked once.
bool cpu_has_avx2();
// True when the processor (and the system) can run AVX-512 F, BW, DQ and VL
// code; asked once.
bool cpu_has_avx512();

}  // namespace kelmo
