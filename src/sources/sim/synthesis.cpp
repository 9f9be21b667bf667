#include "sources/sim/synthesis.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "core/numconv.h"
#include "core/pacing.h"
#include "core/reason.h"
#include "core/share_block.h"
#include "sources/sim/clock.h"
#include "sources/sim/state.h"
#include "sources/sim/generator.h"
#include "sources/sim/generator_detail.h"

namespace kelmo::sim {
namespace {

// One entry's values as generator arguments.
struct Entry {
    int32_t waveform, modulation, shape;
    double A, A2, f1, f2, phi, Tp, extra;
};

Entry entry(const SimParamBlock& p, int k, ExtraRule rule) {
    Entry e{};
    e.waveform = p.waveform[k];
    const int32_t stored = p.modulation[k];
    e.shape = p.shapeParam[k];
    e.modulation = stored;
    if (stored > 10000) {  // stepped sweeps: the step count rides in the code
        e.shape = stored % 10000;
        e.modulation = stored / 20000 + 5;
    }
    const int32_t decides = rule == ExtraRule::Stored ? stored : e.modulation;
    e.extra = decides == 10 ? p.burstCycles[k] : p.damping[k];
    e.A = p.amp1[k];
    e.A2 = p.amp2[k];
    e.f1 = p.freq1[k];
    e.f2 = p.freq2[k];
    e.phi = p.phase[k];
    e.Tp = p.period[k];
    return e;
}

double start_offset(const Timing& t, int32_t modulation, uint32_t n) {
    const double seedOffset = static_cast<double>(t.seed) * static_cast<double>(n) / 2147483647.0;
    switch (t.rule) {
        case Timing::TickForSweeps:
            return (modulation >= 1 && modulation <= 4) ? static_cast<double>(t.tickMs) : seedOffset;
        case Timing::SeedOffset: return seedOffset;
        case Timing::SeedWhole: return std::trunc(seedOffset);
        case Timing::Running: return 0.0;
    }
    return 0.0;
}

// Calls the generator variant for one entry that is not a sum channel;
// values are limited to fullScale where it is finite.
template <class Out>
void generate(const Entry& e, const Timing& t, uint32_t freqCode, uint32_t n, int32_t gain, Out* out, int slot,
              double fullScale = INFINITY) {
    const uint32_t startSample = t.rule == Timing::Running ? t.startSample : 0;
    const double offset = start_offset(t, e.modulation, n);
    const GenArgs a{e.shape, startSample, offset, e.waveform, e.modulation, e.A,  e.A2,  e.f1,
                    e.f2,    e.phi,       e.Tp,   freqCode,   n,            gain, slot, e.extra};
    if constexpr (std::is_same_v<Out, double>)
        std::isfinite(fullScale) ? SimSignalGenLimited(a, out, fullScale) : SimSignalGen(a, out);
    else if constexpr (std::is_same_v<Out, int16_t>)
        SimSignalGenW16(a, out);
    else
        SimSignalGenW32(a, out);
}

// A source that can feed a sum channel: an ordinary signal class. Sum
// channels and unknown classes among the sources contribute nothing.
bool usable_source(const Entry& e) { return e.waveform < kSum; }

double finite_or_zero(double v) { return std::isfinite(v) ? v : 0.0; }

// Calls f(entry, weight) for every source of sum row k with a weight.
template <class F>
void for_each_source(const SimParamBlock& p, int k, ExtraRule rule, F&& f) {
    if (k >= kSumRows) return;  // only entries 0 .. 7 have a row of weights
    for (int j = 0; j < kSumSources; ++j) {
        const double w = p.mixWeight[k][j];
        if (w == 0.0) continue;
        const Entry src = entry(p, 8 + j, rule);
        if (usable_source(src)) f(src, w, 8 + j);
    }
}

// Synthesises entry k into out[0 .. n-1]. A sum channel is mixed from its
// sources by `mix`: begin() once, scale() and add() per weighted source,
// end() once.
template <class Out, class Mix>
bool synth_entry(const SimParamBlock& p, int k, const Timing& t, ExtraRule rule, uint32_t freqCode, uint32_t n,
                 int32_t gain, Out* out, Mix mix) {
    const Entry e = entry(p, k, rule);
    if (e.waveform != kSum) {
        generate(e, t, freqCode, n, gain, out, k);
        return true;
    }
    std::vector<Out> part(n);
    mix.begin(out, n);
    for_each_source(p, k, rule, [&](Entry src, double w, int slot) {
        mix.scale(src, w);
        std::fill(part.begin(), part.end(), Out{0});
        generate(src, t, freqCode, n, gain, part.data(), slot);
        mix.add(out, part.data(), w, n);
    });
    mix.end(out, n);
    return true;
}

// Values: the weighted sum of the sources' values.
struct MixValues {
    void begin(double* out, uint32_t n) { std::fill(out, out + n, 0.0); }
    void scale(Entry&, double) {}
    void add(double* out, const double* part, double w, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) out[i] += w * part[i];
    }
    void end(double*, uint32_t) {}
};

// Codes: the weighted sum of the sources' codes, formed in doubles and
// stored limited to the code's range.
template <class Code>
struct MixCodes {
    std::vector<double> sum;
    void begin(Code*, uint32_t n) { sum.assign(n, 0.0); }
    void scale(Entry&, double) {}
    void add(Code*, const Code* part, double w, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i) sum[i] += w * static_cast<double>(part[i]);
    }
    void end(Code* out, uint32_t n) {
        constexpr double lo = std::is_same_v<Code, int16_t> ? -32768.0 : -2147483648.0;
        constexpr double hi = std::is_same_v<Code, int16_t> ? 32767.0 : 2147483647.0;
        for (uint32_t i = 0; i < n; ++i) {
            double v = finite_or_zero(sum[i]);
            v = v > hi ? hi : v < lo ? lo : v;
            out[i] = static_cast<Code>(static_cast<int64_t>(v));
        }
    }
};

// Codes of sources whose amplitudes carry the weight, added as integers
// that wrap.
template <class Code>
struct MixScaledCodes {
    using Wide = std::make_unsigned_t<Code>;
    void begin(Code* out, uint32_t n) { std::fill(out, out + n, Code{0}); }
    void scale(Entry& src, double w) {
        src.A *= w;
        src.A2 *= w;
    }
    void add(Code* out, const Code* part, double, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i)
            out[i] = static_cast<Code>(static_cast<Wide>(static_cast<Wide>(out[i]) + static_cast<Wide>(part[i])));
    }
    void end(Code*, uint32_t) {}
};

}  // namespace

// One per thread: every call refreshes it from the shared block before use,
// so threads acquiring at the same time never read each other's half-copy.
SimParamBlock& private_copy() {
    thread_local SimParamBlock copy{};
    return copy;
}

platform::SharedMemoryPtr load_param_block(platform::Access access) {
    auto block = platform::current().shm.shm_use_existing(kParamBlockName, kParamBlockBytes, access);
    if (block) {
        std::memcpy(&private_copy(), block->data(), kParamBlockBytes);
    } else {
        auto& p = platform::current();
        because("the simulated source's parameters (%s) cannot be opened: %s; start genwave, or call Checkcard, "
                "which starts it",
                p.shm.shm_where(kParamBlockName).c_str(), p.system.error_text(p.system.last_error()).c_str());
    }
    return block;
}

bool store_param_block(platform::SharedMemory& block) {
    if (!block.writable() || !block.intact()) return false;
    // Only the fields the library keeps go back: the signal-source program
    // may have published new parameters since the copy was taken.
    constexpr std::size_t from = offsetof(SimParamBlock, contSampleCount);
    std::memcpy(static_cast<char*>(block.data()) + from, reinterpret_cast<const char*>(&private_copy()) + from,
                kParamBlockBytes - from);
    return true;
}

bool synth_block(const SimParamBlock& p, int k, const Timing& t, ExtraRule rule, uint32_t freqCode, uint32_t n,
                 int32_t gain, Form form, void* out) {
    switch (form) {
        case Form::W16:
            return synth_entry(p, k, t, rule, freqCode, n, gain, static_cast<int16_t*>(out), MixCodes<int16_t>{});
        case Form::W32:
            return synth_entry(p, k, t, rule, freqCode, n, gain, static_cast<int32_t*>(out), MixCodes<int32_t>{});
        case Form::Values: break;
    }
    // Full scale, +-5000; a value that is not a number becomes 0. The
    // generator limits a channel's values as it stores them.
    auto* v = static_cast<double*>(out);
    const Entry e = entry(p, k, rule);
    if (e.waveform != kSum) {
        generate(e, t, freqCode, n, gain, v, k, 5000.0);
        return true;
    }
    if (!synth_entry(p, k, t, rule, freqCode, n, gain, v, MixValues{})) return false;
    detail::limit_values(v, n, 5000.0);
    return true;
}

bool synth_codes_scaled_sum(const SimParamBlock& p, int k, const Timing& t, ExtraRule rule, uint32_t freqCode,
                            uint32_t n, int32_t gain, Form form, void* out) {
    if (form == Form::W16)
        return synth_entry(p, k, t, rule, freqCode, n, gain, static_cast<int16_t*>(out), MixScaledCodes<int16_t>{});
    return synth_entry(p, k, t, rule, freqCode, n, gain, static_cast<int32_t*>(out), MixScaledCodes<int32_t>{});
}

uint32_t advance_seed() {
    uint32_t& seed = process_state().randomSeed;
    seed = (seed * 16807u) % 2147483647u;
    return seed;
}

void pace_block(const PaceMark& t0, uint32_t freqCode, uint32_t n) {
    if (!paced(process_state().clockScale)) return;
    wait_elapsed(t0, block_ms(freqCode, n, process_state().clockScale));
}

}  // namespace kelmo::sim
