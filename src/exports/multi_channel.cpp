// MulChSam, MulChSamEx, MulChSamW, MulChSamWEx: one block of several
// channels, channel-major (channel i's block at i x len).
#include <algorithm>

#include "exports/guard.h"
#include "kelmo.h"
#include "sources/driver/block.h"
#include "sources/source.h"

using namespace kelmo;

namespace {

using Variant = MultiBlock::Variant;

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

// Raw samples per output sample: 32-fold mode, or the card's own factor
// for values; the word variants know only 32-fold mode.
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
    bytes = std::max(bytes, driver::transfer_bytes(card.code, mult, n * len));
    if (bytes > (uint64_t{1} << 40)) return nullptr;
    return platform::make_page_buffer(static_cast<std::size_t>(bytes));
}

int multi_channel(int cardType, Request r) {
    if (r.len < 0 || r.span.count <= 0 || (!r.out && r.len > 0)) return 0;
    UnitFrame f(cardType);
    if (!f.ok()) return 0;
    const uint32_t mult = mult_of(r.variant, f);
    auto raw = scratch(r, f.card, mult);
    if (!raw) return 0;
    return source_for(f.type()).multi_block(
        {f, r.variant, r.freqCode, r.len, r.gain, r.span, r.chGains, mult, r.out, raw->data()});
}

}  // namespace

extern "C" {

KELMO_API int KELMO_CALL MulChSam(int cardType, int freqCode, int len, int gain, int channels, double* out) {
    return guarded(0, [&] {
        return multi_channel(cardType, {Variant::Plain, freqCode, len, gain, unpack_channels(channels), out, nullptr});
    });
}

KELMO_API int KELMO_CALL MulChSamEx(int cardType, int freqCode, int len, int gain, int count, double* out,
                                    const double* chGains, const int* firstChannel) {
    return guarded(0, [&] {
        const ChannelSpan span{firstChannel ? *firstChannel : 0, count};
        return multi_channel(cardType, {Variant::Ex, freqCode, len, gain, span, out, chGains});
    });
}

KELMO_API int KELMO_CALL MulChSamW(int cardType, int freqCode, int len, int gain, int channels, void* out) {
    return guarded(0, [&] {
        return multi_channel(cardType, {Variant::W, freqCode, len, gain, unpack_channels(channels), out, nullptr});
    });
}

KELMO_API int KELMO_CALL MulChSamWEx(int cardType, int freqCode, int len, int gain, int count, void* out,
                                     const double* chGains, const int* firstChannel) {
    return guarded(0, [&] {
        const ChannelSpan span{firstChannel ? *firstChannel : 0, count};
        return multi_channel(cardType, {Variant::WEx, freqCode, len, gain, span, out, chGains});
    });
}

}  // extern "C"
