// Throughput of convert, raw -> engineering and back, with the run-time
// kernel and with the scalar one, each next to a memcpy of a buffer as
// large as the conversion's output. After the run a table gives every case
// as a ratio to that memcpy.
//
// The ratios are for reading, never for asserting: they depend on the
// machine, its caches and its load.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/convert.h"
#include "kelmo.h"

namespace {

using kelmo::ConvertKernel;

struct Case {
    std::string name;
    std::size_t outBytes;
};
std::vector<Case> g_cases;

std::string memcpy_name(std::size_t bytes) { return "memcpy/bytes:" + std::to_string(bytes); }

void register_memcpy(std::size_t bytes) {
    static std::map<std::size_t, bool> done;
    if (done[bytes]) return;
    done[bytes] = true;
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
        const ConvertKernel before = kelmo::convert_kernel_override(kernel);
        int maxIndex = 0, minIndex = 0;
        for (auto _ : state) {
            int r = convert(type, values.data(), raw.data(), n, toEngineering ? 1 : 0, &maxIndex, &minIndex);
            benchmark::DoNotOptimize(r);
            benchmark::ClobberMemory();
        }
        kelmo::convert_kernel_override(before);
        state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(outBytes));
        state.SetLabel(kernel == ConvertKernel::Scalar || !kelmo::convert_avx2_supported() ? "scalar kernel"
                                                                                           : "avx2 kernel");
    });
}

// Keeps the fastest time per iteration of every case while printing as usual.
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations <= 0) continue;
            const double s = r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
            auto it = seconds.find(r.benchmark_name());
            if (it == seconds.end())
                seconds.emplace(r.benchmark_name(), s);
            else
                it->second = std::min(it->second, s);
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

    std::printf("\n%-48s %14s %14s %16s\n", "case", "time (us)", "memcpy (us)", "ratio to memcpy");
    for (const Case& c : g_cases) {
        const auto t = collector.seconds.find(c.name);
        const auto m = collector.seconds.find(memcpy_name(c.outBytes));
        if (t == collector.seconds.end() || m == collector.seconds.end()) continue;
        std::printf("%-48s %14.3f %14.3f %16.2f\n", c.name.c_str(), t->second * 1e6, m->second * 1e6,
                    t->second / m->second);
    }
    return 0;
}
