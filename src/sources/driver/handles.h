// Device sessions that outlive a call (continuous acquisitions) are kept
// here and handed to the host as a 32-bit handle word.
#pragma once

#include <cstdint>
#include <memory>

#include "sources/driver/device.h"

namespace kelmo::driver {

// Keeps the session; returns its non-zero handle word.
uint32_t keep_session(DeviceSession session);
// The kept session of a handle word, or nullptr. Shared, so that a
// request running on one thread outlives a close_session on another.
std::shared_ptr<DeviceSession> kept_session(uint32_t handle);
// Whether this process started it (a child made by fork() did not).
bool owns_session(uint32_t handle);
// Closes and forgets it. False (with the console line printed) when the
// word names no open session or the system refuses to close it.
bool close_session(uint32_t handle);

}  // namespace kelmo::driver
