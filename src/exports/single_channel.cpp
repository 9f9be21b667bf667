// OneChSam, OneChSamEx, OneChSamW: one block of one channel.
#include <algorithm>

#include "exports/guard.h"
#include "kelmo.h"
#include "sources/driver/block.h"
#include "sources/source.h"

using namespace kelmo;

namespace {

// Raw buffer of the call: sized for n samples of channel k, mult-fold.
platform::PageBufferPtr raw_buffer(const UnitFrame& f, int32_t k, uint32_t n, Delivery out) {
    const uint64_t m = f.mode >= 0 ? static_cast<uint64_t>(f.mode) : 32u;
    const bool wide = out == Delivery::Values && f.card.scratch == cards::Scratch::Wide;
    const uint64_t u = out == Delivery::Words ? 2 : (wide ? 2 : 1);
    uint64_t bytes = k < 4 ? (uint64_t{n} + 128) * u * m * 8 : (uint64_t(k) * n + 512) * u * m * 2;
    if (bytes == 0 || bytes > (uint64_t{1} << 40)) return nullptr;
    // Never less than the block's delivery touches.
    bytes = std::max(bytes, driver::transfer_bytes(f.type(), f.mode == -1 ? 32 : 1, n));
    return platform::make_page_buffer(static_cast<std::size_t>(bytes));
}

int one_channel(int cardType, uint32_t freqCode, uint32_t n, int gain, int channel, void* out, Delivery kind) {
    if (!out && n > 0) return 0;
    UnitFrame f(cardType);
    if (!f.ok()) return 0;
    // The low 16 bits of channel - 1, formed without overflow.
    const auto k = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(channel) - 1u));
    auto raw = raw_buffer(f, k, n, kind);
    if (!raw) return 0;
    return source_for(f.type()).single_block({f, freqCode, n, gain, k, kind, out, raw->data()});
}

}  // namespace

extern "C" {

KELMO_API int KELMO_CALL OneChSam(int cardType, uint32_t freqCode, uint32_t n, int gain, int channel, double* out) {
    return guarded(0, [&] { return one_channel(cardType, freqCode, n, gain, channel, out, Delivery::Values); });
}

KELMO_API int KELMO_CALL OneChSamEx(int cardType, uint32_t freqCode, uint32_t n, int gain, int channel, double* out) {
    return guarded(0, [&] { return one_channel(cardType, freqCode, n, gain, channel, out, Delivery::Values); });
}

KELMO_API int KELMO_CALL OneChSamW(int cardType, uint32_t freqCode, uint32_t n, int gain, int channel, void* out) {
    return guarded(0, [&] { return one_channel(cardType, freqCode, n, gain, channel, out, Delivery::Words); });
}

}  // extern "C"
