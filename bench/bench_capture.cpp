// The sound card's continuous capture at 44.1 kHz stereo, on a PulseAudio
// server of the benchmark's own (a 1000 Hz sine source): CPU time of this
// process per second of captured sound, through the library (blocks of
// 2 x 1024 fetched with get_dbl_data) and, as the baseline in the same run,
// through ALSA directly (the same frames read with snd_pcm_readi).
//
// Speaker playback into a null sink: the CPU time the calling thread spends
// in TransSpeakerData (its wait sleeps, so this is the time outside the
// wait), copied (8000 Hz) and resampled (2000 Hz played at 8000 Hz), beside
// the same samples merely converted to 16-bit codes.
//
// The figures are for reading, never for asserting.
#include <alsa/asoundlib.h>
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "kelmo.h"

namespace {

constexpr int kRate = 44100, kChannels = 2, kBlock = 1024;

double cpu_seconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Server {
    std::string dir;
    bool ok = false;
    Server() {
        dir = "/tmp/kelmo-bench-pulse-" + std::to_string(::getpid());
        ::mkdir(dir.c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
        ok = std::system("pulseaudio --daemonize=yes --exit-idle-time=-1 -n --load=module-native-protocol-unix "
                         "--load='module-sine-source source_name=sine rate=44100 frequency=1000' "
                         "--load='module-null-sink sink_name=out' >/dev/null 2>&1 && "
                         "pactl set-default-source sine") == 0;
    }
    ~Server() {
        std::ifstream pid(dir + "/pulse/pid");
        long p = 0;
        if (pid >> p && p > 0) ::kill(static_cast<pid_t>(p), SIGTERM);
    }
};

Server& server() {
    static Server s;
    return s;
}

void library(benchmark::State& state) {
    if (!server().ok) return state.SkipWithError("no PulseAudio server");
    uint32_t code = 0;
    double actual = 0;
    PreSamp(800, kRate, &code, &actual);
    uint32_t handle = 0;
    if (!Set_dbl_MulChSam(&handle, 800, static_cast<int>(code), 1, kChannels, kBlock)) {
        recover(&handle, 800);
        return state.SkipWithError("no capture");
    }
    std::vector<double> block(kChannels * kBlock);
    double cpu = 0;
    int64_t frames = 0;
    for (auto _ : state) {
        const double c0 = cpu_seconds();
        if (!get_dbl_data(&handle, 800, kBlock, kChannels, block.data(), kBlock, 0, nullptr)) {
            state.SkipWithError("a fetch failed");
            break;
        }
        cpu += cpu_seconds() - c0;
        frames += kBlock;
    }
    recover(&handle, 800);
    state.counters["cpu_pct_of_core_per_sound_second"] = frames ? 100.0 * cpu / (double(frames) / kRate) : 0;
}

void bare_alsa(benchmark::State& state) {
    if (!server().ok) return state.SkipWithError("no PulseAudio server");
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_CAPTURE, 0) < 0 ||
        snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, kChannels, kRate, 1, 200000) <
            0)
        return state.SkipWithError("no capture");
    std::vector<int16_t> block(kChannels * kBlock);
    double cpu = 0;
    int64_t frames = 0;
    for (auto _ : state) {
        const double c0 = cpu_seconds();
        snd_pcm_sframes_t got = 0;
        while (got < kBlock) {
            const snd_pcm_sframes_t r = snd_pcm_readi(pcm, block.data() + got * kChannels, kBlock - got);
            if (r < 0) {
                snd_pcm_recover(pcm, static_cast<int>(r), 1);
                continue;
            }
            got += r;
        }
        cpu += cpu_seconds() - c0;
        frames += kBlock;
    }
    snd_pcm_close(pcm);
    state.counters["cpu_pct_of_core_per_sound_second"] = frames ? 100.0 * cpu / (double(frames) / kRate) : 0;
}

double thread_cpu_us() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

std::vector<double> tone(std::size_t n, double rate) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = 500.0 * std::sin(2 * 3.14159265358979323846 * 440.0 * double(i) / rate);
    return v;
}

// Blocks of `block` signal samples at `rate`, one TransSpeakerData each.
void speaker(benchmark::State& state, double rate, int block) {
    if (!server().ok) return state.SkipWithError("no PulseAudio server");
    const std::vector<double> signal = tone(std::size_t(block) * 64, rate);
    if (!OpenSpeaker(rate, 1, 65535, 1000.0)) return state.SkipWithError("no playback");
    double cpu = 0;
    int start = 0;
    for (auto _ : state) {
        if (start + block > int(signal.size())) start = 0;
        const double c0 = thread_cpu_us();
        if (!TransSpeakerData(block, start, int(signal.size()), signal.data(), nullptr)) {
            state.SkipWithError("a block failed");
            break;
        }
        cpu += thread_cpu_us() - c0;
        start += block;
    }
    CloseSpeaker();
    state.counters["thread_cpu_us_per_call"] = cpu / double(state.iterations());
}
void speaker_copied(benchmark::State& state) { speaker(state, 8000, 4096); }
void speaker_resampled(benchmark::State& state) { speaker(state, 2000, 1024); }

// The baseline: the same 4096 frames converted to codes, nothing else.
void convert_only(benchmark::State& state) {
    const std::vector<double> signal = tone(4096, 8000);
    std::vector<int16_t> codes(signal.size());
    double cpu = 0;
    for (auto _ : state) {
        const double c0 = thread_cpu_us();
        for (std::size_t i = 0; i < signal.size(); ++i) codes[i] = static_cast<int16_t>(signal[i] * 32.768);
        benchmark::DoNotOptimize(codes.data());
        cpu += thread_cpu_us() - c0;
    }
    state.counters["thread_cpu_us_per_call"] = cpu / double(state.iterations());
}

}  // namespace

BENCHMARK(library)->Iterations(400);
BENCHMARK(bare_alsa)->Iterations(400);
BENCHMARK(speaker_copied)->Iterations(20);
BENCHMARK(speaker_resampled)->Iterations(20);
BENCHMARK(convert_only);
BENCHMARK_MAIN();
