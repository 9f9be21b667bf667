// zebsim's card: how it answers each request of one connection. Time is
// passed in, so the card does no I/O and never waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "platform/device_protocol.h"
#include "waveform.h"

namespace zebsim {

// Status word of a continuous fetch's reply.
inline constexpr uint32_t kStatusInTime = 0;  // the block was delivered in time
inline constexpr uint32_t kStatusLate = 1;    // (--realtime) the fetch came after the card
                                              // had acquired the following block as well
// Default answer to the port status request: two different bytes, so that
// a reader sees both arrive, in order (0x5A first).
inline constexpr uint16_t kDefaultPortStatus = 0xA55A;
// The largest output a request may ask for.
inline constexpr uint32_t kMaxOutSize = 256u << 20;

struct Behaviour {
    Signal signal;
    std::set<uint32_t> refused;  // request codes answered with ok = 0
    uint16_t portStatus = kDefaultPortStatus;
    bool realtime = true;        // pace blocks to the card's sampling rate (zebsim --unpaced: not)
    bool loopback = false;       // D/A channel c plays into A/D channel c
    uint32_t delayMs = 0;        // added before every reply
};

struct Reply {
    uint32_t ok = 0;
    uint32_t status = 0;
    std::vector<uint8_t> data;  // never more than the request's outSize
    double due = 0.0;           // when to send it, in the seconds of `now`
};

// The card as one connection sees it. What its D/A converter plays
// (`playback`) belongs to the device and outlives the connection.
class Card {
public:
    Card(const Behaviour& b, Playback& playback) : b_(b), playback_(playback) {}

    // The reply to one request received at `now` (seconds of a monotonic
    // clock), with the input bytes that came with it.
    Reply answer(uint32_t code, const kelmo::platform::RequestRecord& r, uint32_t outSize,
                 std::span<const uint8_t> input, double now);

    bool running() const { return run_.has_value(); }

private:
    struct Run {
        int32_t type;
        uint32_t divider;
        int channels;
        uint64_t next;     // raw sample index of the next fetch's first sample
        double startedAt;  // seconds
    };

    bool serve(uint32_t code, const kelmo::platform::RequestRecord& r, uint32_t outSize,
               std::span<const uint8_t> input, double now, Reply& out);
    // The channels under --loopback that the D/A converter drives.
    const Playback* played() const { return b_.loopback ? &playback_ : nullptr; }

    const Behaviour& b_;
    Playback& playback_;
    std::optional<Run> run_;
};

// A request as it comes off the socket (the bytes of a
// DeviceRequestHeader): nullopt when it does not carry the device's magic
// or announces more input than its output holds or than the device takes
// (kDeviceMaxInSize), which ends the connection.
std::optional<kelmo::platform::DeviceRequestHeader> parse_request(const uint8_t* bytes, std::size_t size);

// The bytes of a reply on the wire: its DeviceReplyHeader, then its data.
std::vector<uint8_t> encode_reply(const Reply& reply);

// The log line of a request (no newline), e.g.
// "code=0x222007 type=602 divider=100 samples=1000 gain=3 channel=-1 adjust=0 out=2000",
// followed by " in=N" when N input bytes came with it.
std::string log_line(uint32_t code, const kelmo::platform::RequestRecord& r, uint32_t outSize,
                     uint32_t inSize = 0);

// A request code written in hex ("0x222017") or decimal.
std::optional<uint32_t> parse_code(const std::string& text);

}  // namespace zebsim
