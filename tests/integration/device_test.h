// What the device's tests share: the folder where the library looks for
// the device.
#pragma once

#include <string>

#include "peer_process.h"

namespace kelmo::test {

inline void use_device_dir(const std::string& dir) { set_env("KELMO_DEVICE_DIR", dir.c_str()); }

}  // namespace kelmo::test
