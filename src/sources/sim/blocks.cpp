// Blocks of the simulated source: one channel, or several channel-major.
#include "core/numconv.h"
#include "core/reason.h"
#include "platform/platform.h"
#include "sources/sim/simulated.h"
#include "sources/sim/synthesis.h"

namespace kelmo::sim {

int SimulatedSource::single_block(const SingleBlock& r) {
    const PaceMark mark = pace_mark();
    const uint32_t t0 = mark.tick;
    const uint32_t seed = advance_seed();
    if (!load_param_block(platform::Access::ReadOnly)) return 0;
    const int k = r.channel;
    if (!require(k >= 0 && k < kEntries, "channel %d is not one of the simulated source's %d (channels count from 1)",
                 k + 1, kEntries))
        return 0;
    const SimParamBlock& p = private_copy();
    const Form form = form_of(r.frame.card, r.delivery == Delivery::Words);
    // Blocks start at the tick count for sweeps, else at the seed offset;
    // 32-bit codes start at a whole number of milliseconds, except the
    // sources of a sum channel, which follow the usual rule.
    const bool whole = form == Form::W32 && p.waveform[k] != kSum;
    const Timing t{whole ? Timing::SeedWhole : Timing::TickForSweeps, t0, seed, 0};
    if (!synth_block(p, k, t, ExtraRule::Stored, r.freqCode, r.n, r.gain, form, r.out)) return 0;
    pace_block(mark, r.freqCode, r.n);
    return 1;
}

int SimulatedSource::multi_block(const MultiBlock& r) {
    const PaceMark mark = pace_mark();
    const uint32_t t0 = mark.tick;
    const uint32_t seed = advance_seed();
    const auto freqCode = static_cast<uint32_t>(r.freqCode);
    const auto len = static_cast<uint32_t>(r.len);
    if (!load_param_block(platform::Access::ReadOnly)) return 0;
    if (!require(!r.ex() || r.chGains, "the channel gains are a null pointer; pass 32 gains, one per channel"))
        return 0;
    const SimParamBlock& p = private_copy();
    const Timing timing{r.words() ? Timing::SeedOffset : Timing::TickForSweeps, t0, seed, 0};
    const Form form = form_of(r.frame.card, r.words());
    for (int32_t i = 0; i < r.span.count; ++i) {
        const int k = entry_of(r.span.first, i);
        const int32_t gain = r.ex() ? static_cast<int32_t>(trunc_i64(r.chGains[k])) : r.gain;
        void* block = element(r.out, form, std::size_t(i) * len);
        if (!synth_block(p, k, timing, ExtraRule::Stored, freqCode, len, gain, form, block)) return 0;
    }
    pace_block(mark, freqCode, len);
    return 1;
}

}  // namespace kelmo::sim
