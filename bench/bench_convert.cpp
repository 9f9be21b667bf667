// Throughput of convert, raw -> engineering and back, with the run-time
// kernel and with the scalar one, each measured against a memcpy of a
// buffer as large as the conversion's output.
//
// Every conversion case times its memcpy itself, alternating with the
// conversion in the same loop, so both see the same load on the machine;
// its time column is the conversion alone. Plain memcpy cases of the same
// sizes run too, each just before the conversions it goes with. After the
// run a table gives every case as a ratio to both: to the memcpy that ran
// alternating with it ("interleaved", where each copy starts with caches
// the conversion left behind) and to the plain memcpy case ("alone").
//
// The ratios are for reading, never for asserting: they depend on the
// machine, its caches and its load.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/convert.h"
#include "kelmo.h"

namespace {

using kelmo::ConvertKernel;
using Clock = std::chrono::steady_clock;

struct Case {
    std::string name;
    std::size_t outBytes;
};
std::vector<Case> g_cases;

std::string memcpy_name(std::size_t bytes) { return "memcpy/bytes:" + std::to_string(bytes); }

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void register_memcpy(std::size_t bytes) {
    static std::set<std::size_t> done;
    if (!done.insert(bytes).second) return;
    benchmark::RegisterBenchmark(memcpy_name(bytes).c_str(), [bytes](benchmark::State& state) {
        std::vector<unsigned char> src(bytes, 0x5A), dst(bytes);
        for (auto _ : state) {
            std::memcpy(dst.data(), src.data(), bytes);
            benchmark::ClobberMemory();
        }
        state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
    });
}

void register_convert(int type, bool toEngineering, int n, ConvertKernel kernel) {
    const bool wide = type == 124 || type == 890 || type == 891 || type == 892;
    const std::size_t wordBytes = wide ? 4 : 2;
    const std::size_t outBytes = toEngineering ? std::size_t(n) * sizeof(double) : std::size_t(n) * wordBytes;
    const std::string name = std::string("convert/") + (toEngineering ? "to_eng" : "to_raw") +
                             "/type:" + std::to_string(type) + "/n:" + std::to_string(n) +
                             (kernel == ConvertKernel::Scalar ? "/scalar" : "/dispatched");
    register_memcpy(outBytes);
    g_cases.push_back({name, outBytes});
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        std::mt19937 rng(42);
        std::vector<unsigned char> raw(std::size_t(n) * wordBytes);
        for (auto& b : raw) b = uint8_t(rng());
        std::vector<double> values(n);
        // In-range engineering values: the conversion of the random words.
        convert(type, values.data(), raw.data(), n, 1, nullptr, nullptr);
        std::vector<unsigned char> copySrc(outBytes, 0x5A), copyDst(outBytes);
        // Small blocks go in batches, so the clock's own cost stays small;
        // an iteration is one batch.
        const int batch = std::max(1, 65536 / n);
        const ConvertKernel before = kelmo::convert_kernel_override(kernel);
        int maxIndex = 0, minIndex = 0;
        double convertTime = 0, copyTime = 0;
        int64_t calls = 0;
        for (auto _ : state) {
            const auto t0 = Clock::now();
            for (int b = 0; b < batch; ++b) {
                int r = convert(type, values.data(), raw.data(), n, toEngineering ? 1 : 0, &maxIndex, &minIndex);
                benchmark::DoNotOptimize(r);
                benchmark::ClobberMemory();
            }
            const auto t1 = Clock::now();
            for (int b = 0; b < batch; ++b) {
                std::memcpy(copyDst.data(), copySrc.data(), outBytes);
                benchmark::ClobberMemory();
            }
            const auto t2 = Clock::now();
            convertTime += seconds(t1 - t0);
            copyTime += seconds(t2 - t1);
            calls += batch;
            state.SetIterationTime(seconds(t1 - t0));
        }
        kelmo::convert_kernel_override(before);
        state.SetBytesProcessed(calls * int64_t(outBytes));
        if (calls > 0 && copyTime > 0) {
            state.counters["convert_us"] = convertTime / double(calls) * 1e6;
            state.counters["memcpy_us"] = copyTime / double(calls) * 1e6;
            state.counters["ratio_to_memcpy"] = convertTime / copyTime;
        }
        const bool avx2 = kernel != ConvertKernel::Scalar && kelmo::convert_avx2_supported();
        state.SetLabel(std::string(avx2 ? "avx2" : "scalar") + " kernel, " + std::to_string(batch) +
                       (batch == 1 ? " call" : " calls") + " per iteration");
    })->UseManualTime();
}

// Keeps, per case, the repetition with the fastest conversion.
class Collector : public benchmark::ConsoleReporter {
public:
    struct Result {
        double convertUs, memcpyUs, ratio;
    };
    std::map<std::string, Result> results;
    std::map<std::string, double> memcpyUs;  // plain memcpy cases, fastest repetition

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations <= 0) continue;
            if (r.benchmark_name().rfind("memcpy/", 0) == 0) {
                const double us = r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit) * 1e6;
                auto m = memcpyUs.emplace(r.benchmark_name(), us).first;
                m->second = std::min(m->second, us);
                continue;
            }
            const auto conv = r.counters.find("convert_us");
            const auto copy = r.counters.find("memcpy_us");
            const auto ratio = r.counters.find("ratio_to_memcpy");
            if (conv == r.counters.end() || copy == r.counters.end() || ratio == r.counters.end()) continue;
            const Result x{conv->second.value, copy->second.value, ratio->second.value};
            std::string name = r.benchmark_name();
            const std::string suffix = "/manual_time";
            if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                name.resize(name.size() - suffix.size());
            auto it = results.find(name);
            if (it == results.end()) {
                results.emplace(name, x);
            } else if (x.convertUs < it->second.convertUs) {
                it->second = x;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    for (int n : {4096, 1 << 20}) {
        for (bool toEngineering : {true, false}) {
            for (int type : {602, 801, 124}) {
                register_convert(type, toEngineering, n, ConvertKernel::Auto);
                register_convert(type, toEngineering, n, ConvertKernel::Scalar);
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    std::printf("\n%-44s %12s %30s %30s\n", "", "", "memcpy interleaved", "memcpy alone");
    std::printf("%-44s %12s %14s %15s %14s %15s\n", "case", "convert (us)", "(us)", "ratio to memcpy", "(us)",
                "ratio to memcpy");
    for (const Case& c : g_cases) {
        const auto it = collector.results.find(c.name);
        if (it == collector.results.end()) continue;
        const auto& x = it->second;
        const auto alone = collector.memcpyUs.find(memcpy_name(c.outBytes));
        const double aloneUs = alone == collector.memcpyUs.end() ? 0.0 : alone->second;
        std::printf("%-44s %12.3f %14.3f %15.2f %14.3f %15.2f\n", c.name.c_str(), x.convertUs, x.memcpyUs, x.ratio,
                    aloneUs, aloneUs > 0 ? x.convertUs / aloneUs : 0.0);
    }
    return 0;
}
