// Throughput of convert, raw -> engineering and back, with each kernel
// (scalar, AVX2, AVX-512; a kernel the processor lacks runs the best one
// below it, and the table says which ran), each measured against a memcpy
// of a buffer as large as the conversion's output and against one as large
// as its input. A streaming conversion has to read all of its input and
// write all of its output, so a memcpy of the larger of the two is its
// floor: to raw words that is the input (8 bytes read per 2- or 4-byte
// word), to values the output.
//
// Every conversion case times its memcpys itself, alternating with the
// conversion in the same loop, so all see the same load on the machine;
// its time column is the conversion alone. Plain memcpy cases of the same
// sizes run too, each just before the conversions it goes with. After the
// run a table gives every case as a ratio to both memcpys, each in two
// ways: to the memcpy that ran alternating with it ("interleaved", where
// each copy starts with caches the conversion left behind) and to the
// plain memcpy case ("alone").
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
    std::size_t outBytes, inBytes;
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
    const std::size_t valueBytes = std::size_t(n) * sizeof(double), rawBytes = std::size_t(n) * wordBytes;
    const std::size_t outBytes = toEngineering ? valueBytes : rawBytes;
    const std::size_t inBytes = toEngineering ? rawBytes : valueBytes;
    const std::string name = std::string("convert/") + (toEngineering ? "to_eng" : "to_raw") +
                             "/type:" + std::to_string(type) + "/n:" + std::to_string(n) + "/" +
                             kelmo::convert_kernel_name(kernel);
    register_memcpy(outBytes);
    register_memcpy(inBytes);
    g_cases.push_back({name, outBytes, inBytes});
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        std::mt19937 rng(42);
        std::vector<unsigned char> raw(std::size_t(n) * wordBytes);
        for (auto& b : raw) b = uint8_t(rng());
        std::vector<double> values(n);
        // In-range engineering values: the conversion of the random words.
        convert(type, values.data(), raw.data(), n, 1, nullptr, nullptr);
        std::vector<unsigned char> copySrc(outBytes, 0x5A), copyDst(outBytes);
        std::vector<unsigned char> inSrc(inBytes, 0x5A), inDst(inBytes);
        // Small blocks go in batches, so the clock's own cost stays small;
        // an iteration is one batch.
        const int batch = std::max(1, 65536 / n);
        const ConvertKernel before = kelmo::convert_kernel_override(kernel);
        int maxIndex = 0, minIndex = 0;
        double convertTime = 0, copyTime = 0, inCopyTime = 0;
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
            for (int b = 0; b < batch; ++b) {
                std::memcpy(inDst.data(), inSrc.data(), inBytes);
                benchmark::ClobberMemory();
            }
            const auto t3 = Clock::now();
            convertTime += seconds(t1 - t0);
            copyTime += seconds(t2 - t1);
            inCopyTime += seconds(t3 - t2);
            calls += batch;
            state.SetIterationTime(seconds(t1 - t0));
        }
        const ConvertKernel ran = kelmo::convert_kernel_in_use();
        kelmo::convert_kernel_override(before);
        state.SetBytesProcessed(calls * int64_t(outBytes));
        if (calls > 0 && copyTime > 0 && inCopyTime > 0) {
            state.counters["convert_us"] = convertTime / double(calls) * 1e6;
            state.counters["memcpy_us"] = copyTime / double(calls) * 1e6;
            state.counters["ratio_to_memcpy"] = convertTime / copyTime;
            state.counters["memcpy_in_us"] = inCopyTime / double(calls) * 1e6;
            state.counters["ratio_to_memcpy_in"] = convertTime / inCopyTime;
            state.counters["kernel"] = double(static_cast<int>(ran));
        }
        state.SetLabel(std::string(kelmo::convert_kernel_name(ran)) + " kernel, " + std::to_string(batch) +
                       (batch == 1 ? " call" : " calls") + " per iteration");
    })->UseManualTime();
}

// Keeps, per case, the repetition with the fastest conversion.
class Collector : public benchmark::ConsoleReporter {
public:
    struct Result {
        double convertUs, memcpyUs, ratio, memcpyInUs, ratioIn;
        ConvertKernel kernel;
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
            const auto copyIn = r.counters.find("memcpy_in_us");
            const auto ratioIn = r.counters.find("ratio_to_memcpy_in");
            const auto kernel = r.counters.find("kernel");
            if (conv == r.counters.end() || copy == r.counters.end() || ratio == r.counters.end() ||
                copyIn == r.counters.end() || ratioIn == r.counters.end() || kernel == r.counters.end())
                continue;
            const Result x{conv->second.value,   copy->second.value,    ratio->second.value,
                           copyIn->second.value, ratioIn->second.value, ConvertKernel(int(kernel->second.value))};
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

// The plain memcpy case of a size, fastest repetition; 0 when it did not run.
double alone_us(const Collector& collector, std::size_t bytes) {
    const auto it = collector.memcpyUs.find(memcpy_name(bytes));
    return it == collector.memcpyUs.end() ? 0.0 : it->second;
}

int main(int argc, char** argv) {
    for (int n : {4096, 1 << 20}) {
        for (bool toEngineering : {true, false}) {
            for (int type : {602, 801, 124}) {
                for (ConvertKernel kernel : {ConvertKernel::Avx512, ConvertKernel::Avx2, ConvertKernel::Scalar})
                    register_convert(type, toEngineering, n, kernel);
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    // A row's last word names the kernel it asked for; "ran" is the one the
    // processor ran. The run-time choice on this processor is the auto line.
    std::printf("\nkernel ran per row: scalar / avx2 / avx512 (auto = %s on this processor)\n",
                kelmo::convert_kernel_name([] {
                    const ConvertKernel before = kelmo::convert_kernel_override(ConvertKernel::Auto);
                    const ConvertKernel k = kelmo::convert_kernel_in_use();
                    kelmo::convert_kernel_override(before);
                    return k;
                }()));
    std::printf("why: %s\n", kelmo::convert_kernel_reason().c_str());
    std::printf("%-44s %7s %12s %30s %30s %30s %30s\n", "", "", "", "memcpy of output, interleaved",
                "memcpy of output, alone", "memcpy of input, interleaved", "memcpy of input, alone");
    std::printf("%-44s %7s %12s %14s %15s %14s %15s %14s %15s %14s %15s\n", "case", "ran", "convert (us)", "(us)",
                "ratio to memcpy", "(us)", "ratio to memcpy", "(us)", "ratio to memcpy", "(us)", "ratio to memcpy");
    for (const Case& c : g_cases) {
        const auto it = collector.results.find(c.name);
        if (it == collector.results.end()) continue;
        const auto& x = it->second;
        const double outAlone = alone_us(collector, c.outBytes), inAlone = alone_us(collector, c.inBytes);
        std::printf("%-44s %7s %12.3f %14.3f %15.2f %14.3f %15.2f %14.3f %15.2f %14.3f %15.2f\n", c.name.c_str(),
                    kelmo::convert_kernel_name(x.kernel), x.convertUs, x.memcpyUs, x.ratio, outAlone,
                    outAlone > 0 ? x.convertUs / outAlone : 0.0, x.memcpyInUs, x.ratioIn, inAlone,
                    inAlone > 0 ? x.convertUs / inAlone : 0.0);
    }
    return 0;
}
