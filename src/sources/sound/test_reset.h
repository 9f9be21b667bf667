// The sound card's process-wide state, let go between unit tests.
#pragma once

#include "sources/sound/capture.h"
#include "sources/sound/speaker.h"

namespace kelmo::sound {

// Closes the capture and the playback the process holds, quietly, and
// gives their buffers back, through the platform that opened them (which
// must still be alive); the next capture or playback starts from nothing.
inline void reset_process_sound_for_tests() {
    reset_capture_for_tests();
    reset_speaker_for_tests();
}

}  // namespace kelmo::sound
