// InitialDA, SetFixDA, SetDAData: D/A requests on an open device handle.
#include "exports/guard.h"
#include "kelmo.h"
#include "platform/device_request.h"
#include "sources/driver/analog_output.h"

using namespace kelmo;

extern "C" {

// One request under two names.
KELMO_API int KELMO_CALL InitialDA(uint32_t* handleWord, int cardType, int channelField, int rateField,
                                   void* buffer) {
    return guarded("InitialDA", 0, [&] {
        return driver::da_request(handleWord, {platform::kDaInit, cardType, channelField, rateField, {}, buffer}, 0);
    });
}

KELMO_API int KELMO_CALL SetFixDA(uint32_t* handleWord, int cardType, int channelField, int rateField,
                                  void* buffer) {
    return guarded("SetFixDA", 0, [&] {
        return driver::da_request(handleWord, {platform::kDaInit, cardType, channelField, rateField, {}, buffer}, 0);
    });
}

// A card type without the converter is no error here.
KELMO_API int KELMO_CALL SetDAData(uint32_t* handleWord, int cardType, int channelField, void* buffer,
                                   int lengthField) {
    return guarded("SetDAData", 0, [&] {
        return driver::da_request(handleWord, {platform::kDaData, cardType, channelField, {}, lengthField, buffer}, 1);
    });
}

}  // extern "C"
