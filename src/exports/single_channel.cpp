// OneChSam, OneChSamEx, OneChSamW: one block of one channel.
#include "exports/guard.h"
#include "core/reason.h"
#include "kelmo.h"
#include "sources/source.h"

using namespace kelmo;

namespace {

int one_channel(int cardType, uint32_t freqCode, uint32_t n, int gain, int channel, void* out, Delivery kind) {
    if (!require(out || n == 0, "the sample buffer is a null pointer; pass a buffer of n (%u) %s", static_cast<unsigned>(n),
                 kind == Delivery::Words ? "raw words" : "doubles"))
        return 0;
    const UnitFrame f(cardType);
    if (!f.ready()) return 0;
    // The low 16 bits of channel - 1, formed without overflow.
    const auto k = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(channel) - 1u));
    const auto raw = f.single_raw(k, n, kind);
    if (!raw) return 0;
    return source_for(f.card).single_block({f, freqCode, n, gain, k, kind, out, raw->data()});
}

}  // namespace

extern "C" {

KELMO_API int KELMO_CALL OneChSam(int cardType, uint32_t freqCode, uint32_t n, int gain, int channel, double* out) {
    return guarded("OneChSam", 0, [&] { return one_channel(cardType, freqCode, n, gain, channel, out, Delivery::Values); });
}

KELMO_API int KELMO_CALL OneChSamEx(int cardType, uint32_t freqCode, uint32_t n, int gain, int channel, double* out) {
    return guarded("OneChSamEx", 0, [&] { return one_channel(cardType, freqCode, n, gain, channel, out, Delivery::Values); });
}

KELMO_API int KELMO_CALL OneChSamW(int cardType, uint32_t freqCode, uint32_t n, int gain, int channel, void* out) {
    return guarded("OneChSamW", 0, [&] { return one_channel(cardType, freqCode, n, gain, channel, out, Delivery::Words); });
}

}  // extern "C"
