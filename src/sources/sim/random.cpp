// The generator's pseudo-random sequence. The noise of the simulated source
// is defined by this exact sequence, so the library carries its own instead
// of the C runtime's, whose algorithm differs between runtimes.
//
// One state for the whole process, as the noise seeding expects; it is not
// guarded beyond making each load and store whole.
#include <atomic>

#include "sources/sim/generator.h"
#include "sources/sim/generator_detail.h"

namespace kelmo::sim {
namespace {
std::atomic<uint32_t> g_state{1};
}

namespace detail {
uint32_t rand_state() { return g_state.load(std::memory_order_relaxed); }
void set_rand_state(uint32_t state) { g_state.store(state, std::memory_order_relaxed); }
}  // namespace detail

void sim_srand(uint32_t seed) { detail::set_rand_state(seed); }

int sim_rand() {
    const uint32_t s = detail::rand_step(detail::rand_state());
    detail::set_rand_state(s);
    return detail::rand_value(s);
}

}  // namespace kelmo::sim
