// What the simulated source keeps between calls, once per process.
#pragma once

#include <cstdint>

namespace kelmo::sim {

struct State {
    uint32_t randomSeed = 0;  // the block acquisitions' seed step
    double clockScale = 0.0;  // set by PreSamp's divider choice
    // The fine clock when this process started the continuous acquisition
    // whose start tick is contStartTick (its fetches never return before
    // their time on it).
    uint32_t contStartTick = 0;
    uint64_t contStartUs = 0;
};
// Not guarded: the values are as a host's calls leave them.
State& process_state();

}  // namespace kelmo::sim
