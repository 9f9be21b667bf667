// The recording-input dialog's behaviour: which input the radio buttons
// stand for, the slider that shows and sets its volume, and Done.
#pragma once

#include "platform/platform.h"

namespace kelmo::sound {

class SoundInputDialog final : public platform::SoundInputDialogModel {
public:
    explicit SoundInputDialog(int inputType) : inputType_(inputType) {}
    int radio() const override { return inputType_; }
    bool refresh(int radio, uint32_t* minimum, uint32_t* maximum, uint32_t* position) override;
    void done(int radio, uint32_t position) override;
    // The input type after Done.
    int input_type() const { return inputType_; }

private:
    int inputType_;
};

// Shows the dialog and stores the chosen input; what SetSoundWaveIn does.
void set_sound_wave_in();

}  // namespace kelmo::sound
