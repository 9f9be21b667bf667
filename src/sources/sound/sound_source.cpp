// Acquisitions from the sound card. Blocks run a continuous capture of
// their own. (The Ex variants are not the sound card's: its card type
// sends them to the driver like any card.)
#include "sources/sound/sound_source.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "core/catalogue.h"
#include "core/messages.h"
#include "core/reason.h"
#include "platform/platform.h"
#include "sources/sound/capture.h"
#include "sources/sound/caps.h"
#include "sources/offer.h"
#include "sources/sound/input_volume.h"
#include "sources/sound/state.h"

namespace kelmo::sound {

State& process_state() {
    static State s;
    return s;
}

namespace {

constexpr int32_t kBlock = 1024;

// The block exports' own continuous capture: blocks of 1024 samples per
// channel until `total` raw samples are in, every mult-th delivered to
// channel c's output at out[c x len ...]. The capture is always stopped.
template <class T>
int capture_block(const UnitFrame& f, uint32_t freqCode, int32_t channelArg, int32_t nch, uint32_t len,
                  uint32_t mult, Delivery delivery, void* out) {
    const ChannelSpan span = unpack_channels(channelArg);
    const auto lock = lock_capture();  // the whole block is this thread's
    struct Stop {
        ~Stop() { stop_capture(); }
    } stop;
    if (!start_capture(freqCode, span.count)) return 0;
    std::vector<T> transfer(std::size_t(nch) * kBlock);
    const uint64_t total = uint64_t{mult} * len;
    int status = 0;
    for (uint64_t pos = 0; pos < total; pos += kBlock) {
        const ContinuousFetch q{f, nullptr, kBlock, nch, kBlock, 0, &status, true, delivery, transfer.data()};
        if (!fetch_capture(q)) return 0;
        const uint64_t p = pos / mult;
        const uint64_t count = total - pos < kBlock ? len - p : kBlock / mult;
        for (int32_t c = 0; c < nch; ++c)
            for (uint64_t i = 0; i < count; ++i)
                static_cast<T*>(out)[std::size_t(c) * len + p + i] = transfer[std::size_t(c) * kBlock + i * mult];
    }
    return 1;
}

}  // namespace

int SoundSource::single_block(const SingleBlock& r) {
    // One channel: 1 for the first, else the single channel -k.
    const int32_t channels = r.channel == 0 ? 1 : -r.channel;
    const uint32_t mult = r.frame.single_mult();
    if (r.delivery == Delivery::Words)
        return capture_block<int16_t>(r.frame, r.freqCode, channels, 1, r.n, mult, r.delivery, r.out);
    return capture_block<double>(r.frame, r.freqCode, channels, 1, r.n, mult, r.delivery, r.out);
}

int SoundSource::multi_block(const MultiBlock& r) {
    const int32_t packed = r.span.first * 256 + r.span.count;
    const auto freqCode = static_cast<uint32_t>(r.freqCode);
    const auto len = static_cast<uint32_t>(r.len);
    if (r.words())
        return capture_block<int16_t>(r.frame, freqCode, packed, r.span.count, len, r.mult, Delivery::Words, r.out);
    return capture_block<double>(r.frame, freqCode, packed, r.span.count, len, r.mult, Delivery::Values, r.out);
}

int SoundSource::start(const ContinuousStart& r) {
    return start_capture(static_cast<uint32_t>(r.freqCode), r.span.count) ? 1 : 0;
}

int SoundSource::fetch(const ContinuousFetch& q) { return fetch_capture(q); }

void SoundSource::stop(uint32_t*, int32_t) { stop_capture(); }

namespace {

// The standard format flags of the first capture device; 0 (after the
// message) when it cannot be asked.
// Why the first capture device cannot be asked, in words.
void no_capture_device(uint32_t result) {
    because("no sound capture device answers (the system's sound code %u); connect one, or start the sound "
            "server (PulseAudio), and try again",
            static_cast<unsigned>(result));
}

uint32_t capture_formats() {
    uint32_t formats = 0;
    if (const uint32_t r = platform::current().wave_in.wave_in_caps(0, &formats); r != platform::kWaveOk) {
        no_capture_device(r);
        show_message(msg::kWaveInCapsError);
        formats = 0;
    }
    return formats;
}

}  // namespace

Divider SoundSource::choose_divider(double frequency) {
    // The highest standard rate the device offers; without one, the
    // request itself.
    const uint32_t formats = capture_formats();
    const double highest = highest_standard_rate(formats, frequency);
    const SoundDivider s = sound_divider(frequency, highest);
    return {s.freqCode, s.actual};
}

int SoundSource::check(char* text, int* status) {
    uint32_t formats = 0;
    if (const uint32_t r = platform::current().wave_in.wave_in_caps(0, &formats); r != platform::kWaveOk) {
        no_capture_device(r);
        *status = 1;
        std::strcpy(text, msg::kSoundCardNotWorking);
        return 0;
    }
    // The recording input the user chose, on the default device's mixer.
    const SourceSearch found = find_recording_source(component_for_input(stored_input_type()));
    const char* failure = nullptr;
    const char* step = nullptr;
    switch (found.step) {
        case SearchStep::Found: break;
        case SearchStep::MapperOpen: failure = msg::kMapperOpenFailed, step = "the wave mapper cannot be opened"; break;
        case SearchStep::MapperMixer: failure = msg::kMapperNoMixer, step = "the wave mapper has no mixer"; break;
        case SearchStep::MixerOpen: failure = msg::kMixerOpenFailed, step = "the mixer cannot be opened"; break;
        case SearchStep::Destination:
            failure = msg::kNoWaveInDestination, step = "the mixer has no recording destination";
            break;
        case SearchStep::SourceLine: failure = msg::kSourceLineFailed, step = "a source line cannot be read"; break;
    }
    if (failure) {
        because("the recording input cannot be set on the capture device's mixer: %s (result %d); choose another "
                "capture device", step, static_cast<int>(found.result));
        std::snprintf(text, kCheckTextBytes, failure, static_cast<int>(found.result));
        return 0;
    }
    InputVolumeControl input(found.index);
    if (!input.IsAvailable()) show_message(msg::kVolumeNotAdjustable);
    input.SelectAsRecordingSource();
    const uint32_t volume = input.GetValue();
    const uint32_t steps = input.GetSteps();
    // A volume that cannot be read leaves the samples unscaled.
    process_state().inputGain = volume == 0xFFFFFFFF ? 1.0 : input_gain(volume, steps);
    return 1;
}

void SoundSource::refine_row(LiveRow& row) {
    const SoundCaps caps = sound_caps(capture_formats());
    row.channels = caps.channels;
    row.highFreq = caps.highFreq;
    row.fullScale = sound_full_scale(process_state().inputGain);
}

std::optional<ExtendedRow> SoundSource::extended_row(int32_t type) {
    const catalogue::Row* row = catalogue::find_row(type);
    if (!row) return std::nullopt;
    return ExtendedRow{2,       2,      0, 0, 2, 44100.0, 8000.0, sound_full_scale(process_state().inputGain),
                       row->gains, catalogue::frequencies(row->freqs, 0)};
}

bool SoundSource::refine_offer(Offer& o) {
    uint32_t formats = 0;
    if (const uint32_t r = platform::current().wave_in.wave_in_caps(0, &formats); r != platform::kWaveOk) {
        no_capture_device(r);
        return false;
    }
    const SoundCaps caps = sound_caps(formats);
    o.channels = caps.channels;
    o.highest = caps.highFreq;
    return true;
}

Divider SoundSource::offered_divider(const Offer& o, double rate) {
    const SoundDivider s = sound_divider(rate, o.highest);
    return {s.freqCode, s.actual};
}

int32_t SoundSource::most_block_samples() const { return most_capture_block(); }

double SoundSource::conversion_gain() const { return process_state().inputGain; }

Source& sound_source() {
    static SoundSource source;
    return source;
}

}  // namespace kelmo::sound
