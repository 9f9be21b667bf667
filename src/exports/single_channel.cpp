// OneChSam, OneChSamEx, OneChSamW: one block of one channel.
#include <algorithm>
#include <cstring>

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

enum class Output { Values, Words };

// Raw buffer of the call: sized for n samples of channel k, mult-fold.
platform::PageBufferPtr raw_buffer(const UnitFrame& f, int32_t k, uint32_t n, Output out) {
    const uint64_t m = f.mode >= 0 ? static_cast<uint64_t>(f.mode) : 32u;
    const bool wide = out == Output::Values && f.card.scratch == cards::Scratch::Wide;
    const uint64_t u = out == Output::Words ? 2 : (wide ? 2 : 1);
    uint64_t bytes = k < 4 ? (uint64_t{n} + 128) * u * m * 8 : (uint64_t(k) * n + 512) * u * m * 2;
    if (bytes == 0 || bytes > (uint64_t{1} << 40)) return nullptr;
    // Never less than the block's delivery touches.
    bytes = std::max(bytes, driver::block_bytes(f.type(), f.mode == -1 ? 32 : 1, n));
    return platform::make_page_buffer(static_cast<std::size_t>(bytes));
}

int driver_block(const UnitFrame& f, uint32_t freqCode, uint32_t n, int32_t gain, int16_t k, void* out,
                 Output kind, void* raw) {
    const int32_t type = f.type();
    const auto code = driver::gain_code(driver::GainRule::Single, type, gain, nullptr);
    const uint32_t mult = f.mode == -1 ? 32 : 1;
    auto dev = driver::DeviceSession::open();
    if (!dev) return 0;
    if (!code) return 0;  // a gain without a code is refused
    platform::RequestRecord rec{};
    rec.cardType = type;
    rec.divider = static_cast<int32_t>(freqCode & 0xFFFF);
    rec.samples = static_cast<int32_t>(n * mult);
    rec.gainCode = static_cast<uint16_t>(*code);
    rec.channel = (f.card.twoChannel && f.mode == -1) ? static_cast<int16_t>(-k) : k;
    if (!dev.request(platform::kSingleChannel, rec, raw, n * mult * 2)) return 0;
    driver::deliver_block(type, mult, n, raw, out, kind == Output::Words);
    return dev.close() ? 1 : 0;
}

int sim_block(const UnitFrame& f, uint32_t freqCode, uint32_t n, int32_t gain, int k, void* out, Output kind) {
    const uint32_t t0 = platform::current().tick_count();
    const uint32_t seed = sim::advance_seed();
    if (!sim::load_param_block(platform::Access::ReadOnly)) return 0;
    if (k < 0 || k >= sim::kEntries) return 0;  // the simulated source has 32 entries
    const sim::SimParamBlock& p = sim::private_copy();
    const sim::Form form = sim::form_of(f.type(), kind == Output::Words);
    // Blocks start at the tick count for sweeps, else at the seed offset;
    // 32-bit codes start at a whole number of milliseconds, except the
    // sources of a sum channel, which follow the usual rule.
    const bool whole = form == sim::Form::W32 && p.waveform[k] != sim::kSum;
    const sim::Timing t{whole ? sim::Timing::SeedWhole : sim::Timing::TickForSweeps, t0, seed, 0};
    const bool ok = sim::synth_block(p, k, t, sim::ExtraRule::Stored, freqCode, n, gain, form, out);
    if (!ok) return 0;
    sim::pace_block(t0, freqCode, n);
    return 1;
}

int one_channel(int cardType, uint32_t freqCode, uint32_t n, int gain, int channel, void* out, Output kind) {
    if (!out && n > 0) return 0;
    UnitFrame f(cardType);
    if (!f.ok()) return 0;
    // The low 16 bits of channel - 1, formed without overflow.
    const auto k = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(channel) - 1u));
    auto raw = raw_buffer(f, k, n, kind);
    if (!raw) return 0;
    if (is_simulated(f.type())) return sim_block(f, freqCode, n, gain, k, out, kind);
    if (f.type() == kSoundCard) {
        // A single channel of a continuous capture. No capture device is
        // driven yet, so the start fails; the capture is stopped as after
        // every failed start.
        sound::start_capture(freqCode, k == 0 ? 1 : -k);
        sound::stop_capture();
        return 0;
    }
    return driver_block(f, freqCode, n, gain, k, out, kind, raw->data());
}

}  // namespace

extern "C" {

KELMO_API int KELMO_CALL OneChSam(int cardType, uint32_t freqCode, uint32_t n, int gain, int channel, double* out) {
    return guarded(0, [&] { return one_channel(cardType, freqCode, n, gain, channel, out, Output::Values); });
}

KELMO_API int KELMO_CALL OneChSamEx(int cardType, uint32_t freqCode, uint32_t n, int gain, int channel, double* out) {
    return guarded(0, [&] { return one_channel(cardType, freqCode, n, gain, channel, out, Output::Values); });
}

KELMO_API int KELMO_CALL OneChSamW(int cardType, uint32_t freqCode, uint32_t n, int gain, int channel, void* out) {
    return guarded(0, [&] { return one_channel(cardType, freqCode, n, gain, channel, out, Output::Words); });
}

}  // extern "C"
