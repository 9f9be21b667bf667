// get_ph_ch, get_tot_ch: from the channel numbers a host shows to the
// channels of the hardware. Pure functions of their arguments.
#include <cstdint>

#include "core/card_type.h"
#include "exports/guard.h"
#include "kelmo.h"

using namespace kelmo;

namespace {

// Cards whose first channels share one physical input: every channel below
// `firstOwn` maps to physical channel 1.
int32_t shared_below(int32_t channel, int32_t firstOwn) { return channel < firstOwn ? 1 : channel; }

int32_t physical_channel(int32_t cardType, int32_t channel) {
    switch (reduce_code(cardType)) {
        case 614: case 624: case 638: case 670: case 721: case 722: case 723:
        case 724: case 804: case 807: case 808: case 821: case 824:
            return channel;
        case 633: case 802: case 803: case 811: case 814: case 817: case 820: case 822: case 825:
            return shared_below(channel, 5);
        case 662: case 810: case 819: case 827: case 829:
            return shared_below(channel, 3);
        case 666:
            return shared_below(channel, 7);
        case 828:
            return shared_below(channel, 9);
        case 863: case 872: case 891: case 892:
            return shared_below(channel, 1);
        case 653:
            // Two host channels per physical channel: 1,2 -> 1; 3,4 -> 2; ...
            // channel - 1 wraps like 32-bit arithmetic; the division truncates.
            return static_cast<int32_t>(static_cast<uint32_t>(channel) - 1u) / 2 + 1;
        default:
            return 1;
    }
}

int32_t physical_count(int32_t cardType, int32_t count) {
    if (cardType != 653) return count;
    // (count + 1) >> 1 with sign, wrapping like 32-bit arithmetic.
    const int32_t next = static_cast<int32_t>(static_cast<uint32_t>(count) + 1u);
    return next >> 1;
}

}  // namespace

extern "C" {

KELMO_API int KELMO_CALL get_ph_ch(int cardType, int channel) {
    return guarded(1, [&] { return physical_channel(cardType, channel); });
}

KELMO_API int KELMO_CALL get_tot_ch(int cardType, int count) {
    return guarded(count, [&] { return physical_count(cardType, count); });
}

}  // extern "C"
