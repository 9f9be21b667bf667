// Continuous acquisition: Set_dbl_MulChSam(Ex) start it, get_dbl_data(W)
// deliver block after block, recover ends it.
#include "exports/continuous.h"

#include "core/card_types.h"
#include "core/reason.h"
#include "exports/guard.h"
#include "kelmo.h"
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

using namespace kelmo;

extern "C" {

KELMO_API int KELMO_CALL Set_dbl_MulChSam(uint32_t* handleWord, int cardType, int freqCode, int gain, int channels,
                                          int blockLen) {
    return guarded("Set_dbl_MulChSam", 0, [&] {
        return start_continuous(handleWord, cardType, freqCode, gain, unpack_channels(channels), blockLen, nullptr,
                                false);
    });
}

KELMO_API int KELMO_CALL Set_dbl_MulChSamEx(uint32_t* handleWord, int cardType, int freqCode, int gain, int count,
                                            int blockLen, const double* chGains, const int* firstChannel) {
    return guarded("Set_dbl_MulChSamEx", 0, [&] {
        if (count > 1023) count -= 1024;
        return start_continuous(handleWord, cardType, freqCode, gain, {firstChannel ? *firstChannel : 0, count},
                                blockLen, chGains, true);
    });
}

KELMO_API int KELMO_CALL get_dbl_data(uint32_t* handleWord, int cardType, int len, int nch, double* buf, int stride,
                                      int offset, int* status) {
    return guarded("get_dbl_data", 0, [&] { return fetch_continuous(handleWord, cardType, len, nch, buf, stride, offset, status, false); });
}

KELMO_API int KELMO_CALL get_dbl_dataW(uint32_t* handleWord, int cardType, int len, int nch, void* buf, int stride,
                                       int offset, int* status) {
    return guarded("get_dbl_dataW", 0, [&] { return fetch_continuous(handleWord, cardType, len, nch, buf, stride, offset, status, true); });
}

KELMO_API void KELMO_CALL recover(uint32_t* handleWord, int cardType) {
    guarded_void("recover", [&] { recover_acquisition(handleWord, cardType); });
}

}  // extern "C"
