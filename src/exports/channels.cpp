// get_ph_ch, get_tot_ch: from the channel numbers a host shows to the
// channels of the hardware. Pure functions of their arguments.
#include <cstdint>

#include "core/card_type.h"
#include "core/card_types.h"
#include "exports/guard.h"
#include "kelmo.h"

using namespace kelmo;

namespace {

int32_t physical_channel(int32_t cardType, int32_t channel) {
    const cards::CardType c = cards::card_type(reduce_code(cardType));
    switch (c.numbering) {
        case cards::Numbering::Own: return channel;
        // The first channels share one physical input.
        case cards::Numbering::SharedBelow: return channel < c.firstOwn ? 1 : channel;
        case cards::Numbering::Paired:
            // Two host channels per physical channel: 1,2 -> 1; 3,4 -> 2; ...
            // channel - 1 wraps like 32-bit arithmetic; the division truncates.
            return static_cast<int32_t>(static_cast<uint32_t>(channel) - 1u) / 2 + 1;
        case cards::Numbering::AllOnFirst: break;
    }
    return 1;
}

// The code as passed: only the paired card itself halves the count.
int32_t physical_count(int32_t cardType, int32_t count) {
    if (cards::card_type(cardType).numbering != cards::Numbering::Paired) return count;
    // (count + 1) >> 1 with sign, wrapping like 32-bit arithmetic.
    const int32_t next = static_cast<int32_t>(static_cast<uint32_t>(count) + 1u);
    return next >> 1;
}

}  // namespace

extern "C" {

KELMO_API int KELMO_CALL get_ph_ch(int cardType, int channel) {
    return answered("get_ph_ch", 1, [&] { return physical_channel(cardType, channel); });
}

KELMO_API int KELMO_CALL get_tot_ch(int cardType, int count) {
    return answered("get_tot_ch", count, [&] { return physical_count(cardType, count); });
}

}  // extern "C"
