#include "core/share_block.h"

#include <map>
#include <string>

namespace kelmo {
namespace {

std::map<std::string, platform::SharedMemoryPtr>& kept() {
    static std::map<std::string, platform::SharedMemoryPtr> k;
    return k;
}

}  // namespace

platform::SharedMemory* keep_named(const char* name, std::size_t size) {
    auto& slot = kept()[name];
    if (!slot) slot = platform::current().shm_create_or_open(name, size, nullptr);
    return slot.get();
}

ProcessState& process_state() {
    static ProcessState s;
    return s;
}

void reset_process_state_for_tests() {
    kept().clear();
    process_state() = ProcessState{};
}

}  // namespace kelmo
