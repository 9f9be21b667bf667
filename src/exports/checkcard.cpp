// Checkcard: prepares a source and says in words what is wrong with it.
#include <cstring>

#include "core/card_type.h"
#include "core/messages.h"
#include "core/share_block.h"
#include "exports/guard.h"
#include "kelmo.h"
#include "sources/sim/param_block.h"

using namespace kelmo;

namespace {

constexpr const char* kSignalSourceProgram = "GENWAVE";

int check(int cardType, char* text, int* status) {
    if (!text || !status) return 0;
    const UnitCode u = unit_code(cardType);
    keep_share_block(u.secondUnit);  // the unit's block lives from now on

    if (is_simulated(u.type)) {
        process_state().randomSeed = 100;
        // The signal-source program publishes the parameter block; start it
        // when the block is missing, without waiting for it.
        if (!platform::current().shm_open_existing(sim::kParamBlockName, sim::kParamBlockBytes,
                                                   platform::Access::ReadOnly))
            platform::current().start_program(kSignalSourceProgram);
    } else if (u.type == kSoundCard) {
        // No wave-input device is driven yet.
        *status = 1;
        std::strcpy(text, msg::kSoundCardNotWorking);
        return 0;
    }
    text[0] = '\0';
    *status = 0;
    return 1;
}

}  // namespace

extern "C" KELMO_API int KELMO_CALL Checkcard(int cardType, char* text, int* status) {
    return guarded(0, [&] { return check(cardType, text, status); });
}
