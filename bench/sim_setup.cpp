#include "sim_setup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kelmo.h"
#include "platform/platform.h"
#include "sources/sim/generator.h"
#include "sources/sim/param_block.h"

namespace bench {
namespace {

using namespace kelmo::sim;

kelmo::platform::SharedMemoryPtr g_params, g_history;
uint32_t g_code = 0;

// The shared-memory namespace of this process and of the programs it
// starts (set once). putenv may keep the string itself, as POSIX does, so
// it is one that lives as long as the process.
void use_namespace(const std::string& ns) {
    static std::string entry;
    entry = "KELMO_SHM_NAMESPACE=" + ns;
    putenv(entry.data());
}

}  // namespace

const char* name_of(Signal s) {
    switch (s) {
        case Signal::Cosine: return "cosine";
        case Signal::Triangle: return "triangle";
        case Signal::Square: return "square";
        case Signal::White: return "white_noise";
        case Signal::Band: return "bandpass_noise";
        case Signal::Sum: return "sum";
        case Signal::None: return "no_signal";
    }
    return "";
}

bool publish_source() {
    auto& platform = kelmo::platform::current();
    const std::string ns = "kelmo_bench_" + std::to_string(platform.system.process_id());
    use_namespace(ns);
    g_params = platform.shm.shm_create_or_open(kParamBlockName, kParamBlockBytes, nullptr);
    g_history = platform.shm.shm_create_or_open(kNoiseStateName, kNoiseStateBytes, nullptr);
    char text[131] = {};
    int status = 0;
    double actual = 0;
    if (!g_params || !g_history || !Checkcard(123, text, &status) || !PreSamp(123, 10000.0, &g_code, &actual)) {
        std::fprintf(stderr, "the simulated source is not available: %s\n", text);
        return false;
    }
    return true;
}

uint32_t divider() { return g_code; }

void publish(Signal s) {
    SimParamBlock p{};
    std::memcpy(&p, g_params->data(), sizeof p);
    for (int k = 0; k < kEntries; ++k) {
        p.modulation[k] = 0, p.shapeParam[k] = 0;
        p.amp1[k] = 1000, p.amp2[k] = 500, p.period[k] = 0.5, p.phase[k] = 0.3;
        p.freq1[k] = s == Signal::Band ? 1000 : 440, p.freq2[k] = 2500;
        p.waveform[k] = s == Signal::Cosine     ? kCosine
                        : s == Signal::Triangle ? kTriangle
                        : s == Signal::Square   ? kSquare
                        : s == Signal::White    ? kWhiteNoise
                        : s == Signal::Band     ? kBandNoise
                                                : 6;
        if (s == Signal::Triangle || s == Signal::Square) p.phase[k] = 0.0;
    }
    std::memset(p.mixWeight, 0, sizeof p.mixWeight);
    if (s == Signal::Sum) {
        for (int k = 0; k < kSumRows; ++k) {
            p.waveform[k] = kSum;
            p.mixWeight[k][0] = 1.0, p.mixWeight[k][1] = 0.5, p.mixWeight[k][2] = 0.25;
        }
        p.waveform[8] = p.waveform[9] = kCosine;
        p.freq1[9] = 1000;
        p.waveform[10] = kWhiteNoise;
    }
    std::memcpy(g_params->data(), &p, sizeof p);
}

}  // namespace bench
