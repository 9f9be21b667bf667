// The simulated source through the exports: CPU time per sample of a
// continuous fetch (get_dbl_data, unpaced) of 1, 8 and 32 channels of
// 1k, 4k and 64k samples, for each signal class, beside the straightforward
// generator producing the same samples in the same run (the noise algorithm
// as written down, the periodic classes one sample at a time, the cosine in
// extended precision) and, for the periodic classes, beside a plain double
// loop of the same wave; and the fixed cost of one call, a fetch of one
// sample of a channel without a signal. Before the timing, the first block
// of each periodic class is compared with the plain double loop: the
// largest difference relative to the largest value.
//
// --kernel=scalar|avx2|avx512 forces the kernels of the periodic waveforms
// and the noise (the best ones the processor has by default); the table
// names the ones that ran.
//
// The benchmark publishes the parameter block and the noise history itself
// (sim_setup.h). The figures are for reading, never for asserting.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "collector.h"
#include "kelmo.h"
#include "sim_setup.h"
#include "sources/sim/generator.h"
#include "sources/sim/param_block.h"
#include "straightforward.h"

namespace {

using namespace kelmo::sim;

using bench::Signal;

void fetch(benchmark::State& state, Signal s, int nch, int n) {
    bench::publish(s);
    uint32_t handle = 0;
    if (!Set_dbl_MulChSam(&handle, 123, static_cast<int>(bench::divider()), 1, nch, n)) return state.SkipWithError("start");
    std::vector<double> buf(std::size_t(nch) * n);
    int status = 0;
    for (auto _ : state) {
        if (!get_dbl_data(&handle, 1230, n, nch, buf.data(), n, 0, &status)) return state.SkipWithError("fetch");
        benchmark::DoNotOptimize(buf.data());
    }
    recover(&handle, 1230);
    state.SetItemsProcessed(int64_t(state.iterations()) * nch * n);
}

// The same samples from the straightforward generator, channel by channel.
void straightforward(benchmark::State& state, Signal s, int nch, int n) {
    std::vector<double> buf(n), part(n);
    for (auto _ : state) {
        for (int k = 0; k < nch; ++k) {
            if (s == Signal::Cosine || s == Signal::Triangle || s == Signal::Square) {
                const int waveform = s == Signal::Cosine ? 2 : s == Signal::Triangle ? 3 : 4;
                bench::plain_periodic(0, 1000, 500, 440, 2500, 0.5, bench::divider(), n, buf.data(), waveform);
            } else if (s == Signal::Sum) {
                bench::plain_periodic(0, 1000, 500, 440, 2500, 0.5, bench::divider(), n, buf.data());
                bench::plain_periodic(0, 1000, 500, 1000, 2500, 0.5, bench::divider(), n, part.data());
                for (int i = 0; i < n; ++i) buf[i] += 0.5 * part[i];
                bench::plain_noise(false, 440, 2500, 1000, 1, bench::divider(), n, 10, part.data());
                for (int i = 0; i < n; ++i) buf[i] += 0.25 * part[i];
            } else {
                bench::plain_noise(s == Signal::Band, 1000, 2500, 1000, 1, bench::divider(), n, k, buf.data());
            }
            benchmark::DoNotOptimize(buf.data());
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * nch * n);
}

int waveform_of(Signal s) { return s == Signal::Cosine ? 2 : s == Signal::Triangle ? 3 : 4; }
bool periodic(Signal s) { return s == Signal::Cosine || s == Signal::Triangle || s == Signal::Square; }

// The plain double loop of the same wave, channel by channel (the cosine
// starts at 0.3 rad, as published).
void double_loop(benchmark::State& state, Signal s, int nch, int n) {
    std::vector<double> buf(n);
    const double phi = s == Signal::Cosine ? 0.3 : 0.0;
    for (auto _ : state) {
        for (int k = 0; k < nch; ++k) {
            bench::plain_double_periodic(waveform_of(s), 1000, 440, phi, 0.0, bench::divider(), n, buf.data());
            benchmark::DoNotOptimize(buf.data());
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * nch * n);
}

// The first block of a new acquisition (time 0) against the plain double
// loop: max |difference| / max |value|, or -1.
double agreement(Signal s, int n) {
    bench::publish(s);
    uint32_t handle = 0;
    std::vector<double> lib(n), plain(n);
    int status = 0;
    if (!Set_dbl_MulChSam(&handle, 123, static_cast<int>(bench::divider()), 1, 1, n) ||
        !get_dbl_data(&handle, 1230, n, 1, lib.data(), n, 0, &status))
        return -1;
    recover(&handle, 1230);
    bench::plain_double_periodic(waveform_of(s), 1000, 440, s == Signal::Cosine ? 0.3 : 0.0, 0.0, bench::divider(), n,
                                 plain.data());
    double diff = 0, big = 0;
    for (int i = 0; i < n; ++i) diff = std::max(diff, std::fabs(lib[i] - plain[i])), big = std::max(big, std::fabs(plain[i]));
    return diff / big;
}

std::string case_name(const char* who, Signal s, int nch, int n) {
    return std::string(who) + "/" + bench::name_of(s) + "/ch:" + std::to_string(nch) + "/n:" + std::to_string(n);
}

}  // namespace

int main(int argc, char** argv) {
    bench::take_kernel_option(argc, argv);
    if (!bench::publish_source()) return 1;

    struct Row {
        std::string lib, plain, loop;
        int samples;
    };
    std::vector<Row> rows;
    benchmark::RegisterBenchmark("fixed_cost/no_signal/ch:1/n:1",
                                 [](benchmark::State& st) { fetch(st, Signal::None, 1, 1); });
    for (Signal s : {Signal::Cosine, Signal::Triangle, Signal::Square, Signal::White, Signal::Band, Signal::Sum}) {
        for (int nch : {1, 8, 32}) {
            if (s == Signal::Sum && nch > kSumRows) continue;  // only entries 0 .. 7 mix
            for (int n : {1024, 4096, 65536}) {
                Row r{case_name("exports", s, nch, n), case_name("straightforward", s, nch, n),
                      periodic(s) ? case_name("double_loop", s, nch, n) : "", nch * n};
                benchmark::RegisterBenchmark(r.lib.c_str(), [=](benchmark::State& st) { fetch(st, s, nch, n); });
                benchmark::RegisterBenchmark(r.plain.c_str(),
                                             [=](benchmark::State& st) { straightforward(st, s, nch, n); });
                if (periodic(s)) {
                    benchmark::RegisterBenchmark(r.loop.c_str(),
                                                 [=](benchmark::State& st) { double_loop(st, s, nch, n); });
                }
                rows.push_back(r);
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const char* kernel = sim_kernel_name(sim_periodic_kernel());
    const char* noiseKernel = sim_kernel_name(sim_noise_kernel());
    std::printf("kernels: periodic waveforms %s, noise %s\n", kernel, noiseKernel);
    std::printf("why: %s\n", kelmo::sim::sim_kernel_reasons().c_str());
    for (Signal s : {Signal::Cosine, Signal::Triangle, Signal::Square}) {
        std::printf("%s, 64k samples from time 0: max |exports - double loop| = %.3g x max |value|\n",
                    bench::name_of(s), agreement(s, 65536));
    }
    bench::Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    const double fixed = collector.get("fixed_cost/no_signal/ch:1/n:1");
    if (fixed >= 0) std::printf("\nfixed cost of one call: %.1f us of CPU\n", fixed * 1e6);
    std::printf("\nkernels: periodic %s, noise %s\n%-40s %10s %16s %9s %12s %9s\n", kernel, noiseKernel, "case", "ns/sample",
                "straightforward", "speed-up", "double loop", "speed-up");
    for (const Row& r : rows) {
        const double t = collector.get(r.lib), p = collector.get(r.plain), d = collector.get(r.loop);
        if (t < 0 || p < 0) continue;
        std::printf("%-40s %10.2f %16.2f %9.2f", r.lib.c_str() + 8, t * 1e9 / r.samples, p * 1e9 / r.samples, p / t);
        if (d >= 0) std::printf(" %12.2f %9.2f", d * 1e9 / r.samples, d / t);
        std::printf("\n");
    }
    return 0;
}
