// The recording-input dialog on Windows. Not available yet: the caller is
// told so, and nothing is changed.
#include "platform/win32/win32.h"

namespace kelmo::platform::win32 {

int sound_input_dialog(SoundInputDialogModel&, std::string* why) {
    *why = "the dialog is not available";
    return 0;
}

}  // namespace kelmo::platform::win32
