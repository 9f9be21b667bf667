// The parameter set that genwave publishes: read from a TOML file or taken
// from the built-in default, and described for the user.
#pragma once

#include <string>

#include "sources/sim/param_block.h"

namespace genwave {

// The built-in set: the repertoire of the simulated source on channels
// 0 .. 7 (sum channel 7 draws on sources 8 .. 10).
kelmo::sim::SimParamBlock default_params();

// Reads a parameter file. Throws std::runtime_error with a readable
// message ("line N: what") when the file is not valid: a wrong type, a
// value out of its range (see example.toml), an unknown key, an entry
// defined twice. Anything but a regular file is refused unopened.
kelmo::sim::SimParamBlock load_params(const std::string& path);

// One line per entry in use.
std::string describe(const kelmo::sim::SimParamBlock& p);

}  // namespace genwave
