// The wire form of one I/O control request to the acquisition device where
// the device is a Unix-domain socket (Linux). Both the library and the
// simulated card speak it. Little-endian, packed.
//
//   on connecting, the device sends DeviceHello: ok = 0 says that another
//   client holds the device (it is not shared), and it closes the connection
//   request: DeviceRequestHeader, then nothing else
//   reply:   DeviceReplyHeader, then `bytes` output bytes (bytes <= outSize)
#pragma once

#include <cstdint>

#include "platform/device_request.h"

namespace kelmo::platform {

inline constexpr uint32_t kDeviceMagic = 0x314245u;  // "EB1"

#pragma pack(push, 1)
struct DeviceHello {
    uint32_t magic;
    uint32_t ok;  // 0: the device is held by another client
};
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
static_assert(sizeof(DeviceHello) == 8);
static_assert(sizeof(DeviceRequestHeader) == 68);
static_assert(sizeof(DeviceReplyHeader) == 16);

}  // namespace kelmo::platform
