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

}  // namespace kelmo
