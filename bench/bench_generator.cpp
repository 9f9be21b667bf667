// Throughput of the simulated signal generator in samples per second, for
// the two noise classes and three periodic cases (a cosine, and a cosine
// swept linearly and exponentially), each next to a straightforward
// implementation of the same algorithm measured in the same run: the noise
// window rebuilt with BesselI0 on every call, the history shifted every
// block and a plain 895-term sum per sample; the periodic formulas
// evaluated inline. After the run a table gives the speed-up of the library
// over the straightforward version, and the kernels that ran.
//
// --kernel=scalar|avx2|avx512 forces the kernels (the best ones the
// processor has by default).
//
// The ratios are for reading, never for asserting: they depend on the
// machine, its caches and its load.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "sources/sim/state.h"
#include "core/share_block.h"
#include "platform/platform.h"
#include "sources/sim/generator.h"
#include "collector.h"
#include "straightforward.h"

namespace {

using namespace kelmo::sim;

constexpr uint32_t kCode10k = 4096000000u;  // 10 kHz with clock scale 1

// ---- cases ------------------------------------------------------------------------------

struct Case {
    std::string name;
    std::string plain;
};
std::vector<Case> g_cases;

// The kernel that runs a waveform's samples.
std::string kernel_of(int waveform) {
    return sim_kernel_name(waveform >= 2 ? sim_periodic_kernel() : sim_noise_kernel());
}

// slot -1: no history memory (zero history, nothing stored back), which
// leaves out what the platform charges for opening and mapping it.
void register_case(const std::string& what, uint32_t n, int waveform, int modulation, int32_t slot = 0) {
    const std::string name = "generator/" + what + "/n:" + std::to_string(n);
    const std::string plain = "straightforward/" + what + "/n:" + std::to_string(n);
    g_cases.push_back({name, plain});
    const double f1 = waveform == 1 ? 1000 : 440, f2 = waveform == 1 ? 2500 : 2000;
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        std::vector<double> out(n);
        for (auto _ : state) {
            SimSignalGen({.waveform = waveform, .modulation = modulation, .A = 1000, .A2 = 500, .f1 = f1, .f2 = f2,
                          .Tp = 0.5, .freqCode = kCode10k, .N = n, .gain = 1, .slot = slot},
                         out.data());
            benchmark::DoNotOptimize(out.data());
            benchmark::ClobberMemory();
        }
        state.SetItemsProcessed(int64_t(state.iterations()) * n);
        state.SetLabel(kernel_of(waveform));
    });
    benchmark::RegisterBenchmark(plain.c_str(), [=](benchmark::State& state) {
        std::vector<double> out(n);
        for (auto _ : state) {
            if (waveform < 2) {
                bench::plain_noise(waveform == 1, f1, f2, 1000, 1, kCode10k, n, slot, out.data());
            } else {
                bench::plain_periodic(modulation, 1000, 500, f1, f2, 0.5, kCode10k, n, out.data());
            }
            benchmark::DoNotOptimize(out.data());
            benchmark::ClobberMemory();
        }
        state.SetItemsProcessed(int64_t(state.iterations()) * n);
    });
}

}  // namespace

int main(int argc, char** argv) {
    bench::take_kernel_option(argc, argv);
    // A private namespace for the shared memories, and a noise history that
    // lives for the whole run, as the signal-source program would keep it.
    setenv("KELMO_SHM_NAMESPACE", ("kelmo_bench_" + std::to_string(::getpid())).c_str(), 1);
    auto history = kelmo::platform::current().shm.shm_create_or_open(kNoiseStateName, kNoiseStateBytes, nullptr);
    kelmo::sim::process_state().clockScale = 1.0;

    // What every noise call pays the platform to open, map and release the
    // history memory, whichever implementation runs.
    benchmark::RegisterBenchmark("platform/open_and_release_history", [](benchmark::State& state) {
        for (auto _ : state) {
            auto m = kelmo::platform::current().shm.shm_open_existing(kNoiseStateName, kNoiseStateBytes,
                                                                  kelmo::platform::Access::ReadWrite);
            benchmark::DoNotOptimize(m.get());
        }
    });
    for (uint32_t n : {256u, 4096u, 65536u}) {
        register_case("white_noise", n, 0, 0);
        register_case("bandpass_noise", n, 1, 0);
        register_case("cosine", n, 2, 0);
        register_case("linear_sweep", n, 2, 3);
        register_case("exp_sweep", n, 2, 4);
    }
    for (uint32_t n : {256u, 4096u}) {
        register_case("white_noise_no_history", n, 0, 0, -1);
        register_case("bandpass_noise_no_history", n, 1, 0, -1);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    bench::Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    std::printf("\nkernels: noise %s, periodic %s\n", kernel_of(0).c_str(), kernel_of(2).c_str());
    std::printf("why: %s\n", kelmo::sim::sim_kernel_reasons().c_str());
    std::printf("%-44s %16s %16s %10s\n", "case", "samples/s", "straightforward", "speed-up");
    for (const Case& c : g_cases) {
        const auto t = collector.seconds.find(c.name);
        const auto p = collector.seconds.find(c.plain);
        if (t == collector.seconds.end() || p == collector.seconds.end()) continue;
        const double n = std::stod(c.name.substr(c.name.rfind(':') + 1));
        std::printf("%-44s %16.4g %16.4g %10.2f\n", c.name.c_str(), n / t->second, n / p->second,
                    p->second / t->second);
    }
    return 0;
}
