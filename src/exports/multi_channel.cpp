// MulChSam, MulChSamEx, MulChSamW, MulChSamWEx: one block of several
// channels, channel-major (channel i's block at i x len).
#include "exports/guard.h"
#include "core/reason.h"
#include "kelmo.h"
#include "sources/source.h"

using namespace kelmo;

namespace {

using Variant = MultiBlock::Variant;

struct Request {
    Variant variant;
    int32_t freqCode;
    int32_t len;
    int32_t gain;
    ChannelSpan span;
    void* out;
    const double* chGains;  // Ex variants
};

int multi_channel(int cardType, const Request& r) {
    if (!require(r.len >= 0, "the length %d is negative; give the samples per channel, 0 or more", r.len) ||
        !require(r.span.count > 0, "the channel count %d is not above 0; give how many channels (at most 256), or "
                                   "first channel x 256 + count", r.span.count) ||
        !require(r.out || r.len == 0, "the sample buffer is a null pointer; pass a buffer of len x channels (%lld) %s",
                 static_cast<long long>(r.len) * r.span.count,
                 r.variant == Variant::W || r.variant == Variant::WEx ? "raw words" : "doubles"))
        return 0;
    const UnitFrame f(cardType);
    if (!f.ready()) return 0;
    MultiBlock b{f, r.variant, r.freqCode, r.len, r.gain, r.span, r.chGains, r.out};
    b.mult = f.multi_mult(b.delivery());
    const auto raw = f.multi_raw(r.span, r.len, b.ex(), b.mult);
    if (!raw) return 0;
    b.raw = raw->data();
    return source_for(f.card, b.route()).multi_block(b);
}

}  // namespace

extern "C" {

KELMO_API int KELMO_CALL MulChSam(int cardType, int freqCode, int len, int gain, int channels, double* out) {
    return guarded("MulChSam", 0, [&] {
        return multi_channel(cardType, {Variant::Plain, freqCode, len, gain, unpack_channels(channels), out, nullptr});
    });
}

KELMO_API int KELMO_CALL MulChSamEx(int cardType, int freqCode, int len, int gain, int count, double* out,
                                    const double* chGains, const int* firstChannel) {
    return guarded("MulChSamEx", 0, [&] {
        const ChannelSpan span{firstChannel ? *firstChannel : 0, count};
        return multi_channel(cardType, {Variant::Ex, freqCode, len, gain, span, out, chGains});
    });
}

KELMO_API int KELMO_CALL MulChSamW(int cardType, int freqCode, int len, int gain, int channels, void* out) {
    return guarded("MulChSamW", 0, [&] {
        return multi_channel(cardType, {Variant::W, freqCode, len, gain, unpack_channels(channels), out, nullptr});
    });
}

KELMO_API int KELMO_CALL MulChSamWEx(int cardType, int freqCode, int len, int gain, int count, void* out,
                                     const double* chGains, const int* firstChannel) {
    return guarded("MulChSamWEx", 0, [&] {
        const ChannelSpan span{firstChannel ? *firstChannel : 0, count};
        return multi_channel(cardType, {Variant::WEx, freqCode, len, gain, span, out, chGains});
    });
}

}  // extern "C"
