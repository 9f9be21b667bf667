// One open session with the acquisition device. Every request of the
// library goes through DeviceSession::request, the single place where the
// driver is reached (and where KELMO_DRIVER_TRACE logs requests).
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "sources/driver/request.h"

namespace kelmo::driver {

class DeviceSession {
public:
    // Opens "ZEB1". On failure prints the console line with the system
    // error code and returns an empty session.
    static DeviceSession open();

    DeviceSession() = default;
    explicit operator bool() const { return dev_ != nullptr; }

    bool request(uint32_t code, const RequestRecord& record, void* out, uint32_t outSize,
                 uint32_t* status = nullptr);

    // Closes the device; prints the console line and returns false when the
    // system refuses. A session not closed explicitly closes quietly.
    bool close();

private:
    explicit DeviceSession(platform::DevicePtr d) : dev_(std::move(d)) {}
    platform::DevicePtr dev_;
};

}  // namespace kelmo::driver
