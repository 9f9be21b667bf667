// Acquisitions from the sound card. Blocks run a continuous capture of
// their own; the Ex variants are not the sound card's and go to the driver
// like any card.
#include "sources/sound/sound_source.h"

#include <cstring>

#include "core/catalogue.h"
#include "core/messages.h"
#include "core/presamp.h"
#include "core/share_block.h"
#include "sources/driver/driver_source.h"
#include "sources/sound/capture.h"

namespace kelmo::sound {

int SoundSource::single_block(const SingleBlock& r) {
    // A single channel of a continuous capture. No capture device is
    // driven yet, so the start fails; the capture is stopped as after
    // every failed start.
    start_capture(r.freqCode, r.channel == 0 ? 1 : -r.channel);
    stop_capture();
    return 0;
}

int SoundSource::multi_block(const MultiBlock& r) {
    if (r.ex()) return driver::driver_source().multi_block(r);
    // No capture device is driven yet: the start fails and the capture is
    // stopped as after every failed start.
    start_capture(static_cast<uint32_t>(r.freqCode), r.span.first * 256 + r.span.count);
    stop_capture();
    return 0;
}

int SoundSource::start(const ContinuousStart& r) {
    if (r.ex) return driver::driver_source().start(r);
    return start_capture(static_cast<uint32_t>(r.freqCode), r.span.count) ? 1 : 0;
}

// No capture runs, so no fetch can be served.
int SoundSource::fetch(const ContinuousFetch&) { return 0; }

void SoundSource::stop(uint32_t*, int32_t) { stop_capture(); }

Divider SoundSource::choose_divider(double frequency) {
    // The capture device is not asked yet: go on without format flags.
    show_message(msg::kWaveInCapsError);
    const SoundDivider s = sound_divider(frequency, frequency);
    return {s.freqCode, s.actual};
}

int SoundSource::check(char* text, int* status) {
    // No wave-input device is driven yet.
    *status = 1;
    std::strcpy(text, msg::kSoundCardNotWorking);
    return 0;
}

void SoundSource::refine_row(LiveRow& row) {
    // The capability query of the capture device is not available: report
    // it as failed and go on with no format flags.
    show_message(msg::kWaveInCapsError);
    const catalogue::SoundCaps caps = catalogue::sound_caps(0);
    row.channels = caps.channels;
    row.highFreq = caps.highFreq;
    row.fullScale = catalogue::sound_full_scale(process_state().soundInputGain);
}

std::optional<ExtendedRow> SoundSource::extended_row(int32_t type) {
    const catalogue::Row* row = catalogue::find_row(type);
    if (!row) return std::nullopt;
    return ExtendedRow{2,       2,      0, 0, 2, 44100.0, 8000.0, catalogue::sound_full_scale(process_state().soundInputGain),
                       row->gains, catalogue::frequencies(row->freqs, 0)};
}

Source& sound_source() {
    static SoundSource source;
    return source;
}

}  // namespace kelmo::sound
