// D/A requests: passed to the driver on the device session of a running
// continuous acquisition, which the caller names by its handle word.
#pragma once

#include <cstdint>
#include <optional>

namespace kelmo::driver {

inline constexpr uint32_t kDaBufferBytes = 32768;

struct DaRequest {
    uint32_t code;                 // platform::kDaInit or kDaData
    int32_t cardType;              // as the host passed it
    int32_t channelField;          // its low 16 bits are sent
    std::optional<int32_t> rate;   // the initialise request's value field
    std::optional<int32_t> length; // the data request's length field
    void* buffer;                  // kDaBufferBytes the driver may read or write
};

// 1 when the driver accepted the request; 0 when it refused or the handle
// word names no open device. Card types without the D/A converter send
// nothing and get `unsupported`.
int da_request(uint32_t* handleWord, const DaRequest& r, int unsupported);

}  // namespace kelmo::driver
