// How an output's failure is said, for the writers and the tool's own
// standard output.
#pragma once

#include <cstring>
#include <string>

#include "say.h"
namespace kelmo::cli {

inline void report_failure(const std::string& name, int err) {
    say("kelmo: writing %s failed: %s", name.c_str(),
                 err != 0 ? std::strerror(err) : "an earlier write was lost");
}

inline std::string display_name(const std::string& path) { return path == "-" ? "standard output" : path; }

}  // namespace kelmo::cli
