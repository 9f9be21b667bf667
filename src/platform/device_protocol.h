// The wire form of one I/O control request to the acquisition device where
// the device is a Unix-domain socket (Linux). Both the library and the
// simulated card speak it. Little-endian, packed.
//
//   request: DeviceRequestHeader, then nothing else
//   reply:   DeviceReplyHeader, then `bytes` output bytes (bytes <= outSize)
#pragma once

#include <cstdint>

#include "platform/device_request.h"

namespace kelmo::platform {

inline constexpr uint32_t kDeviceMagic = 0x314245u;  // "EB1"

#pragma pack(push, 1)
struct DeviceRequestHeader {
    uint32_t magic;
    uint32_t code;
    RequestRecord record;
    uint32_t outSize;
};
struct DeviceReplyHeader {
    uint32_t magic;
    uint32_t ok;       // non-zero: the request succeeded
    uint32_t status;   // status word (continuous fetch)
    uint32_t bytes;    // output bytes that follow
};
#pragma pack(pop)
static_assert(sizeof(DeviceRequestHeader) == 68);
static_assert(sizeof(DeviceReplyHeader) == 16);

}  // namespace kelmo::platform
