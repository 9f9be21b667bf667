// Checkcard: prepares a source and says in words what is wrong with it.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/card_type.h"
#include "core/messages.h"
#include "core/share_block.h"
#include "exports/guard.h"
#include "kelmo.h"
#include "sources/sim/param_block.h"

using namespace kelmo;

namespace {

constexpr const char* kSignalSourceProgram = "GENWAVE";
constexpr std::size_t kTextBytes = 131;       // the caller's text holds this much
constexpr uint32_t kPublishWaitMs = 5000;     // how long a started program may take

void set_text(char* text, const std::string& s) {
    std::snprintf(text, kTextBytes, "%s", s.c_str());
}

bool param_block_published() {
    return platform::current().shm_open_existing(sim::kParamBlockName, sim::kParamBlockBytes,
                                                 platform::Access::ReadOnly) != nullptr;
}

// Waits, sleeping, until the signal-source program has published its
// parameter block; false when it has not done so in time.
bool wait_for_param_block() {
    auto& p = platform::current();
    const uint32_t t0 = p.tick_count();
    for (;;) {
        if (param_block_published()) return true;
        if (p.tick_count() - t0 >= kPublishWaitMs) return false;
        p.sleep_us(10000);
    }
}

// The simulated source is ready once its parameter block is published:
// when it is missing the signal-source program is started and waited for.
int check_simulated(char* text) {
    if (param_block_published()) return 1;
    auto& p = platform::current();
    if (!p.start_program(kSignalSourceProgram)) {
        set_text(text, std::string(kSignalSourceProgram) + " could not be started; looked for " +
                           p.program_search_note(kSignalSourceProgram));
        return 0;
    }
    if (!wait_for_param_block()) {
        set_text(text, std::string(kSignalSourceProgram) + " was started but published no parameters within " +
                           std::to_string(kPublishWaitMs / 1000) + " s");
        return 0;
    }
    return 1;
}

int check(int cardType, char* text, int* status) {
    if (!text || !status) return 0;
    const UnitCode u = unit_code(cardType);
    text[0] = '\0';
    *status = 0;
    // The unit's block lives from now on; without it nothing can acquire.
    if (!keep_share_block(u.secondUnit)) {
        set_text(text, std::string("The status block ") + share_block_name(u.secondUnit) +
                           " cannot be created (system error " + std::to_string(platform::current().last_error()) +
                           ")");
        return 0;
    }

    if (is_simulated(u.type)) {
        process_state().randomSeed = 100;
        return check_simulated(text);
    }
    if (u.type == kSoundCard) {
        // No wave-input device is driven yet.
        *status = 1;
        std::strcpy(text, msg::kSoundCardNotWorking);
        return 0;
    }
    return 1;
}

}  // namespace

extern "C" KELMO_API int KELMO_CALL Checkcard(int cardType, char* text, int* status) {
    return guarded(0, [&] { return check(cardType, text, status); });
}
