// The wire form of one I/O control request to the acquisition device where
// the device is a Unix-domain socket (Linux). Both the library and the
// simulated card speak it. Little-endian, packed.
//
//   on connecting, the device sends DeviceHello: ok = 0 says that another
//   client holds the device (it is not shared), and it closes the connection
//   request: DeviceRequestHeader, then `inSize` input bytes: the caller's
//            buffer as the request finds it, for a request whose buffer the
//            driver reads (request_reads_buffer: inSize = outSize), else
//            none; inSize <= outSize and inSize <= kDeviceMaxInSize
//   reply:   DeviceReplyHeader, then `bytes` output bytes (bytes <= outSize),
//            which become the first bytes of the caller's buffer
//
// A peer that breaks a bound is not the device: the library refuses its
// reply and uses the connection no more; the device closes the connection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/device_request.h"

namespace kelmo::platform {

// "EB2": the framing with the request's input. ("EB1" sent none.)
inline constexpr uint32_t kDeviceMagic = 0x324245u;
// The most input bytes a request carries (the D/A buffer is 32768).
inline constexpr uint32_t kDeviceMaxInSize = 64u << 10;

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
    uint32_t inSize;  // input bytes that follow
};
struct DeviceReplyHeader {
    uint32_t magic;
    uint32_t ok;       // non-zero: the request succeeded
    uint32_t status;   // status word (continuous fetch)
    uint32_t bytes;    // output bytes that follow
};
#pragma pack(pop)
static_assert(sizeof(DeviceHello) == 8);
static_assert(sizeof(DeviceRequestHeader) == 72);
static_assert(offsetof(DeviceRequestHeader, outSize) == 64);
static_assert(offsetof(DeviceRequestHeader, inSize) == 68);
static_assert(sizeof(DeviceReplyHeader) == 16);

}  // namespace kelmo::platform
