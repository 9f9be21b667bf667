// One open session with the acquisition device. Every request of the
// library goes through DeviceSession::request, the single place where the
// driver is reached (and where KELMO_DRIVER_TRACE logs requests).
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "platform/device_request.h"

namespace kelmo::driver {

class DeviceSession {
public:
    // Opens "ZEB1". On failure prints the console line with the system
    // error code and returns an empty session.
    //
    // request() is bounded in time (request_timeout_ms); when the transport
    // fails (no reply in time, a cut-off or foreign reply) it prints a
    // console line naming the cause and the session refuses every further
    // request.
    static DeviceSession open();

    DeviceSession() = default;
    explicit operator bool() const { return dev_ != nullptr; }

    bool request(uint32_t code, const platform::RequestRecord& record, void* out, uint32_t outSize,
                 uint32_t* status = nullptr);

    // Closes the device; prints the console line and returns false when the
    // system refuses. A session not closed explicitly closes quietly.
    bool close();

private:
    explicit DeviceSession(platform::DevicePtr d) : dev_(std::move(d)) {}
    platform::DevicePtr dev_;
    uint32_t divider_ = 0;  // of the continuous start, for the fetches' time-out
};

// How long a request may wait for the device: the real time of the block it
// asks for (at the card's rate for that divider) plus a margin of 5 s, or
// of KELMO_DEVICE_TIMEOUT_MS milliseconds when that is set.
uint32_t request_timeout_ms(uint32_t code, const platform::RequestRecord& record, uint32_t divider);

}  // namespace kelmo::driver
