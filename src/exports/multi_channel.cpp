// MulChSam, MulChSamEx, MulChSamW, MulChSamWEx: one block of several
// channels, channel-major (channel i's block at i x len).
#include <algorithm>

#include "core/numconv.h"
#include "exports/frame.h"
#include "exports/guard.h"
#include "kelmo.h"
#include "sources/driver/block.h"
#include "sources/driver/device.h"
#include "sources/driver/gain.h"
#include "sources/sim/source.h"
#include "sources/sound/capture.h"

using namespace kelmo;

namespace {

enum class Variant { Plain, Ex, W, WEx };

bool words(Variant v) { return v == Variant::W || v == Variant::WEx; }
bool ex(Variant v) { return v == Variant::Ex || v == Variant::WEx; }

struct Request {
    Variant variant;
    int32_t freqCode;
    int32_t len;
    int32_t gain;
    ChannelSpan span;
    void* out;
    const double* chGains;  // Ex variants
};

driver::GainRule gain_rule(Variant v) {
    switch (v) {
        case Variant::Plain: return driver::GainRule::Block;
        case Variant::Ex: return driver::GainRule::BlockEx;
        case Variant::W: return driver::GainRule::BlockWords;
        case Variant::WEx: return driver::GainRule::BlockWordsEx;
    }
    return driver::GainRule::Block;
}

uint32_t mult_of(Variant v, const UnitFrame& f) {
    if (words(v)) return f.mode == -1 ? 32 : 1;
    if (f.mode < 0) return 32;
    return f.card.valuesMult;
}

// The call's scratch: the size the driver expects, and never less than what
// the block's delivery touches.
platform::PageBufferPtr scratch(const Request& r, const cards::CardType& card, uint32_t mult) {
    const uint64_t n = static_cast<uint64_t>(r.span.count), len = static_cast<uint64_t>(r.len);
    const uint64_t margin = ex(r.variant) ? 32 : 512;
    uint64_t bytes;
    if (card.scratch == cards::Scratch::Wide)
        bytes = (len + margin) * n * mult * 8;
    else if (card.scratch == cards::Scratch::Packed)
        bytes = len * 8 + 4096;
    else if (n == 3)
        bytes = (len + margin) * mult * 8;
    else
        bytes = (len + margin) * n * mult * 2;
    bytes = std::max(bytes, driver::block_bytes(card.code, mult, n * len));
    if (bytes > (uint64_t{1} << 40)) return nullptr;
    return platform::make_page_buffer(static_cast<std::size_t>(bytes));
}

int driver_path(const Request& r, const UnitFrame& f, uint32_t mult, void* raw) {
    const int32_t type = f.type();
    const auto code = driver::gain_code(gain_rule(r.variant), type, r.gain, r.chGains);
    if (!code) return 0;
    auto dev = driver::DeviceSession::open();
    if (!dev) return 0;
    const uint32_t total = static_cast<uint32_t>(r.span.count) * static_cast<uint32_t>(r.len);
    platform::RequestRecord rec{};
    rec.cardType = type;
    rec.divider = r.freqCode & 0xFFFF;
    rec.samples = static_cast<int32_t>(mult * static_cast<uint32_t>(r.len));
    rec.gainCode = static_cast<uint16_t>(*code);
    const bool negate = f.card.twoChannel && f.mode == -1;
    rec.channel = static_cast<int16_t>(negate ? -r.span.count : r.span.count);
    if (!dev.request(platform::kMultiChannel, rec, raw, total * mult * 2)) return 0;
    driver::deliver_block(type, mult, total, raw, r.out, words(r.variant));
    return dev.close() ? 1 : 0;
}

int sim_path(const Request& r, const UnitFrame& f, const int32_t firstChannel) {
    const uint32_t t0 = platform::current().tick_count();
    const uint32_t seed = sim::advance_seed();
    const auto freqCode = static_cast<uint32_t>(r.freqCode);
    const auto len = static_cast<uint32_t>(r.len);
    if (!sim::load_param_block(platform::Access::ReadOnly)) return 0;
    if (ex(r.variant) && !r.chGains) return 0;  // the per-channel gains are needed
    const sim::SimParamBlock& p = sim::private_copy();
    const sim::Timing timing{words(r.variant) ? sim::Timing::SeedOffset : sim::Timing::TickForSweeps, t0, seed, 0};
    const sim::Form form = sim::form_of(f.type(), words(r.variant));
    for (int32_t i = 0; i < r.span.count; ++i) {
        const int k = sim_channel(firstChannel, i);
        const int32_t gain = ex(r.variant) ? static_cast<int32_t>(trunc_i64(r.chGains[k])) : r.gain;
        void* block = sim::element(r.out, form, std::size_t(i) * len);
        const bool ok = sim::synth_block(p, k, timing, sim::ExtraRule::Stored, freqCode, len, gain, form, block);
        if (!ok) return 0;
    }
    sim::pace_block(t0, freqCode, len);
    return 1;
}

int multi_channel(int cardType, Request r, const int* firstChannel) {
    if (r.len < 0 || r.span.count <= 0 || (!r.out && r.len > 0)) return 0;
    UnitFrame f(cardType);
    if (!f.ok()) return 0;
    const uint32_t mult = mult_of(r.variant, f);
    auto raw = scratch(r, f.card, mult);
    if (!raw) return 0;
    const int32_t type = f.type();
    if (is_simulated(type)) return sim_path(r, f, ex(r.variant) ? (firstChannel ? *firstChannel : 0) : r.span.first);
    if (type == kSoundCard && !ex(r.variant)) {
        // No capture device is driven yet: the start fails and the capture
        // is stopped as after every failed start.
        sound::start_capture(static_cast<uint32_t>(r.freqCode), r.span.first * 256 + r.span.count);
        sound::stop_capture();
        return 0;
    }
    return driver_path(r, f, mult, raw->data());
}

}  // namespace

extern "C" {

KELMO_API int KELMO_CALL MulChSam(int cardType, int freqCode, int len, int gain, int channels, double* out) {
    return guarded(0, [&] {
        return multi_channel(cardType, {Variant::Plain, freqCode, len, gain, unpack_channels(channels), out, nullptr},
                             nullptr);
    });
}

KELMO_API int KELMO_CALL MulChSamEx(int cardType, int freqCode, int len, int gain, int count, double* out,
                                    const double* chGains, const int* firstChannel) {
    return guarded(0, [&] {
        return multi_channel(cardType, {Variant::Ex, freqCode, len, gain, {0, count}, out, chGains}, firstChannel);
    });
}

KELMO_API int KELMO_CALL MulChSamW(int cardType, int freqCode, int len, int gain, int channels, void* out) {
    return guarded(0, [&] {
        return multi_channel(cardType, {Variant::W, freqCode, len, gain, unpack_channels(channels), out, nullptr},
                             nullptr);
    });
}

KELMO_API int KELMO_CALL MulChSamWEx(int cardType, int freqCode, int len, int gain, int count, void* out,
                                     const double* chGains, const int* firstChannel) {
    return guarded(0, [&] {
        return multi_channel(cardType, {Variant::WEx, freqCode, len, gain, {0, count}, out, chGains}, firstChannel);
    });
}

}  // extern "C"
