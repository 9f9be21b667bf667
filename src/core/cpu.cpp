#include "core/cpu.h"

namespace kelmo {

bool cpu_has_avx2() {
#ifdef KELMO_HAVE_AVX2_KERNEL
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
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

}  // namespace kelmo
