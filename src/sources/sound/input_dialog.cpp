#include "sources/sound/input_dialog.h"

#include <string>

#include "core/messages.h"
#include "sources/sound/input_volume.h"

namespace kelmo::sound {
namespace {

// The source line a radio index stands for (the first microphone or line-in
// line; a stored number other than 0 or 1 is taken as a component type);
// -1 when there is none or the mixer cannot be asked.
uint32_t source_index_for(int radio) {
    const SourceSearch found = find_recording_source(component_for_input(radio));
    return found.step == SearchStep::Found ? found.index : 0xFFFFFFFF;
}

}  // namespace

bool SoundInputDialog::refresh(int radio, uint32_t* minimum, uint32_t* maximum, uint32_t* position) {
    const SourceSearch found = find_recording_source(component_for_input(radio));
    if (found.step != SearchStep::Found) return false;
    InputVolumeControl input(found.index);
    if (!input.IsAvailable()) {
        show_message(msg::kVolumeNotAdjustable);
        return false;
    }
    input.SelectAsRecordingSource();
    *minimum = input.GetMinimum() == 0 ? 1 : input.GetMinimum();
    *maximum = input.GetMaximum();
    *position = input.GetValue();
    return true;
}

void SoundInputDialog::done(int radio, uint32_t position) {
    inputType_ = radio;
    InputVolumeControl input(source_index_for(radio));
    if (!input.IsAvailable()) {
        show_message(msg::kVolumeNotAdjustable);
        return;
    }
    input.SelectAsRecordingSource();
    input.SetValue(position);
}

void set_sound_wave_in() {
    const int before = stored_input_type();
    SoundInputDialog dialog(before);
    std::string why;
    const int shown = platform::current().sound_dialog.sound_input_dialog(dialog, &why);
    if (shown == 0) {
        // No dialog here: say so, and leave the stored choice alone.
        console_printf("SetSoundWaveIn: the recording-input dialog cannot be shown (%s); InputType stays %d\n",
                       why.c_str(), before);
        return;
    }
    if (!store_input_type(shown == 1 ? dialog.input_type() : before)) show_message(msg::kWriteValueError);
}

}  // namespace kelmo::sound
