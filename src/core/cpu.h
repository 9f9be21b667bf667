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

#include <mutex>
#include <string>

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

// What Auto means for one computation. The instruction set alone does not
// tell which kernel is fastest (a processor that splits 512-bit operations
// in two may run the 256-bit kernel faster), so at its first use the
// chooser times `trial` under each kernel the build carries and the
// processor runs, the fastest of a few runs each, and keeps the fastest
// kernel. KELMO_KERNEL=scalar|avx2|avx512 in the environment forces one
// instead (the best at or below it the processor runs), as a kernel asked
// for by name does. Thread-safe; every kernel gives the same bits, so the
// choice changes only the speed.
class KernelChooser {
public:
    using Trial = void (*)(Kernel kernel);
    KernelChooser(const char* what, bool avx512Built, Trial trial)
        : what_(what), avx512Built_(avx512Built), trial_(trial) {}
    Kernel choose(Kernel wanted);
    // Why Auto runs what it runs, in a sentence (the chooser decides first).
    std::string why();

private:
    void decide();

    const char* what_;
    bool avx512Built_;
    Trial trial_;
    std::once_flag once_;
    Kernel chosen_ = Kernel::Scalar;
    std::string why_;
};

}  // namespace kelmo
