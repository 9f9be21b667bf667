// The recording-input dialog: the test plays the user's part.
#include "platform/fake/fake_platform.h"

namespace kelmo::platform {

int FakePlatform::sound_input_dialog(SoundInputDialogModel& model, std::string* why) {
    if (dialog) return dialog(model);
    *why = "the fake shows no dialog";
    return 0;
}

}  // namespace kelmo::platform
