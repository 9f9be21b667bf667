// What the shared-memory tests share: the peer that holds an object, and
// names of their own for every run.
#pragma once

#include <chrono>
#include <string>

#include "platform/platform.h"

namespace kelmo::test {

// The peer that creates object `name`, writes `value` into its first word
// and holds it for `ms` milliseconds.
inline std::string peer_command(const std::string& name, int value, int ms) {
    return std::string(KELMO_SHM_PEER) + " hold " + name + " " + std::to_string(value) + " " + std::to_string(ms);
}

inline platform::SharedMemoryPtr open_existing(const std::string& name) {
    return platform::current().shm.shm_open_existing(name, 1024, platform::Access::ReadWrite);
}

// Every run gets names of its own.
inline std::string unique(const char* stem) {
    return std::string(stem) + "_" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007);
}

}  // namespace kelmo::test
