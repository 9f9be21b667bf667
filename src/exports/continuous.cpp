// Continuous acquisition: Set_dbl_MulChSam(Ex) start it, get_dbl_data(W)
// deliver block after block, recover ends it.
#include "sources/continuous.h"

#include "exports/guard.h"
#include "kelmo.h"

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
