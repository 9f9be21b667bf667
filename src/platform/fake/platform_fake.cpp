// The fake platform itself: installing it, its clock, message dispatch,
// programs and pages.
#include "platform/fake/fake_platform.h"

#include <cstdlib>

namespace kelmo::platform {

FakePlatform::FakePlatform() = default;

FakePlatform::~FakePlatform() {
    for (auto& [p, n] : livePages) std::free(p);
}

void FakePlatform::sleep_us(uint32_t us) {
    ++sleeps;
    const uint64_t before = sleptUs / 1000;
    sleptUs += us ? us : 1;
    now += static_cast<uint32_t>(sleptUs / 1000 - before);
    if (onWait) onWait();
}

void FakePlatform::dispatch_messages() {
    ++dispatches;
    if (onWait) onWait();
}

void* FakePlatform::alloc_pages(std::size_t n) {
    if (failAlloc || n == 0 || injected()) {
        lastError = 8;
        return nullptr;
    }
    void* p = std::calloc(1, n);
    if (p) livePages[p] = n;
    return p;
}

bool FakePlatform::release_pages(void* address) {
    auto it = livePages.find(address);
    if (it == livePages.end()) {
        lastError = 487;
        return false;
    }
    std::free(address);
    livePages.erase(it);
    return true;
}

bool FakePlatform::start_program(const char* name) {
    startedPrograms.emplace_back(name);
    if (programMissing || injected()) return false;
    if (onStartProgram) onStartProgram(name);
    return true;
}

}  // namespace kelmo::platform
