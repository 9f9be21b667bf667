// Acquisitions from a card: every block is one request to the device; a
// continuous acquisition keeps its device session in the handle word.
#include "sources/driver/driver_source.h"

#include "core/reason.h"
#include "core/share_block.h"
#include "platform/platform.h"
#include "sources/driver/block.h"
#include "sources/driver/device.h"
#include "sources/driver/gain.h"
#include "sources/driver/handles.h"

namespace kelmo::driver {
namespace {

GainRule gain_rule(MultiBlock::Variant v) {
    switch (v) {
        case MultiBlock::Variant::Plain: return GainRule::Block;
        case MultiBlock::Variant::Ex: return GainRule::BlockEx;
        case MultiBlock::Variant::W: return GainRule::BlockWords;
        case MultiBlock::Variant::WEx: return GainRule::BlockWordsEx;
    }
    return GainRule::Block;
}

// The "AdjustSmp" flag of the current user's settings, read afresh for
// every request that carries it: 1 when present and not 0.
uint8_t adjust_flag() {
    const auto v = platform::current().settings.user_setting("software\\KELMO\\Common", "AdjustSmp");
    return v && *v != 0 ? 1 : 0;
}

// The request's channel field: negated on the two-channel cards in 32-fold
// mode.
int16_t channel_field(const UnitFrame& f, int32_t channel) {
    return static_cast<int16_t>((f.card.twoChannel && f.folded()) ? -channel : channel);
}

// The gain code, or the caller's reason when the gain has none.
std::optional<int32_t> code_or_refuse(GainRule rule, const UnitFrame& f, int32_t gain, const double* chGains) {
    const auto code = gain_code(rule, f.card, gain, chGains);
    if (!code) {
        const bool perChannel = rule == GainRule::BlockEx || rule == GainRule::BlockWordsEx || rule == GainRule::StartEx;
        if (perChannel && f.card.gainCode == cards::GainCode::Nibbles)
            because(chGains ? "a channel gain of card type %d is not above 0 and has no gain code; give gains of 1 "
                              "or more (powers of two)"
                            : "the channel gains of card type %d are a null pointer; pass 32 gains, one per channel",
                    static_cast<int>(f.type()));
        else
            because("the gain %d has no gain code on card type %d; give a gain of 1 or more (a power of two)",
                    static_cast<int>(gain), static_cast<int>(f.type()));
    }
    return code;
}

}  // namespace

int DriverSource::single_block(const SingleBlock& r) {
    const UnitFrame& f = r.frame;
    const auto code = gain_code(GainRule::Single, f.card, r.gain, nullptr);
    const uint32_t mult = f.single_mult();
    auto dev = DeviceSession::open();
    if (!dev) return 0;
    if (!code) {  // a gain without a code is refused, once the device is open
        code_or_refuse(GainRule::Single, f, r.gain, nullptr);
        return 0;
    }
    platform::RequestRecord rec{};
    rec.cardType = f.type();
    rec.divider = static_cast<int32_t>(r.freqCode & 0xFFFF);
    rec.samples = static_cast<int32_t>(r.n * mult);
    rec.gainCode = static_cast<uint16_t>(*code);
    rec.channel = channel_field(f, r.channel);
    const auto bytes = static_cast<uint32_t>(f.transfer_bytes(mult, r.n));
    if (!dev.request(platform::kSingleChannel, rec, r.raw, bytes)) return 0;
    deliver_block(f, mult, r.n, r.raw, r.out, r.delivery);
    return dev.close() ? 1 : 0;
}

int DriverSource::multi_block(const MultiBlock& r) {
    const UnitFrame& f = r.frame;
    const auto code = code_or_refuse(gain_rule(r.variant), f, r.gain, r.chGains);
    if (!code) return 0;
    auto dev = DeviceSession::open();
    if (!dev) return 0;
    const uint32_t total = static_cast<uint32_t>(r.span.count) * static_cast<uint32_t>(r.len);
    platform::RequestRecord rec{};
    rec.cardType = f.type();
    rec.divider = r.freqCode & 0xFFFF;
    rec.samples = static_cast<int32_t>(r.mult * static_cast<uint32_t>(r.len));
    rec.gainCode = static_cast<uint16_t>(*code);
    rec.channel = channel_field(f, r.span.count);
    rec.adjustSmp = adjust_flag();
    const auto bytes = static_cast<uint32_t>(f.transfer_bytes(r.mult, total));
    if (!dev.request(platform::kMultiChannel, rec, r.raw, bytes)) return 0;
    deliver_block(f, r.mult, total, r.raw, r.out, r.delivery());
    return dev.close() ? 1 : 0;
}

int DriverSource::start(const ContinuousStart& r) {
    UnitFrame& f = r.frame;
    const auto code = code_or_refuse(r.ex ? GainRule::StartEx : GainRule::Start, f, r.gain, r.chGains);
    // The two-channel cards take -1 in 32-fold mode, else the Ex variant's
    // count or 1; every other card the count.
    int16_t field = static_cast<int16_t>(r.span.count);
    if (f.card.twoChannel)
        field = f.folded() ? int16_t{-1} : (r.ex ? static_cast<int16_t>(r.span.count) : int16_t{1});
    if (!code) return 0;
    auto dev = DeviceSession::open();
    if (!dev) return 0;
    platform::RequestRecord rec{};
    rec.cardType = f.type();
    rec.divider = r.freqCode;
    rec.samples = r.blockLen;
    rec.gainCode = static_cast<uint16_t>(*code);
    rec.channel = field;
    rec.adjustSmp = adjust_flag();
    const bool single = f.card.twoChannel && r.span.count <= 0;
    f.block->set_word(kWordSingleChannel, single ? static_cast<int32_t>(-int64_t{r.span.count}) : 0);
    const bool ok = dev.request(platform::kContinuousStart, rec, nullptr, 0);
    // The device stays open, also after a refused start, until recover.
    *r.handleWord = keep_session(std::move(dev));
    return ok ? 1 : 0;
}

void DriverSource::stop(uint32_t* handleWord, int32_t type) {
    const uint32_t handle = handleWord ? *handleWord : 0;
    if (cards::card_type(type).twoChannel && handle != 0 && owns_session(handle)) {
        if (auto s = kept_session(handle)) s->request(platform::kStop, platform::RequestRecord{}, nullptr, 0);
    }
    if (handle != 0) close_session(handle);
}

// The device is opened by every acquisition itself; nothing to prepare.
int DriverSource::check(char*, int*) { return 1; }

Source& driver_source() {
    static DriverSource source;
    return source;
}

}  // namespace kelmo::driver
