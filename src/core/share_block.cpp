#include "core/share_block.h"

#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "core/reason.h"
#include "platform/lock.h"

namespace kelmo {
namespace {

// The named shared memories this process keeps open. Created on first use
// and destroyed at exit; the platform state their destructors use is never
// destroyed, so the order of destruction at exit does not matter.
struct Kept {
    kelmo::platform::Lock mutex;
    std::map<std::string, std::shared_ptr<platform::SharedMemory>, std::less<>> handles;  // found by any string
};

Kept& kept() {
    static Kept k;
    return k;
}

}  // namespace

std::shared_ptr<platform::SharedMemory> keep_named(const char* name, std::size_t size) {
    Kept& k = kept();
    std::lock_guard<kelmo::platform::Lock> g(k.mutex);
    auto& slot = k.handles[name];
    // Another process may have shrunk the object under our view: writing
    // through it would fault. Such an object is refused; the next call
    // tries again (and finds it again only once it is whole).
    if (slot && !slot->intact()) slot.reset();
    if (!slot) {
        slot = platform::current().shm.shm_create_or_open(name, size, nullptr);
        if (!slot) shared_memory_refused(name);
    }
    return slot;
}

void shared_memory_refused(const char* name) {
    auto& p = platform::current();
    because("the shared memory %s cannot be created or opened: %s; remove a stale or foreign object of that name, "
            "or set KELMO_SHM_NAMESPACE to a name of your own",
            p.shm.shm_where(name).c_str(), p.system.error_text(p.system.last_error()).c_str());
}

std::shared_ptr<platform::SharedMemory> kept_view(const char* name) {
    Kept& k = kept();
    std::lock_guard<kelmo::platform::Lock> g(k.mutex);
    const auto it = k.handles.find(std::string_view(name));
    if (it == k.handles.end() || !it->second || !it->second->intact()) return nullptr;
    return it->second;
}

void forget_kept_views_for_tests() {
    Kept& k = kept();
    std::lock_guard<kelmo::platform::Lock> g(k.mutex);
    k.handles.clear();
}

}  // namespace kelmo
