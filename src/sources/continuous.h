// The continuous acquisition behind one handle word: starting it, a block of
// it, ending it (what Set_dbl_MulChSam, get_dbl_data and recover do, and the
// triggered acquisition with them).
#pragma once

#include <cstdint>

#include "sources/frame.h"

namespace kelmo {

int start_continuous(uint32_t* handleWord, int cardType, int freqCode, int gain, ChannelSpan span, int blockLen,
                     const double* chGains, bool exVariant);
int fetch_continuous(uint32_t* handleWord, int cardType, int len, int nch, void* buf, int stride, int offset,
                     int* status, bool rawWords);
void recover_acquisition(uint32_t* handleWord, int cardType);

// One continuous acquisition of this process's, from its start to its end:
// recovered when it goes once it was started, or its handle word handed out
// (a refused start may still hold the device).
class ContinuousSession {
public:
    explicit ContinuousSession(int cardType) : cardType_(cardType) {}
    ~ContinuousSession() {
        if (armed_) recover_acquisition(&handle_, cardType_);
    }
    ContinuousSession(const ContinuousSession&) = delete;
    ContinuousSession& operator=(const ContinuousSession&) = delete;

    bool start(int freqCode, int gain, ChannelSpan span, int blockLen, const double* chGains, bool exVariant) {
        armed_ = true;
        return start_continuous(&handle_, cardType_, freqCode, gain, span, blockLen, chGains, exVariant) != 0;
    }
    // `len` samples of `nch` channels into buf[offset + c * stride ...].
    bool fetch(int len, int nch, double* buf, int stride, int offset, int* status) {
        return fetch_continuous(&handle_, cardType_, len, nch, buf, stride, offset, status, false) != 0;
    }
    uint32_t* handle_word() {
        armed_ = true;
        return &handle_;
    }

private:
    int cardType_;
    uint32_t handle_ = 0;
    bool armed_ = false;
};

}  // namespace kelmo
