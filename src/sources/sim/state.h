// What the simulated source keeps between calls, once per process.
#pragma once

#include <cstdint>

namespace kelmo::sim {

struct State {
    uint32_t randomSeed = 0;  // the block acquisitions' seed step
    double clockScale = 0.0;  // set by PreSamp's divider choice
};
// Not guarded: the values are as a host's calls leave them.
State& process_state();

}  // namespace kelmo::sim
