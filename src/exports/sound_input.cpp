// SetSoundWaveIn: the user chooses the sound card's recording input.
#include "exports/guard.h"
#include "kelmo.h"
#include "sources/sound/input_dialog.h"

extern "C" KELMO_API void KELMO_CALL SetSoundWaveIn(void) {
    kelmo::guarded_void("SetSoundWaveIn", [] { kelmo::sound::set_sound_wave_in(); });
}
