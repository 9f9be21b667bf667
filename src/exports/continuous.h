// The continuous acquisition as the triggered acquisition drives it.
#pragma once

#include <cstdint>

#include "sources/frame.h"

namespace kelmo {

int start_continuous(uint32_t* handleWord, int cardType, int freqCode, int gain, ChannelSpan span, int blockLen,
                     const double* chGains, bool exVariant);
int fetch_continuous(uint32_t* handleWord, int cardType, int len, int nch, void* buf, int stride, int offset,
                     int* status, bool rawWords);
void recover_acquisition(uint32_t* handleWord, int cardType);

}  // namespace kelmo
