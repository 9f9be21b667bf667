// The simulated source's generator over an arbitrary parameter block and
// noise history: synth_block and synth_codes_scaled_sum for any entry in
// every form, and the three generator variants called directly with an
// entry's values (modulation as stored, any slot).
//
// Checks: nothing is written outside the n output elements (guard zones on
// both sides), values are finite (and within +-5000 where synth_block
// limits them), a waveform of 5 or more leaves the generator's output as it
// was, and only the noise slots of the entries in play change. A quarter of
// the cases (chosen by the input) also run the other kernels, which must
// give the same bits, output and noise history alike.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "sources/sim/state.h"
#include "core/share_block.h"
#include "platform/fake/fake_platform.h"
#include "sources/sim/generator.h"
#include "sources/sim/param_block.h"
#include "sources/sim/synthesis.h"

namespace {

using namespace kelmo;
using namespace kelmo::sim;

constexpr std::size_t kGuard = 64;  // bytes on either side of the output
constexpr unsigned char kFill = 0xC3;
constexpr uint32_t kMaxSamples = 4096;

void fail(const char* what) {
    std::fprintf(stderr, "fuzz sim_generator: %s\n", what);
    std::abort();
}

platform::FakePlatform* g_fake = nullptr;

enum class Call { Block, ScaledSum, Direct };

struct Case {
    Call call;
    Form form;
    int k;
    Timing timing;
    ExtraRule rule;
    uint32_t freqCode, n;
    int32_t gain;
    int32_t slot;  // direct calls
    SimParamBlock block;
    std::size_t noiseBytes;  // size of the "Random_Simu" object (0: none), its bytes in g_noise
};

std::size_t element_bytes(Form f) { return f == Form::Values ? 8 : f == Form::W32 ? 4 : 2; }

// Large buffers are kept from case to case: allocating a quarter of a
// megabyte several times a case would cost more than the generator.
std::vector<unsigned char> g_noise(kNoiseStateBytes);  // the history before the call
std::vector<unsigned char> g_after[3];                  // after it, per kernel
std::shared_ptr<platform::FakePlatform::Object> g_object = std::make_shared<platform::FakePlatform::Object>();

struct Result {
    std::vector<unsigned char> out;       // guards included
    std::vector<unsigned char>* noise;  // the object after the call
};

Result run(const Case& c, SimKernel kernel) {
    sim_kernel_override(kernel);
    g_fake->objects.clear();
    // Held open here, as the signal-source program holds it: an object
    // lives while someone holds it.
    platform::SharedMemoryPtr held;
    if (c.noiseBytes) {
        g_object->bytes.resize(c.noiseBytes);
        std::memcpy(g_object->bytes.data(), g_noise.data(), c.noiseBytes);
        g_fake->objects[kNoiseStateName] = g_object;
        held = g_fake->shm_open_existing(kNoiseStateName, 1, platform::Access::ReadWrite);
    }
    Result r;
    r.noise = &g_after[kernel == SimKernel::Scalar ? 0 : kernel == SimKernel::Avx2 ? 1 : 2];
    r.noise->resize(c.noiseBytes);
    const std::size_t bytes = std::size_t(c.n) * element_bytes(c.form);
    r.out.assign(kGuard + bytes + kGuard, kFill);
    void* out = r.out.data() + kGuard;
    switch (c.call) {
        case Call::Block:
            if (!synth_block(c.block, c.k, c.timing, c.rule, c.freqCode, c.n, c.gain, c.form, out))
                fail("synth_block failed");
            break;
        case Call::ScaledSum:
            if (!synth_codes_scaled_sum(c.block, c.k, c.timing, c.rule, c.freqCode, c.n, c.gain, c.form, out))
                fail("synth_codes_scaled_sum failed");
            break;
        case Call::Direct: {
            const SimParamBlock& p = c.block;
            const int k = c.k;
            const double extra = p.modulation[k] == 10 ? p.burstCycles[k] : p.damping[k];
            const double offset = static_cast<double>(c.timing.tickMs);
            const GenArgs a{p.shapeParam[k], c.timing.startSample, offset,      p.waveform[k], p.modulation[k],
                            p.amp1[k],       p.amp2[k],            p.freq1[k],  p.freq2[k],    p.phase[k],
                            p.period[k],     c.freqCode,           c.n,         c.gain,        c.slot,
                            extra};
            if (c.form == Form::Values)
                SimSignalGen(a, static_cast<double*>(out));
            else if (c.form == Form::W16)
                SimSignalGenW16(a, static_cast<int16_t*>(out));
            else
                SimSignalGenW32(a, static_cast<int32_t*>(out));
            break;
        }
    }
    if (held) std::memcpy(r.noise->data(), held->data(), c.noiseBytes);
    held.reset();
    g_fake->objects.clear();
    return r;
}

void check(const Case& c, const Result& r) {
    const std::size_t bytes = std::size_t(c.n) * element_bytes(c.form);
    for (std::size_t i = 0; i < kGuard; ++i)
        if (r.out[i] != kFill || r.out[kGuard + bytes + i] != kFill) fail("written outside the output");

    const bool direct = c.call == Call::Direct;
    if (direct && c.block.waveform[c.k] >= 5) {
        for (std::size_t i = 0; i < bytes; ++i)
            if (r.out[kGuard + i] != kFill) fail("a waveform without a signal wrote its output");
    }
    if (c.form == Form::Values && !(direct && c.block.waveform[c.k] >= 5)) {
        for (uint32_t i = 0; i < c.n; ++i) {
            double v;
            std::memcpy(&v, r.out.data() + kGuard + std::size_t(i) * 8, 8);
            if (!std::isfinite(v)) fail("a value that is not finite");
            if (c.call == Call::Block && std::fabs(v) > 5000.0) fail("a value beyond full scale");
        }
    }

    // Only the slots of the entries in play may change.
    std::set<int> inPlay;
    if (direct) {
        inPlay.insert(c.slot);
    } else {
        inPlay.insert(c.k);
        if (c.k < kSumRows)
            for (int j = 0; j < kSumSources; ++j)
                if (c.block.mixWeight[c.k][j] != 0.0) inPlay.insert(8 + j);
    }
    const std::size_t slotBytes = kNoiseSlotValues * sizeof(double);
    for (std::size_t at = 0; at < c.noiseBytes; at += slotBytes) {
        const int slot = static_cast<int>(at / slotBytes);
        const std::size_t len = std::min(slotBytes, c.noiseBytes - at);
        if (!inPlay.count(slot) && std::memcmp(r.noise->data() + at, g_noise.data() + at, len) != 0)
            fail("a noise slot not in play changed");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_fake = new platform::FakePlatform();  // kept for the whole run
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Case c{};
    c.call = static_cast<Call>(in.ConsumeIntegralInRange<int>(0, 2));
    c.form = static_cast<Form>(in.ConsumeIntegralInRange<int>(0, 2));
    if (c.call == Call::ScaledSum && c.form == Form::Values) c.form = Form::W16;  // codes only
    c.k = in.ConsumeIntegralInRange<int>(0, kEntries - 1);
    c.timing.rule = static_cast<Timing::Rule>(in.ConsumeIntegralInRange<int>(0, 3));
    c.timing.tickMs = in.ConsumeIntegral<uint32_t>();
    c.timing.seed = in.ConsumeIntegral<uint32_t>();
    c.timing.startSample = in.ConsumeIntegral<uint32_t>();
    c.rule = in.ConsumeBool() ? ExtraRule::Decoded : ExtraRule::Stored;
    c.freqCode = in.ConsumeIntegral<uint32_t>();
    // Mostly short blocks, so that many cases run (every noise source costs
    // a pass of its filter per block of 32); now and then a long one.
    const int length = in.ConsumeIntegralInRange<int>(0, 255);
    c.n = in.ConsumeIntegralInRange<uint32_t>(0, length == 0 ? kMaxSamples : length <= 16 ? 300 : length <= 96 ? 64 : 12);
    c.gain = in.ConsumeIntegral<int32_t>();
    c.slot = in.ConsumeBool() ? c.k : in.ConsumeIntegral<int32_t>();
    // The clock scale PreSamp leaves: 1 at 10 kHz and above, 20000 / rate
    // below; any double now and then.
    double scale = 1.0;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: break;
        case 1: scale = 20000.0 / in.ConsumeIntegralInRange<uint32_t>(1, 10000); break;
        case 2: scale = 0.0; break;
        default: {
            const uint64_t bits = in.ConsumeIntegral<uint64_t>();
            std::memcpy(&scale, &bits, sizeof scale);
        }
    }
    sim::process_state().clockScale = scale;
    g_fake->now = in.ConsumeIntegral<uint32_t>();
    const int noiseKind = in.ConsumeIntegralInRange<int>(0, 3);  // 0 none, 1 too short, else whole
    const bool bothKernels = in.ConsumeIntegralInRange<int>(0, 3) == 0;

    std::vector<unsigned char> block = in.ConsumeBytes<unsigned char>(sizeof(SimParamBlock));
    block.resize(sizeof(SimParamBlock), 0);
    std::memcpy(&c.block, block.data(), sizeof c.block);

    // The history: the rest of the input, repeated over the whole object.
    const std::vector<unsigned char> history = in.ConsumeRemainingBytes<unsigned char>();
    c.noiseBytes = noiseKind == 0 ? 0 : noiseKind == 1 ? kNoiseStateBytes - 8 : kNoiseStateBytes;
    if (c.noiseBytes && history.empty()) {
        std::memset(g_noise.data(), 0, c.noiseBytes);
    } else if (c.noiseBytes) {
        const std::size_t first = std::min(history.size(), c.noiseBytes);
        std::memcpy(g_noise.data(), history.data(), first);
        for (std::size_t have = first; have < c.noiseBytes; have *= 2)
            std::memcpy(g_noise.data() + have, g_noise.data(), std::min(have, c.noiseBytes - have));
    }

    // The pure helpers, with values of the block.
    (void)BesselI0(c.block.damping[c.k] * 100.0);
    (void)SimWarpPhase(c.block.freq1[c.k], c.block.period[c.k], c.block.shapeParam[c.k], c.block.phase[c.k]);

    // The kernel a user gets first (AVX-512, else AVX2, else the scalar
    // code, for the periodic waves and the noise alike); the ones below it
    // beside it now and then.
    const SimKernel best = sim_avx512_supported() ? SimKernel::Avx512
                           : sim_avx2_supported() ? SimKernel::Avx2
                                                  : SimKernel::Scalar;
    const Result first = run(c, best);
    check(c, first);
    if (best != SimKernel::Scalar && bothKernels) {
        for (SimKernel other : {SimKernel::Avx2, SimKernel::Scalar}) {
            if (other == best) continue;
            const Result r = run(c, other);
            if (r.out != first.out) fail("the kernels give different output");
            if (*r.noise != *first.noise) fail("the kernels leave different noise histories");
        }
    }
    sim_kernel_override(SimKernel::Auto);
    return 0;
}
