#include "sources/sound/input_volume.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace kelmo::sound {

InputVolumeControl* currentInputVolume = nullptr;

namespace {

// The format the mixer of the default capture device is found with.
constexpr platform::WaveFormat kMapperFormat{1, 22050, 16, 2, 44100};

// The mixer id of the default capture device; the failing step otherwise.
SearchStep mixer_of_default(uint32_t* id, uint32_t* result) {
    auto& p = platform::current();
    platform::WaveInPtr in;
    *result = p.wave_in.wave_in_open(platform::kWaveMapper, kMapperFormat, &in);
    if (*result != platform::kWaveOk) return SearchStep::MapperOpen;
    *result = p.mixer.mixer_of(*in, id);
    in->close();
    return *result == platform::kWaveOk ? SearchStep::Found : SearchStep::MapperMixer;
}

}  // namespace

int32_t stored_input_type() {
    const auto text = platform::current().settings.user_setting_text(kInputTypeKey, kInputTypeName);
    if (!text) return 0;
    const char* s = text->c_str();
    while (std::isspace(static_cast<unsigned char>(*s))) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    int64_t v = 0;
    for (; std::isdigit(static_cast<unsigned char>(*s)); ++s) v = std::min<int64_t>(v * 10 + (*s - '0'), int64_t{1} << 32);
    v = negative ? -v : v;
    return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

bool store_input_type(int32_t type) {
    return platform::current().settings.set_user_setting_text(kInputTypeKey, kInputTypeName, std::to_string(type));
}

uint32_t component_for_input(int32_t inputType) {
    if (inputType == 0) return platform::kMixerSourceMicrophone;
    if (inputType == 1) return platform::kMixerSourceLine;
    return static_cast<uint32_t>(inputType);
}

SourceSearch find_recording_source(uint32_t component) {
    SourceSearch r;
    uint32_t id = 0;
    r.step = mixer_of_default(&id, &r.result);
    if (r.step != SearchStep::Found) return r;
    platform::MixerPtr mixer;
    r.result = platform::current().mixer.mixer_open(id, {}, &mixer);
    if (r.result != platform::kWaveOk) {
        r.step = SearchStep::MixerOpen;
        return r;
    }
    platform::MixerLine destination;
    r.result = mixer->line_by_component(platform::kMixerWaveInDestination, &destination);
    if (r.result != platform::kWaveOk) {
        r.step = SearchStep::Destination;
        return r;
    }
    for (uint32_t s = 0; s < destination.connections; ++s) {
        platform::MixerLine line;
        r.result = mixer->line_by_source(destination.destination, s, &line);
        if (r.result != platform::kWaveOk) {
            r.step = SearchStep::SourceLine;
            return r;
        }
        if (line.componentType == component) {
            r.index = s;
            break;
        }
    }
    r.result = platform::kWaveOk;
    return r;
}

InputVolumeControl::InputVolumeControl(uint32_t sourceIndex) {
    if (!open()) return;
    currentInputVolume = this;
    if (!bind(sourceIndex)) {
        close();
        currentInputVolume = nullptr;
    }
}

InputVolumeControl::~InputVolumeControl() {
    close();
    if (currentInputVolume == this) currentInputVolume = nullptr;
}

bool InputVolumeControl::open() {
    auto& p = platform::current();
    if (p.mixer.mixer_count() == 0) return false;
    uint32_t result = 0;
    if (mixer_of_default(&mixerId_, &result) != SearchStep::Found) return false;
    // The mixer tells its changes to whichever object is current.
    auto notify = [](uint32_t control) {
        if (currentInputVolume) currentInputVolume->control_changed(control);
    };
    if (p.mixer.mixer_open(mixerId_, notify, &mixer_) != platform::kWaveOk) return false;
    opened_ = true;
    return true;
}

bool InputVolumeControl::bind(uint32_t sourceIndex) {
    if (!opened_) return false;
    platform::MixerLine destination, source;
    if (mixer_->line_by_component(platform::kMixerWaveInDestination, &destination) != platform::kWaveOk) return false;
    if (sourceIndex >= destination.connections) return false;
    if (mixer_->line_by_source(destination.destination, sourceIndex, &source) != platform::kWaveOk) return false;
    platform::MixerControl volume;
    if (mixer_->control_by_type(source.id, platform::kMixerVolumeControl, &volume) == platform::kWaveOk) {
        available_ = (volume.flags & platform::kMixerControlDisabled) == 0;
        volumeId_ = volume.id;
        minimum_ = volume.minimum;
        maximum_ = volume.maximum;
        steps_ = volume.steps;
    }
    sourceIndex_ = sourceIndex;
    lineId_ = source.id;
    channels_ = source.channels ? source.channels : 1;
    bound_ = true;
    return true;
}

void InputVolumeControl::SelectAsRecordingSource() {
    if (!bound_) return;
    platform::MixerLine destination;
    if (mixer_->line_by_component(platform::kMixerWaveInDestination, &destination) != platform::kWaveOk) return;
    std::vector<platform::MixerControl> controls;
    if (mixer_->controls(destination.id, &controls) != platform::kWaveOk) return;
    for (const platform::MixerControl& c : controls) {
        if (!(c.type & platform::kMixerBooleanUnits)) continue;
        const uint32_t channels = (c.flags & platform::kMixerControlUniform) ? 1 : destination.channels;
        std::vector<uint32_t> values;
        uint32_t items = 0;
        if (c.flags & platform::kMixerControlMultiple) {
            // Item i of every channel: 1 for the bound source line only.
            items = c.items;
            values.assign(std::size_t(channels) * items, 0);
            for (uint32_t ch = 0; ch < channels; ++ch)
                for (uint32_t i = 0; i < items; ++i) values[std::size_t(ch) * items + i] = i == sourceIndex_ ? 1 : 0;
        } else {
            values.assign(channels, 1);
        }
        if (!values.empty()) mixer_->set_details(c.id, channels, items, values.data());
    }
}

uint32_t InputVolumeControl::GetValue() {
    if (!available_) return kNone;
    std::vector<uint32_t> values(channels_);
    if (mixer_->get_details(volumeId_, channels_, 0, values.data()) != platform::kWaveOk) return kNone;
    return values[0];
}

void InputVolumeControl::SetValue(uint32_t value) {
    if (!available_ || value < minimum_ || value > maximum_) return;
    const std::vector<uint32_t> values(channels_, value);
    mixer_->set_details(volumeId_, channels_, 0, values.data());
}

void InputVolumeControl::close() {
    if (mixer_) mixer_->close();
    mixer_.reset();
    opened_ = false;
    bound_ = false;
    available_ = false;
}

void InputVolumeControl::control_changed(uint32_t controlId) {
    if (controlId != volumeId_ || !notify_) return;
    const uint32_t v = GetValue();
    if (v != kNone) notify_(v, notifyUser_);
}

double input_gain(uint32_t volume, uint32_t steps) {
    const double level = 13.333333333333332 * std::log10(65535.0 / (double(volume) + 0.3)) + 0.5;
    auto n = static_cast<uint32_t>(static_cast<int32_t>(level));
    if (n >= steps) n = steps;
    return std::pow(10.0, double(n) * 0.075);
}

}  // namespace kelmo::sound
