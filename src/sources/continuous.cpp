// The continuous acquisition behind one handle word, as the exports and
// the triggered acquisition drive it: the frame of its unit opened for each
// call, the source chosen by the card type.
#include "sources/continuous.h"

#include "core/card_types.h"
#include "core/reason.h"
#include "sources/source.h"

namespace kelmo {

int start_continuous(uint32_t* handleWord, int cardType, int freqCode, int gain, ChannelSpan span, int blockLen,
                     const double* chGains, bool exVariant) {
    if (!require(handleWord, "the handle word is a null pointer; pass the address of a uint32_t that keeps the "
                             "acquisition"))
        return 0;
    *handleWord = 0;
    UnitFrame f(cardType);
    if (!f.ready()) return 0;
    const ContinuousStart r{f, handleWord, freqCode, gain, span, blockLen, exVariant ? chGains : nullptr, exVariant};
    return source_for(f.card, exVariant ? Route::Ex : Route::Plain).start(r);
}

int fetch_continuous(uint32_t* handleWord, int cardType, int len, int nch, void* buf, int stride, int offset,
                     int* status, bool rawWords) {
    if (status) *status = 0;
    if (!require(len >= 0, "the length %d is negative; give the samples per channel, 0 or more", len) ||
        !require(buf || len == 0, "the sample buffer is a null pointer; pass a buffer that holds len (%d) samples of "
                                  "every channel at its stride and offset", len))
        return 0;
    // A code may stand for another's acquisition delivered unpaced (taken
    // as passed: its negative is no such code).
    const int32_t unpacedOf = cards::card_type(cardType).unpacedFetchOf;
    const UnitFrame f(unpacedOf != 0 ? unpacedOf : cardType);
    if (!f.ready()) return 0;
    const ContinuousFetch q{f,      handleWord, len, nch, stride, offset, status, unpacedOf == 0,
                            rawWords ? Delivery::Words : Delivery::Values, buf};
    return source_for(f.card).fetch(q);
}

void recover_acquisition(uint32_t* handleWord, int cardType) {
    // Only the alias codes are reduced: a negative code is no sound card.
    const int32_t type = reduce_code(cardType);
    source_for(cards::card_type(type), Route::Recover).stop(handleWord, type);
    if (handleWord) {
        const UnitCode unit = unit_code(cardType);
        source_for(cards::card_type(unit.type)).forget(handleWord, unit.secondUnit);
    }
}

}  // namespace kelmo
