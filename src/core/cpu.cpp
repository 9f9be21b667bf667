#include "core/cpu.h"

namespace kelmo {

bool cpu_has_avx2() {
#ifdef KELMO_HAVE_AVX2_KERNEL
    static const bool has = [] {
        __builtin_cpu_init();
        // With FMA, which the noise filter's kernel uses: every processor
        // with AVX2 has it.
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return has;
#else
    return false;
#endif
}

bool cpu_has_avx512() {
#if defined(__x86_64__)
    // The compiler's check includes the system's support for the vector
    // state (the 512-bit registers and the mask registers).
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    }();
    return has;
#else
    return false;
#endif
}

Kernel kernel_for(Kernel wanted, bool avx512Built) {
    if (wanted == Kernel::Auto) wanted = Kernel::Avx512;
    if (wanted == Kernel::Avx512 && avx512Built && cpu_has_avx512()) return Kernel::Avx512;
    if (wanted != Kernel::Scalar && cpu_has_avx2()) return Kernel::Avx2;
    return Kernel::Scalar;
}

const char* kernel_name(Kernel kernel) {
    switch (kernel) {
        case Kernel::Auto: return "auto";
        case Kernel::Scalar: return "scalar";
        case Kernel::Avx2: return "avx2";
        case Kernel::Avx512: return "avx512";
    }
    return "?";
}

}  // namespace kelmo
