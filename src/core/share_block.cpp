#include "core/share_block.h"

#include <vector>

namespace kelmo {
namespace {

struct Kept {
    platform::SharedMemoryPtr units[2];
};

Kept& kept() {
    static Kept k;
    return k;
}

}  // namespace

platform::SharedMemory* keep_share_block(bool secondUnit) {
    auto& slot = kept().units[secondUnit ? 1 : 0];
    if (!slot) slot = platform::current().shm_create_or_open(share_block_name(secondUnit), kShareBlockBytes, nullptr);
    return slot.get();
}

ProcessState& process_state() {
    static ProcessState s;
    return s;
}

void reset_process_state_for_tests() {
    kept().units[0].reset();
    kept().units[1].reset();
    process_state() = ProcessState{};
}

}  // namespace kelmo
