// No capture device is driven yet: a start fails the way it fails on a
// machine without one, and stopping reports that nothing is open.
#include "sources/sound/capture.h"

#include "core/messages.h"

namespace kelmo::sound {

bool start_capture(uint32_t, int32_t) {
    show_message(msg::kSoundFormatUnsupported);
    return false;
}

void stop_capture() {
    show_message(msg::kWaveInStopError);
    show_message(msg::kWaveInResetError);
    show_message(msg::kWaveInCloseError);
    show_message(msg::kReleaseMemoryFailed);
}

}  // namespace kelmo::sound
