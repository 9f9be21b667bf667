// What the sound card keeps between calls, once per process, besides its
// capture and playback.
#pragma once

namespace kelmo::sound {

struct State {
    // The recording input's gain as the presence check read it from the
    // mixer; it scales every conversion of the sound card's words.
    double inputGain = 0.0;
};
// Not guarded: the values are as a host's calls leave them.
State& process_state();

}  // namespace kelmo::sound
