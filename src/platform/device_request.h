// The 56-byte request record that every I/O control request to the
// acquisition device carries, and the request codes: the device's wire data,
// shared by the platform backends and the driver path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelmo::platform {

#pragma pack(push, 1)
struct RequestRecord {
    int32_t cardType;      // 0: effective card type
    int32_t divider;       // 4: divider (low 16 bits, or all 32 for a start; D/A value)
    int32_t samples;       // 8: raw samples per channel (start: block length)
    uint16_t gainCode;     // 12
    uint8_t unused14[32];  // 14 .. 45
    int16_t channel;       // 46: channel index or channel count
    uint32_t statusAddr;   // 48: fetch: address of the caller's status word
    uint8_t adjustSmp;     // 52: "AdjustSmp" flag
    uint8_t unused53[3];   // 53 .. 55
};
#pragma pack(pop)

static_assert(sizeof(RequestRecord) == 56);
static_assert(offsetof(RequestRecord, cardType) == 0);
static_assert(offsetof(RequestRecord, divider) == 4);
static_assert(offsetof(RequestRecord, samples) == 8);
static_assert(offsetof(RequestRecord, gainCode) == 12);
static_assert(offsetof(RequestRecord, channel) == 46);
static_assert(offsetof(RequestRecord, statusAddr) == 48);
static_assert(offsetof(RequestRecord, adjustSmp) == 52);

// Request codes (device type 0x22, buffers passed directly).
enum RequestCode : uint32_t {
    kSingleChannel = 0x222007,
    kMultiChannel = 0x22200B,
    kContinuousStart = 0x222013,
    kContinuousFetch = 0x222017,
    kPortStatus = 0x22201F,
    kStop = 0x222463,
    kDaInit = 0x22209B,
    kDaData = 0x22209F,
};

// The requests whose buffer the driver reads as well as writes: the D/A
// requests hand it the converter's data. (A kernel driver reads the
// caller's memory itself; over a socket the buffer goes with the request.)
constexpr bool request_reads_buffer(uint32_t code) { return code == kDaInit || code == kDaData; }

}  // namespace kelmo::platform
