// One step of a waveform device (open, prepare, queue, start, pause...)
// that the system answered with `result`: on a refusal the library's own
// message is shown and the export's reason says which device refused what.
#pragma once

#include <cstdint>

#include "core/messages.h"
#include "core/reason.h"
#include "platform/platform.h"

namespace kelmo::sound {

inline bool device_step(uint32_t result, const char* device, const char* step, const char* message) {
    if (result == platform::kWaveOk) return true;
    if (result == platform::kWaveBadDevice)
        because("the system has no %s device (asked to %s, the system's sound code %u); connect one, or start the "
                "sound server, and try again", device, step, static_cast<unsigned>(result));
    else if (result == platform::kWaveBadHandle)
        because("no %s device is open, so there was nothing to %s; open one first", device, step);
    else
        because("the %s device refused to %s (the system's sound code %u); check that no other program holds it, "
                "and try again", device, step, static_cast<unsigned>(result));
    if (message) show_message(message);
    return false;
}

}  // namespace kelmo::sound
