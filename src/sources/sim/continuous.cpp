// The simulated source's continuous acquisition: the start records a time
// base of its own for the caller's handle word (and publishes it in the
// parameter block), every fetch synthesises the next block of it.
#include <algorithm>
#include <optional>
#include <vector>

#include "core/numconv.h"
#include "core/pacing.h"
#include "core/reason.h"
#include "core/share_block.h"
#include "platform/platform.h"
#include "sources/sim/clock.h"
#include "sources/sim/generator.h"
#include "sources/sim/runs.h"
#include "sources/sim/simulated.h"
#include "sources/sim/state.h"
#include "sources/sim/synthesis.h"

namespace kelmo::sim {
namespace {

constexpr const char* kSingleChannelName = "123_1ch";
constexpr std::size_t kSingleChannelBytes = 1024;

// Where channel i's block starts in a values buffer.
double* block_at(double* buf, const ContinuousFetch& q, int32_t i) {
    return buf + static_cast<std::ptrdiff_t>(q.offset) + static_cast<std::ptrdiff_t>(i) * q.stride;
}

// The block a fetch delivers: where it starts, its deadline and its channels.
struct SimBlock {
    uint32_t before;
    uint32_t freqCode;
    int32_t first;
    uint32_t deadline;
    uint64_t notBeforeUs;  // on the fine clock; 0 when started elsewhere
    int32_t channels;  // "123_1ch": count, or -channel for one channel
    double clockScale;
    std::optional<Run> run;  // the run this process started on the handle word
};

// The channels of this block: (output position, entry, seed).
struct Lane {
    int32_t position;
    int k;
    uint32_t seed;
};
std::vector<Lane> lanes(const ContinuousFetch& q, const SimBlock& b) {
    std::vector<Lane> v;
    const double fc = static_cast<double>(b.freqCode);
    if (b.channels >= 0) {
        for (int32_t i = 0; i < q.nch; ++i) {
            const int k = entry_of(b.first, i);
            v.push_back({i, k, static_cast<uint32_t>(trunc_i64(1000.0 * k + b.deadline * 10000.0 / fc))});
        }
    } else {
        const int64_t k = -static_cast<int64_t>(b.channels);
        if (k < kEntries) {
            const double s = b.deadline * 10000000.0 / fc / b.clockScale + 1000.0 * k;
            v.push_back({0, static_cast<int>(k), static_cast<uint32_t>(trunc_i64(s))});
        }
    }
    return v;
}

RunKey run_key(const void* handleWord, const UnitFrame& f) { return {handleWord, f.code.secondUnit}; }

bool params_cut(const ContinuousFetch& q) {
    because("the simulated source's parameters (%s) were changed or cut while in use; restart genwave and the "
            "acquisition", platform::current().shm.shm_where(kParamBlockName).c_str());
    if (q.status) *q.status = 1;
    return false;
}

// The block of a run this process started on the handle word: its own
// time base, whatever other acquisitions of the same parameters did since.
bool next_kept_block(const ContinuousFetch& q, platform::SharedMemory& block, SimBlock& b, std::vector<Lane>& ls) {
    const Run& run = *b.run;
    b.channels = run.channels;
    b.before = run.sampleCount;
    b.freqCode = run.freqCode;
    b.first = run.firstChannel;
    b.clockScale = run.clockScale;
    const auto n = static_cast<uint32_t>(q.len);
    const double ms = block_ms(b.freqCode, b.before + n, b.clockScale);
    b.deadline = run.startTick + static_cast<uint32_t>(trunc_i64(ms));
    b.notBeforeUs = ms >= 0 && ms < 1e15 ? run.startUs + static_cast<uint64_t>(ms * 1000.0) : 0;
    ls = lanes(q, b);
    if (ls.empty()) return false;
    if (!advance_run(run_key(q.handleWord, q.frame), run.startTick, b.before, n)) {
        because("another thread started or ended the acquisition on this handle word while this block was being "
                "fetched; give each acquisition a handle word of its own");
        return false;
    }
    // Published while the block still shows this run (the last start of
    // any process), for the programs that read the published count.
    SimParamBlock& p = private_copy();
    if (p.contStartTick == run.startTick && p.contFreqCode == run.freqCode &&
        p.contFirstChannel == run.firstChannel) {
        p.contSampleCount = b.before + n;
        if (!store_param_block(block)) return params_cut(q);
    }
    return true;
}

// Takes the next block of the running acquisition: refreshes the private
// copy, checks that the block can be delivered, and only then advances
// (and publishes) the running count, so that a failed fetch leaves the
// time base where it was.
bool next_block(const ContinuousFetch& q, SimBlock& b, std::vector<Lane>& ls) {
    auto block = load_param_block(platform::Access::ReadWrite);
    SimParamBlock& p = private_copy();
    if (!block) {
        if (q.status) *q.status = 1;
        return false;
    }
    b.run = q.handleWord ? kept_run(run_key(q.handleWord, q.frame)) : std::nullopt;
    if (b.run) {
        if (!block->intact()) return params_cut(q);
        return next_kept_block(q, *block, b, ls);
    }
    // Started elsewhere (another process, or another handle word): the
    // published fields are the time base. A block without a started
    // acquisition (the signal-source program was restarted and published
    // a new one) serves no such fetch until a new start.
    if (p.contFreqCode == 0) {
        because("the signal source published new parameters since the acquisition started (genwave was "
                "restarted); start the acquisition again");
        if (q.status) *q.status = 1;
        return false;
    }
    // Usually this process started the acquisition and keeps "123_1ch".
    std::shared_ptr<platform::SharedMemory> single = kept_view(kSingleChannelName);
    if (!single)
        single = platform::current().shm.shm_open_existing(kSingleChannelName, kSingleChannelBytes,
                                                       platform::Access::ReadWrite);
    if (!single) {
        auto& pf = platform::current();
        because("the acquisition's channel record (%s) cannot be opened: %s; start the acquisition again",
                pf.shm.shm_where(kSingleChannelName).c_str(), pf.system.error_text(pf.system.last_error()).c_str());
        return false;
    }
    b.channels = single->word(0);
    b.before = p.contSampleCount;
    b.freqCode = p.contFreqCode;
    b.first = p.contFirstChannel;
    b.clockScale = process_state().clockScale;
    const double ms = block_ms(b.freqCode, b.before + static_cast<uint32_t>(q.len), b.clockScale);
    b.deadline = p.contStartTick + static_cast<uint32_t>(trunc_i64(ms));
    b.notBeforeUs = 0;
    ls = lanes(q, b);
    if (ls.empty()) return false;
    p.contSampleCount = b.before + static_cast<uint32_t>(q.len);
    if (store_param_block(*block)) return true;
    return params_cut(q);
}

void pace_fetch(const ContinuousFetch& q, const SimBlock& b) {
    if (!q.paced || !paced(b.clockScale)) return;
    // Never longer than this block's own length (and a second to spare):
    // a deadline further out comes from a start time that was tampered with.
    wait_until_tick(b.deadline, block_ms(b.freqCode, static_cast<uint32_t>(q.len), b.clockScale) + 1000.0,
                    b.notBeforeUs);
}

// One block: advances the running count, then hands every channel (seeded,
// with its gain from the status block) to `lane` with the number of lanes,
// then waits for the block's deadline.
template <class LaneFn>
int fetch_block(const ContinuousFetch& q, LaneFn&& lane) {
    SimBlock b{};
    std::vector<Lane> ls;
    if (!next_block(q, b, ls)) return 0;
    const Timing running{Timing::Running, 0, 0, b.before};
    const auto count = static_cast<int32_t>(ls.size());
    const ClockScaleScope scale(b.clockScale);
    for (const auto& l : ls) {
        sim_srand(l.seed);
        const auto gain = b.run ? b.run->gains[static_cast<std::size_t>(l.k)]
                                : static_cast<int16_t>(q.frame.block->word(kWordChannelGain + l.k));
        if (!lane(l, count, running, b.freqCode, gain)) return 0;
    }
    pace_fetch(q, b);
    return 1;
}

int fetch_values(const ContinuousFetch& q) {
    const auto len = static_cast<uint32_t>(q.len);
    auto* buf = static_cast<double*>(q.buf);
    return fetch_block(q, [&](const Lane& l, int32_t, const Timing& t, uint32_t freqCode, int32_t gain) {
        return synth_block(private_copy(), l.k, t, ExtraRule::Decoded, freqCode, len, gain, Form::Values,
                           block_at(buf, q, l.position));
    });
}

// Raw codes, channel-major by offset and stride, or interleaved (offset
// 65535): sample s of every delivered channel in turn, as many lanes as
// channels are delivered (one for a single-channel acquisition).
template <class Code>
int fetch_codes(const ContinuousFetch& q, Form form) {
    const auto len = static_cast<uint32_t>(q.len);
    auto* buf = static_cast<Code*>(q.buf);
    const bool interleaved = q.offset == 65535;
    std::vector<Code> scratch(len);
    return fetch_block(q, [&](const Lane& l, int32_t count, const Timing& t, uint32_t freqCode, int32_t gain) {
        std::fill(scratch.begin(), scratch.end(), Code{0});  // an entry without a signal gives zeros
        if (!synth_codes_scaled_sum(private_copy(), l.k, t, ExtraRule::Decoded, freqCode, len, gain, form,
                                    scratch.data()))
            return false;
        for (uint32_t s = 0; s < len; ++s) {
            const std::ptrdiff_t at = interleaved
                                          ? std::ptrdiff_t(s) * count + l.position
                                          : std::ptrdiff_t(q.offset) + std::ptrdiff_t(l.position) * q.stride + s;
            buf[at] = scratch[s];
        }
        return true;
    });
}

}  // namespace

int SimulatedSource::start(const ContinuousStart& r) {
    if (!require(!r.ex || r.chGains, "the channel gains are a null pointer; pass 32 gains, one per channel"))
        return 0;
    // A divider of 0 has no sampling period: no block could ever be timed.
    if (!require(r.freqCode != 0, "the divider is 0, which gives no sampling rate; pass the code PreSamp chose"))
        return 0;
    // Channel gains for the fetches, in words 1 .. 32 of the status block.
    const int64_t words = r.span.count <= 0 ? 1 - int64_t{r.span.count} : 32;
    if (!require(words <= 32, "the single channel %lld is not one of the simulated source's 32 (a count of -k "
                              "acquires channel k, from 0 to 31)", static_cast<long long>(words - 1)))
        return 0;
    Run run;
    for (int64_t i = 0; i < words; ++i) {
        const int32_t g = r.chGains ? static_cast<int32_t>(trunc_i64(r.chGains[i])) : static_cast<int16_t>(r.gain);
        r.frame.block->set_word(kWordChannelGain + static_cast<std::size_t>(i), g);
        run.gains[static_cast<std::size_t>(i)] = static_cast<int16_t>(g);
    }

    auto block = load_param_block(platform::Access::ReadWrite);
    if (!block) return 0;
    SimParamBlock& p = private_copy();
    p.contSampleCount = 0;
    p.contGain = r.chGains ? 1.0 : static_cast<double>(r.gain);
    p.contFreqCode = static_cast<uint32_t>(r.freqCode);
    const PaceMark start = pace_mark();
    p.contStartTick = start.tick;
    p.contFirstChannel = static_cast<int16_t>(r.span.first);
    if (!store_param_block(*block)) return 0;
    block.reset();

    // "123_1ch" stays open for the rest of the process, so that the fetches
    // of other programs find it by name.
    const auto held = keep_named(kSingleChannelName, kSingleChannelBytes);
    if (!held) return 0;
    held->set_word(0, static_cast<int16_t>(r.span.count));

    run.startTick = start.tick;
    run.startUs = start.us;
    run.freqCode = p.contFreqCode;
    run.clockScale = process_state().clockScale;
    run.firstChannel = p.contFirstChannel;
    run.channels = static_cast<int16_t>(r.span.count);
    keep_run(run_key(r.handleWord, r.frame), run);
    return 1;
}

int SimulatedSource::fetch(const ContinuousFetch& q) {
    if (q.delivery == Delivery::Values) return fetch_values(q);
    if (form_of(q.frame.card, true) == Form::W32) return fetch_codes<int32_t>(q, Form::W32);
    return fetch_codes<int16_t>(q, Form::W16);
}

// Nothing of the simulated source runs between calls. (Its card types send
// recover to the driver, which closes a device session that a handle word
// names, as for every code but the sound card's; the run of the handle
// word is forgotten there too.)
void SimulatedSource::stop(uint32_t*, int32_t) {}

void SimulatedSource::forget(const uint32_t* handleWord, bool secondUnit) { end_run({handleWord, secondUnit}); }

}  // namespace kelmo::sim
