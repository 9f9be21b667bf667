#include "core/cpu.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

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

namespace {

// The kernel KELMO_KERNEL names, Auto when it names none.
Kernel kernel_from_environment(const char** text) {
    const char* v = std::getenv("KELMO_KERNEL");
    *text = v;
    if (!v || !*v) return Kernel::Auto;
    for (Kernel k : {Kernel::Scalar, Kernel::Avx2, Kernel::Avx512})
        if (std::strcmp(v, kernel_name(k)) == 0) return k;
    return Kernel::Auto;
}

}  // namespace

Kernel KernelChooser::choose(Kernel wanted) {
    if (wanted != Kernel::Auto) return kernel_for(wanted, avx512Built_);
    std::call_once(once_, [this] { decide(); });
    return chosen_;
}

std::string KernelChooser::why() {
    std::call_once(once_, [this] { decide(); });
    return why_;
}

void KernelChooser::decide() {
    const char* text = nullptr;
    const Kernel forced = kernel_from_environment(&text);
    char b[256];
    if (forced != Kernel::Auto) {
        chosen_ = kernel_for(forced, avx512Built_);
        std::snprintf(b, sizeof b, "%s: %s, as KELMO_KERNEL=%s asks%s", what_, kernel_name(chosen_), text,
                      chosen_ == forced ? "" : " (the processor runs no faster one)");
        why_ = b;
        return;
    }
    std::vector<Kernel> candidates{Kernel::Scalar};
    if (kernel_for(Kernel::Avx2, avx512Built_) == Kernel::Avx2) candidates.push_back(Kernel::Avx2);
    if (kernel_for(Kernel::Avx512, avx512Built_) == Kernel::Avx512) candidates.push_back(Kernel::Avx512);
    // The scalar code only where nothing else runs: it is never the faster.
    if (candidates.size() > 1) candidates.erase(candidates.begin());
    chosen_ = candidates.back();
    if (candidates.size() == 1) {
        std::snprintf(b, sizeof b, "%s: %s, the one kernel this processor runs%s", what_, kernel_name(chosen_),
                      text && *text ? " (KELMO_KERNEL names no kernel: scalar, avx2 or avx512)" : "");
        why_ = b;
        return;
    }
    using Clock = std::chrono::steady_clock;
    std::string times;
    double best = -1;
    for (Kernel k : candidates) {
        trial_(k);  // warm: the first run pays for the caches and the clock
        double fastest = -1;
        for (int run = 0; run < 5; ++run) {
            const auto t0 = Clock::now();
            trial_(k);
            const double s = std::chrono::duration<double>(Clock::now() - t0).count();
            if (fastest < 0 || s < fastest) fastest = s;
        }
        if (best < 0 || fastest < best) best = fastest, chosen_ = k;
        std::snprintf(b, sizeof b, "%s%s %.1f us", times.empty() ? "" : ", ", kernel_name(k), fastest * 1e6);
        times += b;
    }
    std::snprintf(b, sizeof b, "%s: %s, the fastest here at its first use (%s)%s", what_, kernel_name(chosen_),
                  times.c_str(), text && *text ? "; KELMO_KERNEL names no kernel: scalar, avx2 or avx512" : "");
    why_ = b;
}

}  // namespace kelmo
