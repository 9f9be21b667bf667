// The simulated source through the exports, measured without the benchmark
// library, so that the Windows build (run under wine) gives its figures
// too: the fixed cost of a call, CPU time per sample of continuous fetches
// beside the straightforward generator, and how paced blocks return.
//
// Times are wall-clock (the fastest of several rounds; on wine part of a
// call's work happens in the wine server). For reading, never asserting.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "kelmo.h"
#include "sim_setup.h"
#include "straightforward.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::Signal;

// Seconds per run of f: the fastest of `rounds` rounds of `reps` runs.
double fastest(int rounds, int reps, const std::function<void()>& f) {
    double best = 1e30;
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = Clock::now();
        for (int i = 0; i < reps; ++i) f();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count() / reps);
    }
    return best;
}

// Seconds per fetch of nch channels of n samples (card type 1230: unpaced).
double fetch_seconds(Signal s, int nch, int n, int reps) {
    bench::publish(s);
    uint32_t handle = 0;
    if (!Set_dbl_MulChSam(&handle, 123, static_cast<int>(bench::divider()), 1, nch, n)) return -1;
    std::vector<double> buf(std::size_t(nch) * n);
    int status = 0;
    bool ok = true;
    const double t = fastest(5, reps, [&] { ok = ok && get_dbl_data(&handle, 1230, n, nch, buf.data(), n, 0, &status); });
    recover(&handle, 1230);
    return ok ? t : -1;
}

double straightforward_seconds(Signal s, int n, int reps) {
    std::vector<double> buf(n);
    const uint32_t code = bench::divider();
    return fastest(5, reps, [&] {
        if (s == Signal::White || s == Signal::Band) {
            bench::plain_noise(s == Signal::Band, 1000, 2500, 1000, 1, code, n, 0, buf.data());
        } else {
            const int waveform = s == Signal::Cosine ? 2 : s == Signal::Triangle ? 3 : 4;
            bench::plain_periodic(0, 1000, 500, 440, 2500, 0.5, code, n, buf.data(), waveform);
        }
    });
}

void pacing() {
    std::vector<double> out(100), late;
    for (int i = 0; i < 200; ++i) {
        const auto t0 = Clock::now();
        if (!OneChSam(123, bench::divider(), 100, 1, 1, out.data())) return;
        late.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count() - 10000.0);
    }
    std::sort(late.begin(), late.end());
    std::printf("paced 10 ms blocks, return - length (us): min %.0f, median %.0f, p99 %.0f, max %.0f\n", late.front(),
                late[late.size() / 2], late[late.size() * 99 / 100], late.back());
}

}  // namespace

int main() {
    if (!bench::publish_source()) return 1;
    std::printf("fixed cost of one call: %.1f us\n", fetch_seconds(Signal::None, 1, 1, 2000) * 1e6);
    std::printf("%-28s %12s %18s %10s\n", "case", "ns/sample", "straightforward", "speed-up");
    for (Signal s : {Signal::Cosine, Signal::Triangle, Signal::Square, Signal::White, Signal::Band}) {
        for (int n : {4096, 65536}) {
            const int reps = n == 4096 ? 40 : 4;
            const double lib = fetch_seconds(s, 1, n, reps);
            const double plain = straightforward_seconds(s, n, reps / 2);
            std::printf("%-14s n:%-11d %12.2f %18.2f %10.2f\n", bench::name_of(s), n, lib * 1e9 / n, plain * 1e9 / n,
                        plain / lib);
        }
    }
    pacing();
    return 0;
}
