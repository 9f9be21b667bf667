// PreSamp, GetFre.
#include "core/card_type.h"
#include "core/messages.h"
#include "core/presamp.h"
#include "core/share_block.h"
#include "exports/guard.h"
#include "kelmo.h"
#include "sources/sim/state.h"
#include "sources/source.h"

using namespace kelmo;

extern "C" {

KELMO_API int KELMO_CALL PreSamp(int cardType, double frequency, uint32_t* freqCode, double* actualFrequency) {
    return guarded("PreSamp", 0, [&] {
        const UnitCode u = unit_code(cardType);
        Source& source = source_for(u.type);
        const bool writesOutputs = source.chooses_divider();
        if (writesOutputs &&
            (!require(freqCode, "the divider's place (freqCode) is a null pointer; pass room for a uint32_t") ||
             !require(actualFrequency, "the actual frequency's place is a null pointer; pass room for a double")))
            return 0;

        // Kept open for the rest of the process from here on (as Checkcard
        // does), so that word 0 survives whichever set-up call comes first.
        const auto block = keep_share_block(u.secondUnit);
        if (!block) {
            if (!u.secondUnit) show_message(msg::kHfmCreateFailure);
        } else {
            block->set_word(kWordMode, 1);
        }

        if (writesOutputs) {
            const Divider d = source.choose_divider(frequency);
            *freqCode = d.freqCode;
            *actualFrequency = d.actual;
        }
        return block ? 1 : 0;
    });
}

KELMO_API int KELMO_CALL GetFre(int cardType, uint32_t freqCode, double* frequency, int n) {
    return answered("GetFre", 1, [&] {
        int32_t mode = 1, clockFlag = 0;
        if (auto block = platform::current().shm.shm_open_existing(kShareBlockName, kShareBlockBytes,
                                                               platform::Access::ReadWrite)) {
            mode = block->word(kWordMode);
            clockFlag = block->word(kWordClockFlag);
        }
        double hz = 0.0;
        if (frequency &&
            read_back_frequency(reduce_code(cardType), freqCode, n, clockFlag, sim::process_state().clockScale, &hz)) {
            *frequency = output_rate(mode, hz);
        }
        return mode;
    });
}

}  // extern "C"
