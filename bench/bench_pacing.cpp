// How exactly paced simulated acquisitions return: (return time - the
// block's length in real time) for blocks (OneChSam) and for continuous
// fetches (get_dbl_data, measured from the start of the acquisition), as
// minimum, median, 99th percentile and maximum in microseconds. A sleep of
// the block's length beside them is the baseline of what the system gives.
// Negative figures are early returns.
//
// The figures are for reading, never for asserting. genwave must be
// reachable (the library starts it beside itself or on PATH).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "kelmo.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSamples = 100;  // 10 ms at 10 kHz

void report(benchmark::State& state, std::vector<double> lateUs) {
    if (lateUs.empty()) return;
    std::sort(lateUs.begin(), lateUs.end());
    state.counters["min_us"] = lateUs.front();
    state.counters["median_us"] = lateUs[lateUs.size() / 2];
    state.counters["p99_us"] = lateUs[lateUs.size() * 99 / 100];
    state.counters["max_us"] = lateUs.back();
}

uint32_t divider() {
    char text[131];
    int status = 0;
    if (!Checkcard(123, text, &status)) return 0;
    uint32_t code = 0;
    double actual = 0;
    PreSamp(123, 10000.0, &code, &actual);
    return code;
}

void blocks(benchmark::State& state) {
    const uint32_t code = divider();
    if (!code) return state.SkipWithError("no simulated source");
    std::vector<double> out(kSamples), late;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        if (!OneChSam(123, static_cast<int>(code), kSamples, 1, 1, out.data())) return state.SkipWithError("failed");
        late.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count() - 10000.0);
    }
    report(state, late);
}

void continuous(benchmark::State& state) {
    const uint32_t code = divider();
    if (!code) return state.SkipWithError("no simulated source");
    uint32_t handle = 0;
    const auto t0 = Clock::now();
    if (!Set_dbl_MulChSam(&handle, 123, static_cast<int>(code), 1, 1, kSamples))
        return state.SkipWithError("failed");
    std::vector<double> out(kSamples), late;
    int status = 0;
    for (auto _ : state) {
        if (!get_dbl_data(&handle, 123, kSamples, 1, out.data(), kSamples, 0, &status)) break;
        late.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count() -
                       10000.0 * static_cast<double>(late.size() + 1));
    }
    recover(&handle, 123);
    report(state, late);
}

void sleep_baseline(benchmark::State& state) {
    std::vector<double> late;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        late.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count() - 10000.0);
    }
    report(state, late);
}

}  // namespace

BENCHMARK(blocks)->Iterations(300)->UseRealTime();
BENCHMARK(continuous)->Iterations(300)->UseRealTime();
BENCHMARK(sleep_baseline)->Iterations(300)->UseRealTime();
BENCHMARK_MAIN();
