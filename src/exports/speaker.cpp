// OpenSpeaker, TransSpeakerData, CloseSpeaker: playing a signal through
// the sound card.
#include "exports/guard.h"
#include "kelmo.h"
#include "sources/sound/speaker.h"

using namespace kelmo;

extern "C" {

KELMO_API int KELMO_CALL OpenSpeaker(double rate, int channels, int volume, double fullScale) {
    return guarded("OpenSpeaker", 0, [&] { return sound::open_speaker(rate, channels, volume, fullScale); });
}

KELMO_API int KELMO_CALL TransSpeakerData(int count, int start, int length, const double* left, const double* right) {
    return guarded("TransSpeakerData", 0, [&] { return sound::write_speaker(count, start, length, left, right); });
}

KELMO_API int KELMO_CALL CloseSpeaker(void) {
    return guarded("CloseSpeaker", 0, [] { return sound::close_speaker(); });
}

}  // extern "C"
