// The mixer through ALSA's simple-mixer interface on the "default" control
// device (the one that belongs to the default capture PCM), presented as
// the system's mixer lines:
//
// - one wave-in destination (component type 7) whose source lines are the
//   capture elements, in ALSA's order: an element named like a microphone
//   is a microphone line, one named like line in a line-in line, and so on;
//   where the device has one capture element only, it is the microphone;
// - where the device picks its recording input through an enumerated
//   capture element ("Input Source", "Capture Source"), its items are the
//   source lines instead, all sharing the capture volume;
// - each source line with a capture volume has a volume control scaled to
//   0 .. 65535; the destination has one multiplexer control that selects
//   the recording source: the enumeration's item, or the element's capture
//   switch (switched on; the others switched off only where ALSA groups
//   them as exclusive).
//
// Changes of the elements are told to the notification callback while the
// opening thread dispatches messages.
#include <alsa/asoundlib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/alsa_quiet.h"
#include "platform/posix/posix.h"

namespace kelmo::platform::posix {
namespace {

constexpr uint32_t kDestinationId = 0xFFFF0000;
constexpr uint32_t kSourceIdBase = 0x00010000;
constexpr uint32_t kMuxControlId = 0x10;
constexpr uint32_t kVolumeIdBase = 0x100;

std::string lower(const char* s) {
    std::string r(s ? s : "");
    for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

uint32_t component_of(const std::string& name) {
    if (name.find("mic") != std::string::npos) return kMixerSourceMicrophone;
    if (name.find("line") != std::string::npos) return kMixerSourceLine;
    if (name.find("cd") != std::string::npos) return kMixerSourceCompactDisc;
    if (name.find("aux") != std::string::npos) return kMixerSourceAuxiliary;
    if (name.find("iec958") != std::string::npos || name.find("digital") != std::string::npos ||
        name.find("spdif") != std::string::npos)
        return kMixerSourceDigital;
    return kMixerSourceUndefined;
}

// The capture channels an element has, in ALSA's channel order.
std::vector<snd_mixer_selem_channel_id_t> capture_channels(snd_mixer_elem_t* e) {
    std::vector<snd_mixer_selem_channel_id_t> r;
    for (int c = 0; c <= SND_MIXER_SCHN_LAST; ++c)
        if (snd_mixer_selem_has_capture_channel(e, static_cast<snd_mixer_selem_channel_id_t>(c)))
            r.push_back(static_cast<snd_mixer_selem_channel_id_t>(c));
    if (r.empty()) r.push_back(SND_MIXER_SCHN_MONO);
    return r;
}

class AlsaMixer;
// The mixers opened on this thread, whose events dispatch_messages hands on.
thread_local std::vector<AlsaMixer*> tOpenMixers;

class AlsaMixer final : public Mixer {
public:
    AlsaMixer(snd_mixer_t* h, MixerNotify notify) : h_(h), notify_(std::move(notify)) {
        for (snd_mixer_elem_t* e = snd_mixer_first_elem(h_); e; e = snd_mixer_elem_next(e)) {
            if (!snd_mixer_selem_is_active(e)) continue;
            if (snd_mixer_selem_is_enum_capture(e)) {
                if (!selector_) selector_ = e;
                continue;
            }
            if (snd_mixer_selem_has_capture_volume(e) || snd_mixer_selem_has_capture_switch(e)) elems_.push_back(e);
        }
        if (selector_) {
            const int n = snd_mixer_selem_get_enum_items(selector_);
            for (int i = 0; i < n; ++i) {
                char name[64] = {};
                snd_mixer_selem_get_enum_item_name(selector_, static_cast<unsigned>(i), sizeof name, name);
                sources_.push_back({name, component_of(lower(name)), volume_element()});
            }
        } else {
            for (snd_mixer_elem_t* e : elems_)
                sources_.push_back({snd_mixer_selem_get_name(e), component_of(lower(snd_mixer_selem_get_name(e))), e});
            if (sources_.size() == 1) sources_[0].component = kMixerSourceMicrophone;
        }
        for (snd_mixer_elem_t* e : elems_) {
            snd_mixer_elem_set_callback(e, &AlsaMixer::changed);
            snd_mixer_elem_set_callback_private(e, this);
        }
        tOpenMixers.push_back(this);
    }
    ~AlsaMixer() override { close(); }

    uint32_t line_by_component(uint32_t componentType, MixerLine* line) override {
        if (!h_) return kWaveBadHandle;
        if (componentType != kMixerWaveInDestination) return kMixerBadLine;
        *line = MixerLine{};
        line->id = kDestinationId;
        line->componentType = kMixerWaveInDestination;
        line->connections = static_cast<uint32_t>(sources_.size());
        line->controls = sources_.empty() ? 0 : 1;
        line->channels = 1;
        for (const Source& s : sources_)
            if (s.volume) line->channels = std::max<uint32_t>(line->channels, channel_count(s.volume));
        return kWaveOk;
    }

    uint32_t line_by_source(uint32_t destination, uint32_t source, MixerLine* line) override {
        if (!h_) return kWaveBadHandle;
        if (destination != 0 || source >= sources_.size()) return kMixerBadLine;
        const Source& s = sources_[source];
        *line = MixerLine{};
        line->destination = 0;
        line->source = source;
        line->id = kSourceIdBase + source;
        line->componentType = s.component;
        line->channels = s.volume ? channel_count(s.volume) : 1;
        line->controls = has_volume(s) ? 1 : 0;
        return kWaveOk;
    }

    uint32_t control_by_type(uint32_t lineId, uint32_t type, MixerControl* control) override {
        std::vector<MixerControl> all;
        if (const uint32_t r = controls(lineId, &all)) return r;
        for (const MixerControl& c : all)
            if (c.type == type) {
                *control = c;
                return kWaveOk;
            }
        return kMixerBadControl;
    }

    uint32_t controls(uint32_t lineId, std::vector<MixerControl>* out) override {
        if (!h_) return kWaveBadHandle;
        out->clear();
        if (lineId == kDestinationId) {
            if (!sources_.empty())
                out->push_back({kMuxControlId, kMixerMuxControl, kMixerControlUniform | kMixerControlMultiple,
                                static_cast<uint32_t>(sources_.size()), 0, 1, static_cast<uint32_t>(sources_.size())});
            return kWaveOk;
        }
        if (lineId < kSourceIdBase || lineId - kSourceIdBase >= sources_.size()) return kMixerBadLine;
        const uint32_t s = lineId - kSourceIdBase;
        if (has_volume(sources_[s])) {
            long lo = 0, hi = 0;
            snd_mixer_selem_get_capture_volume_range(sources_[s].volume, &lo, &hi);
            MixerControl c{kVolumeIdBase + s, kMixerVolumeControl, 0, 0, 0, 65535,
                           static_cast<uint32_t>(std::clamp<long>(hi - lo, 1, 65535))};
            if (snd_mixer_selem_has_capture_volume_joined(sources_[s].volume)) c.flags |= kMixerControlUniform;
            out->push_back(c);
        }
        return kWaveOk;
    }

    uint32_t get_details(uint32_t controlId, uint32_t channels, uint32_t items, uint32_t* values) override {
        if (!h_) return kWaveBadHandle;
        snd_mixer_handle_events(h_);
        if (controlId == kMuxControlId) {
            if (items != sources_.size() || channels == 0) return kMixerBadControl;
            for (uint32_t i = 0; i < items; ++i) {
                const uint32_t on = selected(i) ? 1 : 0;
                for (uint32_t c = 0; c < channels; ++c) values[c * items + i] = on;
            }
            return kWaveOk;
        }
        snd_mixer_elem_t* e = volume_of(controlId);
        if (!e) return kMixerBadControl;
        long lo = 0, hi = 0;
        snd_mixer_selem_get_capture_volume_range(e, &lo, &hi);
        const auto chans = capture_channels(e);
        for (uint32_t c = 0; c < channels; ++c) {
            long v = 0;
            if (snd_mixer_selem_get_capture_volume(e, chans[std::min<std::size_t>(c, chans.size() - 1)], &v) < 0)
                return kWaveError;
            values[c] = to_scale(v, lo, hi);
        }
        return kWaveOk;
    }

    uint32_t set_details(uint32_t controlId, uint32_t channels, uint32_t items, const uint32_t* values) override {
        if (!h_) return kWaveBadHandle;
        if (controlId == kMuxControlId) {
            if (items != sources_.size() || channels == 0) return kMixerBadControl;
            for (uint32_t i = 0; i < items; ++i)
                if (values[i]) return select(i);
            return kWaveOk;
        }
        snd_mixer_elem_t* e = volume_of(controlId);
        if (!e) return kMixerBadControl;
        long lo = 0, hi = 0;
        snd_mixer_selem_get_capture_volume_range(e, &lo, &hi);
        const auto chans = capture_channels(e);
        const uint32_t n = snd_mixer_selem_has_capture_volume_joined(e) ? 1 : std::min<uint32_t>(channels, static_cast<uint32_t>(chans.size()));
        for (uint32_t c = 0; c < n; ++c) {
            const long v = lo + std::lround(double(std::min<uint32_t>(values[c], 65535)) * double(hi - lo) / 65535.0);
            if (snd_mixer_selem_set_capture_volume(e, chans[c], v) < 0) return kWaveError;
        }
        return kWaveOk;
    }

    uint32_t close() override {
        if (!h_) return kWaveBadHandle;
        snd_mixer_close(h_);
        h_ = nullptr;
        tOpenMixers.erase(std::remove(tOpenMixers.begin(), tOpenMixers.end(), this), tOpenMixers.end());
        return kWaveOk;
    }

    void handle_events() {
        if (h_) snd_mixer_handle_events(h_);
    }

private:
    struct Source {
        std::string name;
        uint32_t component;
        snd_mixer_elem_t* volume;  // the element whose capture volume is the line's
    };

    static int changed(snd_mixer_elem_t* e, unsigned int mask) {
        auto* self = static_cast<AlsaMixer*>(snd_mixer_elem_get_callback_private(e));
        if (!self || !(mask & SND_CTL_EVENT_MASK_VALUE) || !self->notify_) return 0;
        for (std::size_t s = 0; s < self->sources_.size(); ++s)
            if (self->sources_[s].volume == e) self->notify_(kVolumeIdBase + static_cast<uint32_t>(s));
        return 0;
    }

    snd_mixer_elem_t* volume_element() const {
        for (snd_mixer_elem_t* e : elems_)
            if (snd_mixer_selem_has_capture_volume(e)) return e;
        return nullptr;
    }
    static bool has_volume(const Source& s) { return s.volume && snd_mixer_selem_has_capture_volume(s.volume); }
    static uint32_t channel_count(snd_mixer_elem_t* e) { return static_cast<uint32_t>(capture_channels(e).size()); }
    static uint32_t to_scale(long v, long lo, long hi) {
        if (hi <= lo) return 0;
        return static_cast<uint32_t>(std::lround(double(std::clamp(v, lo, hi) - lo) * 65535.0 / double(hi - lo)));
    }
    snd_mixer_elem_t* volume_of(uint32_t controlId) const {
        if (controlId < kVolumeIdBase || controlId - kVolumeIdBase >= sources_.size()) return nullptr;
        const Source& s = sources_[controlId - kVolumeIdBase];
        return has_volume(s) ? s.volume : nullptr;
    }
    bool selected(uint32_t i) const {
        if (selector_) {
            unsigned item = 0;
            return snd_mixer_selem_get_enum_item(selector_, SND_MIXER_SCHN_FRONT_LEFT, &item) >= 0 && item == i;
        }
        snd_mixer_elem_t* e = sources_[i].volume;
        int on = 1;
        if (e && snd_mixer_selem_has_capture_switch(e)) snd_mixer_selem_get_capture_switch(e, SND_MIXER_SCHN_FRONT_LEFT, &on);
        return on != 0;
    }
    uint32_t select(uint32_t i) {
        if (selector_) return snd_mixer_selem_set_enum_item(selector_, SND_MIXER_SCHN_FRONT_LEFT, i) < 0 ? kWaveError : kWaveOk;
        snd_mixer_elem_t* e = sources_[i].volume;
        if (!e || !snd_mixer_selem_has_capture_switch(e)) return kWaveOk;
        if (snd_mixer_selem_set_capture_switch_all(e, 1) < 0) return kWaveError;
        if (snd_mixer_selem_has_capture_switch_exclusive(e)) {
            const int group = snd_mixer_selem_get_capture_group(e);
            for (snd_mixer_elem_t* o : elems_)
                if (o != e && snd_mixer_selem_has_capture_switch_exclusive(o) && snd_mixer_selem_get_capture_group(o) == group)
                    snd_mixer_selem_set_capture_switch_all(o, 0);
        }
        return kWaveOk;
    }

    snd_mixer_t* h_;
    MixerNotify notify_;
    std::vector<snd_mixer_elem_t*> elems_;
    snd_mixer_elem_t* selector_ = nullptr;
    std::vector<Source> sources_;
};

// The simple mixer of ALSA's "default" control device, loaded; nullptr when
// there is none.
snd_mixer_t* open_default_mixer() {
    snd_mixer_t* h = nullptr;
    const AlsaCall call;
    if (snd_mixer_open(&h, 0) < 0) return nullptr;
    if (snd_mixer_attach(h, "default") < 0 || snd_mixer_selem_register(h, nullptr, nullptr) < 0 ||
        snd_mixer_load(h) < 0) {
        snd_mixer_close(h);
        return nullptr;
    }
    return h;
}

}  // namespace

namespace {
class PosixMixers final : public Mixers {
public:
    uint32_t mixer_count() override;
    uint32_t mixer_of(WaveIn& device, uint32_t* mixerId) override;
    uint32_t mixer_open(uint32_t id, MixerNotify notify, MixerPtr* out) override;
};
}  // namespace

uint32_t PosixMixers::mixer_count() {
    snd_mixer_t* h = open_default_mixer();
    if (!h) return 0;
    snd_mixer_close(h);
    return 1;
}

uint32_t PosixMixers::mixer_of(WaveIn&, uint32_t* mixerId) {
    // Every capture device here is ALSA's default PCM, whose mixer is the
    // default control device.
    *mixerId = 0;
    return kWaveOk;
}

uint32_t PosixMixers::mixer_open(uint32_t id, MixerNotify notify, MixerPtr* out) {
    if (id != 0) return kWaveBadDevice;
    snd_mixer_t* h = open_default_mixer();
    if (!h) return kWaveBadDevice;
    *out = std::make_unique<AlsaMixer>(h, std::move(notify));
    return kWaveOk;
}

void dispatch_mixer_events() {
    const std::vector<AlsaMixer*> open = tOpenMixers;  // a callback may close one
    for (AlsaMixer* m : open)
        if (std::find(tOpenMixers.begin(), tOpenMixers.end(), m) != tOpenMixers.end()) m->handle_events();
}

Mixers& mixers() {
    static PosixMixers instance;
    return instance;
}

}  // namespace kelmo::platform::posix
