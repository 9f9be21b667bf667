// The writers of recordings: how fast each format takes a 32-channel run,
// and how much of a core it costs per second of signal at 32 x 100 kHz.
//
//   throughput: samples per second of each writer (the file completed and
//     on the disk: the time includes closing it and fdatasync), beside the
//     rate of 32 x 100 kHz and beside dd writing the same bytes to the same
//     disk (conv=fdatasync) in the same run;
//   cpu: the process's CPU seconds per second of 32 x 100 kHz signal fed
//     through the queue as an acquisition feeds it (a share of the wall
//     time the acquisition itself takes).
//
// The figures are for reading, never for asserting.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "collector.h"
#include "writers/decimal.h"
#include "writers/queued.h"
#include "writers/writer.h"

namespace {

constexpr int kChannels = 32, kBlock = 1024;
constexpr double kRate = 100000;
constexpr int64_t kSamples = 1 << 20;  // per channel: 10.5 s of signal, 256 MiB as float64

double cpu_seconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string scratch(const char* name) {
    const char* dir = std::getenv("KELMO_BENCH_DIR");
    return std::string(dir && *dir ? dir : "/var/tmp") + "/kelmo-bench-" + std::to_string(::getpid()) + "." + name;
}

void sync_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        ::fdatasync(fd);
        ::close(fd);
    }
}

// A block of 32 channels of a cosine each, as the acquisition hands it on
// (a writer of fewer channels takes the first of them).
const std::vector<double>& signal_block() {
    static const std::vector<double> b = [] {
        std::vector<double> v(std::size_t(kChannels) * kBlock);
        for (int c = 0; c < kChannels; ++c)
            for (int s = 0; s < kBlock; ++s) v[std::size_t(c) * kBlock + s] = 3000 * std::cos(0.01 * (c + 1) * s);
        return v;
    }();
    return b;
}

kelmo::cli::OutputTarget target(const std::string& path, const char* format, int channels) {
    kelmo::cli::OutputTarget t;
    t.path = path;
    t.format = format;
    t.rate = kRate;
    for (int c = 0; c < channels; ++c) t.channels.push_back(c);
    t.fullScale = 5000;
    t.cardType = 602;
    return t;
}

// Writes kSamples per channel straight into the writer (no queue).
void throughput(benchmark::State& state, const char* format, int channels) {
    const std::string path = scratch(format);
    const auto& block = signal_block();
    for (auto _ : state) {
        auto w = kelmo::cli::open_output(target(path, format, channels));
        if (!w) return state.SkipWithError("the writer did not open");
        for (int64_t done = 0; done < kSamples; done += kBlock)
            if (!w->block(block.data(), kBlock, kBlock)) return state.SkipWithError("a write failed");
        if (!w->finish()) return state.SkipWithError("the file was not completed");
        sync_file(path);
    }
    state.counters["samples_per_s"] =
        benchmark::Counter(double(kSamples) * channels * double(state.iterations()), benchmark::Counter::kIsRate);
    std::remove(path.c_str());
    std::remove((path.substr(0, path.rfind('.')) + ".json").c_str());
}

// dd writing what the HDF5 writer writes (32 x kSamples float64) to the
// same disk.
void dd(benchmark::State& state) {
    const std::string path = scratch("dd");
    const std::string cmd = "dd if=/dev/zero of=" + path + " bs=1M count=" +
                            std::to_string(kSamples * kChannels * 8 / (1 << 20)) + " conv=fdatasync status=none";
    for (auto _ : state)
        if (std::system(cmd.c_str()) != 0) return state.SkipWithError("dd failed");
    std::remove(path.c_str());
}

// One second of 32 x 100 kHz through the queue, as an acquisition feeds it:
// the process's CPU time per second of signal (the feeding copies included).
void cpu_per_signal_second(benchmark::State& state, const char* format, int channels) {
    const std::string path = scratch(format);
    const auto& block = signal_block();
    const int64_t perSecond = int64_t(kRate);
    double cpu = 0, signal = 0;
    for (auto _ : state) {
        auto w = kelmo::cli::queued(kelmo::cli::open_output(target(path, format, channels)), kRate, channels, 4);
        const double c0 = cpu_seconds();
        for (int64_t done = 0; done < perSecond; done += kBlock)
            if (!w->block(block.data(), kBlock, kBlock)) return state.SkipWithError("a write failed");
        if (!w->finish()) return state.SkipWithError("the file was not completed");
        cpu += cpu_seconds() - c0;
        signal += double((perSecond + kBlock - 1) / kBlock * kBlock) / kRate;
    }
    state.counters["cpu_share"] = cpu / signal;
    std::remove(path.c_str());
    std::remove((path.substr(0, path.rfind('.')) + ".json").c_str());
}

// The CSV's values as text, in memory: the writer's own formatting beside
// the standard library's (to_chars with six decimals, what it used before),
// on the signal block's values.
void values_as_text(benchmark::State& state, bool own) {
    using kelmo::cli::kFixed6Most;
    const std::vector<double>& v = signal_block();
    std::vector<char> text(v.size() * 24 + kFixed6Most);
    for (auto _ : state) {
        char* p = text.data();
        if (own) {
            p = kelmo::cli::put_fixed6_each(p, v.data(), v.size(), 1, ',');
        } else {
            for (double x : v) {
                *p++ = ',';
                p = std::to_chars(p, p + kFixed6Most, x, std::chars_format::fixed, 6).ptr;
            }
        }
        benchmark::DoNotOptimize(p);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(v.size()));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const std::vector<std::pair<const char*, int>> formats = {
#ifdef KELMO_HAVE_HDF5
        {"h5", kChannels},
#endif
#ifdef KELMO_HAVE_SNDFILE
        {"flac", 8},  // FLAC holds at most 8 channels
#endif
#ifdef KELMO_HAVE_LIBZIP
        {"sr", kChannels},
#endif
        {"npy", kChannels}, {"wav", kChannels}, {"csv", kChannels}};
    benchmark::RegisterBenchmark("text/to_chars", values_as_text, false);
    benchmark::RegisterBenchmark("text/own", values_as_text, true);
    benchmark::RegisterBenchmark("dd/32ch", dd)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
    for (const auto& [format, channels] : formats) {
        const std::string ch = std::to_string(channels) + "ch";
        benchmark::RegisterBenchmark(("throughput/" + std::string(format) + "/" + ch).c_str(),
                                     [f = format, n = channels](benchmark::State& s) { throughput(s, f, n); })
            ->Unit(benchmark::kMillisecond)
            ->Iterations(3)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("cpu/" + std::string(format) + "/" + ch).c_str(),
                                     [f = format, n = channels](benchmark::State& s) { cpu_per_signal_second(s, f, n); })
            ->Unit(benchmark::kMillisecond)
            ->Iterations(3)
            ->UseRealTime();
    }
    bench::Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);

    // Wall seconds per run: real time is what the disk gives.
    std::printf("\nwriters beside the rate of 32 x 100 kHz and beside dd, one run (real time):\n");
    const double ddSeconds = collector.real("dd/32ch");
    const double bytes = double(kSamples) * kChannels * 8;
    for (const auto& [format, channels] : formats) {
        const std::string ch = std::to_string(channels) + "ch";
        const double s = collector.real("throughput/" + std::string(format) + "/" + ch);
        if (s <= 0) continue;
        const double rate = double(kSamples) * channels / s;
        std::printf("  %-4s %2d ch: %7.1f M samples/s = %5.1fx the acquisition's %.1f M/s", format, channels,
                    rate / 1e6, rate / (kRate * channels), kRate * channels / 1e6);
        if (std::string(format) == "h5" && ddSeconds > 0)
            std::printf(", %.2fx dd (%.0f MB/s for the same bytes)", ddSeconds / s, bytes / ddSeconds / 1e6);
        std::printf("\n");
    }
    const double base = collector.get("text/to_chars"), own = collector.get("text/own");
    if (base > 0 && own > 0)
        std::printf("CSV values as text: %.1fx the standard library's to_chars (%.1f ns a value, was %.1f)\n", base / own,
                    own * 1e9 / double(kChannels * kBlock), base * 1e9 / double(kChannels * kBlock));
    std::printf("the writer's CPU per second of signal at 100 kHz, through the queue:\n");
    for (const auto& [format, channels] : formats) {
        const double share = collector.counter("cpu/" + std::string(format) + "/" + std::to_string(channels) + "ch",
                                               "cpu_share");
        if (share >= 0) std::printf("  %-4s %2d ch: %5.1f%% of the acquisition's wall time\n", format, channels, 100 * share);
    }
    return 0;
}
