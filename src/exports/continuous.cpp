// Continuous acquisition: Set_dbl_MulChSam(Ex) start it, get_dbl_data(W)
// deliver block after block, recover ends it.
#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "core/numconv.h"
#include "core/pacing.h"
#include "exports/continuous.h"
#include "exports/frame.h"
#include "exports/guard.h"
#include "kelmo.h"
#include "sources/driver/device.h"
#include "sources/driver/gain.h"
#include "sources/driver/handles.h"
#include "sources/sim/generator.h"
#include "sources/sim/source.h"
#include "sources/sound/capture.h"

namespace kelmo {
namespace {

constexpr const char* kSingleChannelName = "123_1ch";
constexpr std::size_t kSingleChannelBytes = 1024;

int start_sim(UnitFrame& f, int32_t freqCode, int32_t gain, ChannelSpan span, const double* chGains) {
    // A divider of 0 has no sampling period: no block could ever be timed.
    if (freqCode == 0) return 0;
    // Channel gains for the fetches, in words 1 .. 32 of the status block.
    const int64_t words = span.count <= 0 ? 1 - int64_t{span.count} : 32;
    if (words > 32) return 0;  // a single channel beyond the 32 entries
    for (int64_t i = 0; i < words; ++i) {
        const int32_t g = chGains ? static_cast<int32_t>(trunc_i64(chGains[i])) : static_cast<int16_t>(gain);
        f.block->set_word(kWordChannelGain + static_cast<std::size_t>(i), g);
    }

    auto block = sim::load_param_block(platform::Access::ReadWrite);
    if (!block) return 0;
    sim::SimParamBlock& p = sim::private_copy();
    p.contSampleCount = 0;
    p.contGain = chGains ? 1.0 : static_cast<double>(gain);
    p.contFreqCode = static_cast<uint32_t>(freqCode);
    p.contStartTick = platform::current().tick_count();
    p.contFirstChannel = static_cast<int16_t>(span.first);
    if (!sim::store_param_block(*block)) return 0;
    block.reset();

    // "123_1ch" stays open for the rest of the process, so that the fetches
    // find it by name.
    const auto held = keep_named(kSingleChannelName, kSingleChannelBytes);
    if (!held) return 0;
    held->set_word(0, static_cast<int16_t>(span.count));
    return 1;
}

int start_driver(UnitFrame& f, uint32_t* handleWord, int32_t freqCode, int32_t blockLen, ChannelSpan span,
                 std::optional<int32_t> code, int16_t channelField) {
    if (!code) return 0;
    auto dev = driver::DeviceSession::open();
    if (!dev) return 0;
    const int32_t type = f.type();
    platform::RequestRecord rec{};
    rec.cardType = type;
    rec.divider = freqCode;
    rec.samples = blockLen;
    rec.gainCode = static_cast<uint16_t>(*code);
    rec.channel = channelField;
    const bool single = f.card.twoChannel && span.count <= 0;
    f.block->set_word(kWordSingleChannel, single ? static_cast<int32_t>(-int64_t{span.count}) : 0);
    const bool ok = dev.request(platform::kContinuousStart, rec, nullptr, 0);
    // The device stays open, also after a refused start, until recover.
    *handleWord = driver::keep_session(std::move(dev));
    return ok ? 1 : 0;
}

}  // namespace

int start_continuous(uint32_t* handleWord, int cardType, int freqCode, int gain, ChannelSpan span, int blockLen,
                     const double* chGains, bool exVariant) {
    if (!handleWord) return 0;
    *handleWord = 0;
    UnitFrame f(cardType);
    if (!f.ok()) return 0;
    const int32_t type = f.type();
    if (is_simulated(type)) return start_sim(f, freqCode, gain, span, exVariant ? chGains : nullptr);
    if (type == kSoundCard && !exVariant) return sound::start_capture(static_cast<uint32_t>(freqCode), span.count);

    const auto code =
        driver::gain_code(exVariant ? driver::GainRule::StartEx : driver::GainRule::Start, type, gain, chGains);
    int16_t field;
    if (f.card.twoChannel)
        field = f.mode == -1 ? int16_t{-1} : (exVariant ? static_cast<int16_t>(span.count) : int16_t{1});
    else
        field = static_cast<int16_t>(span.count);
    return start_driver(f, handleWord, freqCode, blockLen, span, code, field);
}

namespace {

struct Fetch {
    int32_t len, nch, stride, offset;
    int* status;
    bool paced;
};

// Where channel i's block starts in a values buffer.
double* block_at(double* buf, const Fetch& q, int32_t i) {
    return buf + static_cast<std::ptrdiff_t>(q.offset) + static_cast<std::ptrdiff_t>(i) * q.stride;
}

// The block a fetch delivers: where it starts, its deadline and its channels.
struct SimBlock {
    uint32_t before;
    uint32_t freqCode;
    int32_t first;
    uint32_t deadline;
    int32_t channels;  // "123_1ch": count, or -channel for one channel
};

// The channels of this block: (output position, entry, seed).
struct Lane {
    int32_t position;
    int k;
    uint32_t seed;
};
std::vector<Lane> lanes(const Fetch& q, const SimBlock& b) {
    std::vector<Lane> v;
    const double fc = static_cast<double>(b.freqCode);
    if (b.channels >= 0) {
        for (int32_t i = 0; i < q.nch; ++i) {
            const int k = sim_channel(b.first, i);
            v.push_back({i, k, static_cast<uint32_t>(trunc_i64(1000.0 * k + b.deadline * 10000.0 / fc))});
        }
    } else {
        const int64_t k = -static_cast<int64_t>(b.channels);
        if (k < sim::kEntries) {
            const double s = b.deadline * 10000000.0 / fc / process_state().simClockScale + 1000.0 * k;
            v.push_back({0, static_cast<int>(k), static_cast<uint32_t>(trunc_i64(s))});
        }
    }
    return v;
}

// Takes the next block of the running acquisition: refreshes the private
// copy, checks that the block can be delivered, and only then advances
// (and publishes) the running count, so that a failed fetch leaves the
// time base where it was.
bool next_sim_block(const Fetch& q, SimBlock& b, std::vector<Lane>& ls) {
    auto block = sim::load_param_block(platform::Access::ReadWrite);
    sim::SimParamBlock& p = sim::private_copy();
    // A block without a started acquisition (the signal-source program was
    // restarted and published a new one) serves no fetch until a new start.
    if (!block || p.contFreqCode == 0) {
        if (q.status) *q.status = 1;
        return false;
    }
    auto single = platform::current().shm_open_existing(kSingleChannelName, kSingleChannelBytes,
                                                        platform::Access::ReadWrite);
    if (!single) return false;
    b.channels = single->word(0);
    b.before = p.contSampleCount;
    b.freqCode = p.contFreqCode;
    b.first = p.contFirstChannel;
    const double ms = static_cast<double>(b.before + static_cast<uint32_t>(q.len)) * b.freqCode *
                      process_state().simClockScale * 2.44140625e-11;
    b.deadline = p.contStartTick + static_cast<uint32_t>(trunc_i64(ms));
    ls = lanes(q, b);
    if (ls.empty()) return false;
    p.contSampleCount = b.before + static_cast<uint32_t>(q.len);
    return sim::store_param_block(*block);
}

void pace_fetch(const Fetch& q, const SimBlock& b) {
    if (!q.paced || process_state().simClockScale > 200000.0) return;
    // Never longer than this block's own length (and a second to spare):
    // a deadline further out comes from a start time that was tampered with.
    wait_until_tick(b.deadline, sim::block_ms(b.freqCode, static_cast<uint32_t>(q.len)) + 1000.0);
}

// One block of the simulated source: advances the running count, then
// hands every channel (seeded, with its gain from the status block) to
// `lane` with the number of lanes, then waits for the block's deadline.
template <class LaneFn>
int fetch_sim(const UnitFrame& f, const Fetch& q, LaneFn&& lane) {
    SimBlock b{};
    std::vector<Lane> ls;
    if (!next_sim_block(q, b, ls)) return 0;
    const sim::Timing running{sim::Timing::Running, 0, 0, b.before};
    const auto count = static_cast<int32_t>(ls.size());
    for (const auto& l : ls) {
        sim::sim_srand(l.seed);
        const auto gain = static_cast<int16_t>(f.block->word(kWordChannelGain + l.k));
        if (!lane(l, count, running, b.freqCode, gain)) return 0;
    }
    pace_fetch(q, b);
    return 1;
}

int fetch_sim_values(const UnitFrame& f, double* buf, const Fetch& q) {
    const auto len = static_cast<uint32_t>(q.len);
    return fetch_sim(f, q, [&](const Lane& l, int32_t, const sim::Timing& t, uint32_t freqCode, int32_t gain) {
        return sim::synth_block(sim::private_copy(), l.k, t, sim::ExtraRule::Decoded, freqCode, len, gain,
                                sim::Form::Values, block_at(buf, q, l.position));
    });
}

// Raw codes, channel-major by offset and stride, or interleaved (offset
// 65535): sample s of every delivered channel in turn, as many lanes as
// channels are delivered (one for a single-channel acquisition).
template <class Code>
int fetch_sim_codes(const UnitFrame& f, Code* buf, const Fetch& q, sim::Form form) {
    const auto len = static_cast<uint32_t>(q.len);
    const bool interleaved = q.offset == 65535;
    std::vector<Code> scratch(len);
    return fetch_sim(f, q, [&](const Lane& l, int32_t count, const sim::Timing& t, uint32_t freqCode, int32_t gain) {
        std::fill(scratch.begin(), scratch.end(), Code{0});  // an entry without a signal gives zeros
        if (!sim::synth_codes_scaled_sum(sim::private_copy(), l.k, t, sim::ExtraRule::Decoded, freqCode, len, gain,
                                         form, scratch.data()))
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

int fetch_sim_words(const UnitFrame& f, void* buf, const Fetch& q) {
    if (f.type() == 124) return fetch_sim_codes(f, static_cast<int32_t*>(buf), q, sim::Form::W32);
    return fetch_sim_codes(f, static_cast<int16_t*>(buf), q, sim::Form::W16);
}

}  // namespace

int fetch_continuous(uint32_t* handleWord, int cardType, int len, int nch, void* buf, int stride, int offset,
                     int* status, bool rawWords) {
    if (status) *status = 0;
    const bool unpaced = cardType == 1230;
    if (len < 0 || (!buf && len > 0)) return 0;
    UnitFrame f(unpaced ? 123 : cardType);
    if (!f.ok()) return 0;
    const Fetch q{len, nch, stride, offset, status, !unpaced};
    const int32_t type = f.type();
    if (is_simulated(type))
        return rawWords ? fetch_sim_words(f, buf, q) : fetch_sim_values(f, static_cast<double*>(buf), q);
    (void)handleWord;
    // Sound card and driver: no capture runs and no fetch can be served
    // while neither is driven.
    return 0;
}

void recover_acquisition(uint32_t* handleWord, int cardType) {
    const int32_t type = reduce_code(cardType);
    if (type == kSoundCard) {
        sound::stop_capture();
        return;
    }
    const uint32_t handle = handleWord ? *handleWord : 0;
    if (cards::card_type(type).twoChannel && handle != 0) {
        if (auto s = driver::kept_session(handle)) s->request(platform::kStop, platform::RequestRecord{}, nullptr, 0);
    }
    if (handle != 0) driver::close_session(handle);
}

}  // namespace kelmo

using namespace kelmo;

extern "C" {

KELMO_API int KELMO_CALL Set_dbl_MulChSam(uint32_t* handleWord, int cardType, int freqCode, int gain, int channels,
                                          int blockLen) {
    return guarded(0, [&] {
        return start_continuous(handleWord, cardType, freqCode, gain, unpack_channels(channels), blockLen, nullptr,
                                false);
    });
}

KELMO_API int KELMO_CALL Set_dbl_MulChSamEx(uint32_t* handleWord, int cardType, int freqCode, int gain, int count,
                                            int blockLen, const double* chGains, const int* firstChannel) {
    return guarded(0, [&] {
        if (count > 1023) count -= 1024;
        if (!chGains && is_simulated(unit_code(cardType).type)) return 0;  // the channel gains are needed
        return start_continuous(handleWord, cardType, freqCode, gain, {firstChannel ? *firstChannel : 0, count},
                                blockLen, chGains, true);
    });
}

KELMO_API int KELMO_CALL get_dbl_data(uint32_t* handleWord, int cardType, int len, int nch, double* buf, int stride,
                                      int offset, int* status) {
    return guarded(0, [&] { return fetch_continuous(handleWord, cardType, len, nch, buf, stride, offset, status, false); });
}

KELMO_API int KELMO_CALL get_dbl_dataW(uint32_t* handleWord, int cardType, int len, int nch, void* buf, int stride,
                                       int offset, int* status) {
    return guarded(0, [&] { return fetch_continuous(handleWord, cardType, len, nch, buf, stride, offset, status, true); });
}

KELMO_API void KELMO_CALL recover(uint32_t* handleWord, int cardType) {
    guarded_void([&] { recover_acquisition(handleWord, cardType); });
}

}  // extern "C"
