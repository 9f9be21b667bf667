#include "sources/driver/analog_output.h"

#include "core/card_types.h"
#include "core/reason.h"
#include "platform/device_request.h"
#include "sources/driver/handles.h"

namespace kelmo::driver {

int da_request(uint32_t* handleWord, const DaRequest& r, int unsupported) {
    // The code exactly as passed: no sign change, no alias reduction.
    if (!cards::card_type(r.cardType).analogOutput) return unsupported;
    if (!require(handleWord, "the handle word is a null pointer; pass the one Set_dbl_MulChSam filled"))
        return 0;
    const auto session = kept_session(*handleWord);
    if (!require(session != nullptr, "no acquisition of this process runs on handle word %u; start one with "
                                     "Set_dbl_MulChSam first", static_cast<unsigned>(*handleWord)))
        return 0;
    platform::RequestRecord rec{};  // the fields a D/A request leaves out are 0
    rec.cardType = r.cardType;
    if (r.rate) rec.divider = *r.rate;
    if (r.length) rec.samples = *r.length;
    rec.channel = static_cast<int16_t>(static_cast<uint16_t>(r.channelField));
    return session->request(r.code, rec, r.buffer, r.buffer ? kDaBufferBytes : 0) ? 1 : 0;
}

}  // namespace kelmo::driver
