// The recording-input dialog on Linux. Not available yet: the caller is
// told so, and nothing is changed.
#include "platform/posix/posix.h"

namespace kelmo::platform::posix {

int sound_input_dialog(SoundInputDialogModel&, std::string* why) {
    *why = "no dialog toolkit is available";
    return 0;
}

}  // namespace kelmo::platform::posix
