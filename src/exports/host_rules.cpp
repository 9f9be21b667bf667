// What a card type offers a host, as the library applies it: the rules a
// host would otherwise have to derive again (kelmo extension).
#include <algorithm>
#include <climits>

#include "exports/guard.h"
#include "kelmo.h"
#include "sources/offer.h"
#include "sources/source.h"
#include "core/card_type.h"
#include "core/card_types.h"
#include "core/catalogue.h"

using namespace kelmo;

namespace {

template <class T>
int copy_out(const std::vector<T>& list, T* out, int capacity) {
    if (out && capacity > 0)
        std::copy_n(list.begin(), std::min<std::size_t>(list.size(), static_cast<std::size_t>(capacity)), out);
    return static_cast<int>(list.size());
}

bool room_for(const void* out, int capacity) {
    return require(capacity >= 0, "the capacity %d is negative; give how many values the array holds, 0 to ask "
                                  "for the count alone", capacity) &&
           require(out || capacity == 0, "the array is a null pointer but its capacity is %d; pass an array of that "
                                         "many values, or 0", capacity);
}

}  // namespace

extern "C" {

KELMO_API int KELMO_CALL kelmo_card_stands_for(int cardType) {
    return answered("kelmo_card_stands_for", cardType, [&] { return reduce_code(cardType); });
}

KELMO_API int KELMO_CALL kelmo_card_source(int cardType) {
    return answered("kelmo_card_source", KELMO_SOURCE_NONE, [&] {
        // Whether the card is catalogued, not whether its device is there.
        if (!catalogue::find_row(unit_code(cardType).type)) {
            because_not_catalogued(cardType);
            return KELMO_SOURCE_NONE;
        }
        switch (cards::card_type(unit_code(cardType).type).source) {
            case cards::SourceKind::Simulated: return KELMO_SOURCE_SIMULATED;
            case cards::SourceKind::SoundCard: return KELMO_SOURCE_SOUND;
            case cards::SourceKind::Driver: break;
        }
        return KELMO_SOURCE_DRIVER;
    });
}

KELMO_API int KELMO_CALL kelmo_card_rates(int cardType, double* rates, int capacity) {
    return guarded("kelmo_card_rates", 0, [&] {
        if (!room_for(rates, capacity)) return 0;
        const auto o = offer_of(cardType);
        return o ? copy_out(o->rates, rates, capacity) : 0;
    });
}

KELMO_API int KELMO_CALL kelmo_card_rate_limits(int cardType, double* lowest, double* highest) {
    return guarded("kelmo_card_rate_limits", 0, [&] {
        const auto o = offer_of(cardType);
        if (!o) return 0;
        if (lowest) *lowest = o->lowest;
        if (highest) *highest = o->highest;
        return 1;
    });
}

KELMO_API int KELMO_CALL kelmo_card_gains(int cardType, int* gains, int capacity) {
    return guarded("kelmo_card_gains", 0, [&] {
        if (!room_for(gains, capacity)) return 0;
        const auto o = offer_of(cardType);
        return o ? copy_out(o->gains, gains, capacity) : 0;
    });
}

KELMO_API int KELMO_CALL kelmo_card_divider(int cardType, double rate, int channels, uint32_t* freqCode,
                                            double* actual) {
    return guarded("kelmo_card_divider", 0, [&] {
        const auto o = offer_of(cardType);
        Divider d{};
        if (!o || !offered_divider(*o, rate, channels, &d)) return 0;
        if (freqCode) *freqCode = d.freqCode;
        if (actual) *actual = d.actual;
        return 1;
    });
}

KELMO_API int KELMO_CALL kelmo_block_limit(int cardType, int channels) {
    return guarded("kelmo_block_limit", 0, [&] {
        const auto o = offer_of(cardType);
        return o ? offered_block_limit(*o, channels) : 0;
    });
}

}  // extern "C"
