// The recording input of the sound card: which source line of the
// wave-in mixer feeds it (microphone or line in), and that line's volume.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace kelmo::sound {

// The registry value that holds the chosen recording input (0 microphone,
// 1 line in, anything else a raw component type).
inline constexpr const char* kInputTypeKey = "software\\KELMO\\vort\\settings";
inline constexpr const char* kInputTypeName = "InputType";

// The stored input type: the decimal number at the start of the text
// (white space and a sign allowed), 0 when it is missing.
int32_t stored_input_type();
// Stores it as its decimal text; false when it cannot be written.
bool store_input_type(int32_t type);

// The mixer component type an input type stands for.
uint32_t component_for_input(int32_t inputType);

// Where the search for a recording source line stopped.
enum class SearchStep { Found, MapperOpen, MapperMixer, MixerOpen, Destination, SourceLine };
struct SourceSearch {
    SearchStep step = SearchStep::Found;
    uint32_t result = 0;  // the failing call's code
    uint32_t index = 0xFFFFFFFF;  // the first source line of the type; -1 when none
};
// Finds, on the mixer of the default capture device, the first source line
// of the wave-in destination whose component type is `component`.
SourceSearch find_recording_source(uint32_t component);

// One source line of the wave-in destination of the default capture
// device's mixer, and its volume control. Made for one use: construct,
// IsAvailable, SelectAsRecordingSource, then read or set the volume.
class InputVolumeControl {
public:
    using Notify = void (*)(uint32_t value, uint32_t user);

    explicit InputVolumeControl(uint32_t sourceIndex);
    ~InputVolumeControl();
    InputVolumeControl(const InputVolumeControl&) = delete;
    InputVolumeControl& operator=(const InputVolumeControl&) = delete;

    bool IsAvailable() const { return available_; }
    void SelectAsRecordingSource();
    void Reserved() {}
    uint32_t GetSteps() const { return available_ ? steps_ : kNone; }
    uint32_t GetMinimum() const { return available_ ? minimum_ : kNone; }
    uint32_t GetMaximum() const { return available_ ? maximum_ : kNone; }
    uint32_t GetValue();
    void SetValue(uint32_t value);
    void SetNotify(Notify callback, uint32_t user) {
        notify_ = callback;
        notifyUser_ = user;
    }
    void close();

    // A control of the mixer changed (the mixer's notification).
    void control_changed(uint32_t controlId);

private:
    static constexpr uint32_t kNone = 0xFFFFFFFF;
    bool open();
    bool bind(uint32_t sourceIndex);

    bool opened_ = false, bound_ = false, available_ = false;
    uint32_t mixerId_ = 0;
    platform::MixerPtr mixer_;
    uint32_t lineId_ = 0, volumeId_ = 0, channels_ = 0, sourceIndex_ = 0;
    uint32_t minimum_ = kNone, maximum_ = kNone, steps_ = 0;
    Notify notify_ = nullptr;
    uint32_t notifyUser_ = 0;
};

// The object whose notifications are live: the last one opened.
extern InputVolumeControl* currentInputVolume;

// The sound-card input gain for a volume v on a control of S steps: the
// attenuation below full scale in 1.5 dB steps, undone.
double input_gain(uint32_t volume, uint32_t steps);

}  // namespace kelmo::sound
