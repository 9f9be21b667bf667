// The fake mixer.
#include "platform/fake/fake_platform.h"

namespace kelmo::platform {
namespace {

class FakeMixer final : public Mixer {
public:
    explicit FakeMixer(FakePlatform& owner) : owner_(owner), m_(owner.mixer) { ++m_.open; }
    ~FakeMixer() override { close(); }
    uint32_t line_by_component(uint32_t componentType, MixerLine* line) override {
        m_.calls.push_back("destination");
        if (m_.destinationResult) return m_.destinationResult;
        if (owner_.injected()) return kWaveError;
        if (componentType != kMixerWaveInDestination) return kMixerBadLine;
        *line = MixerLine{0, 0, 0xFFFF0000, kMixerWaveInDestination, m_.destinationChannels,
                          static_cast<uint32_t>(m_.sources.size()), m_.mux ? 1u : 0u};
        return 0;
    }
    uint32_t line_by_source(uint32_t destination, uint32_t source, MixerLine* line) override {
        m_.calls.push_back("source" + std::to_string(source));
        if (destination != 0 || source >= m_.sources.size()) return kMixerBadLine;
        const auto& s = m_.sources[source];
        if (s.lineResult) return s.lineResult;
        if (owner_.injected()) return kWaveError;
        *line = MixerLine{0, source, 0x10000 + source, s.component, s.channels, 0, s.volume ? 1u : 0u};
        return 0;
    }
    uint32_t control_by_type(uint32_t lineId, uint32_t type, MixerControl* control) override {
        m_.calls.push_back("control");
        if (auto r = fails("control")) return r;
        const uint32_t s = lineId - 0x10000;
        if (s >= m_.sources.size() || type != kMixerVolumeControl || !m_.sources[s].volume) return kMixerBadControl;
        const auto& src = m_.sources[s];
        *control = MixerControl{0x100 + s, kMixerVolumeControl, src.flags, 0, src.minimum, src.maximum, src.steps};
        return 0;
    }
    uint32_t controls(uint32_t lineId, std::vector<MixerControl>* out) override {
        m_.calls.push_back("controls");
        if (auto r = fails("controls")) return r;
        out->clear();
        if (lineId != 0xFFFF0000) return kMixerBadLine;
        if (m_.mux)
            out->push_back(MixerControl{0x10, kMixerMuxControl, m_.muxFlags, static_cast<uint32_t>(m_.sources.size()), 0, 1,
                                        static_cast<uint32_t>(m_.sources.size())});
        return 0;
    }
    uint32_t get_details(uint32_t controlId, uint32_t channels, uint32_t items, uint32_t* values) override {
        m_.calls.push_back("get");
        if (auto r = fails("get")) return r;
        const uint32_t s = controlId - 0x100;
        if (items != 0 || s >= m_.sources.size() || channels > m_.sources[s].value.size()) return kMixerBadControl;
        for (uint32_t c = 0; c < channels; ++c) values[c] = m_.sources[s].value[c];
        return 0;
    }
    uint32_t set_details(uint32_t controlId, uint32_t channels, uint32_t items, const uint32_t* values) override {
        m_.calls.push_back("set");
        if (auto r = fails("set")) return r;
        if (controlId == 0x10) {
            m_.muxValues.assign(values, values + std::size_t(channels) * (items ? items : 1));
            return 0;
        }
        const uint32_t s = controlId - 0x100;
        if (items != 0 || s >= m_.sources.size() || channels > m_.sources[s].value.size()) return kMixerBadControl;
        for (uint32_t c = 0; c < channels; ++c) m_.sources[s].value[c] = values[c];
        return 0;
    }
    uint32_t close() override {
        if (closed_) return kWaveBadHandle;
        closed_ = true;
        --m_.open;
        m_.calls.push_back("close");
        return 0;
    }

private:
    uint32_t fails(const char* step) const {
        const auto it = m_.fail.find(step);
        if (it != m_.fail.end() && it->second) return it->second;
        return owner_.injected() ? uint32_t{kWaveError} : 0u;
    }
    FakePlatform& owner_;
    FakePlatform::MixerFake& m_;
    bool closed_ = false;
};

}  // namespace

uint32_t FakePlatform::mixer_of(WaveIn&, uint32_t* mixerId) {
    mixer.calls.push_back("id");
    if (mixer.idResult) return mixer.idResult;
    if (injected()) return kWaveError;
    *mixerId = 0;
    return 0;
}

uint32_t FakePlatform::mixer_open(uint32_t id, MixerNotify notify, MixerPtr* out) {
    mixer.calls.push_back("open");
    if (mixer.openResult) return mixer.openResult;
    if (injected()) return kWaveError;
    if (id != 0) return kWaveBadDevice;
    ++mixer.opens;
    mixer.notify = std::move(notify);
    *out = std::make_unique<FakeMixer>(*this);
    return 0;
}

}  // namespace kelmo::platform
