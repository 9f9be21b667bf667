#include "sources/driver/handles.h"

#include <map>
#include <mutex>

#include "core/messages.h"
#include "core/reason.h"
#include "platform/lock.h"
#include "platform/platform.h"

namespace kelmo::driver {
namespace {

// A session belongs to the process that started it: a child made by
// fork() inherits the table, and its recover must not stop the parent's
// acquisition on the device they share.
struct Kept {
    std::shared_ptr<DeviceSession> session;
    uint32_t owner;  // process id
};

struct Table {
    kelmo::platform::Lock mutex;
    std::map<uint32_t, Kept> sessions;
    uint32_t next = 0x100;
};

// Never destroyed: a session may be closed by a host's exit handlers after
// the statics of this file would have gone.
Table& table() {
    static Table* t = new Table;
    return *t;
}

}  // namespace

uint32_t keep_session(DeviceSession session) {
    auto& t = table();
    std::lock_guard<kelmo::platform::Lock> g(t.mutex);
    uint32_t h;
    do {
        t.next += 4;  // handle values are multiples of 4, never 0
        h = t.next;
    } while (h == 0 || t.sessions.count(h));
    t.sessions.emplace(h, Kept{std::make_shared<DeviceSession>(std::move(session)), platform::current().system.process_id()});
    return h;
}

std::shared_ptr<DeviceSession> kept_session(uint32_t handle) {
    auto& t = table();
    std::lock_guard<kelmo::platform::Lock> g(t.mutex);
    auto it = t.sessions.find(handle);
    return it == t.sessions.end() ? nullptr : it->second.session;
}

bool owns_session(uint32_t handle) {
    auto& t = table();
    std::lock_guard<kelmo::platform::Lock> g(t.mutex);
    auto it = t.sessions.find(handle);
    return it != t.sessions.end() && it->second.owner == platform::current().system.process_id();
}

bool close_session(uint32_t handle) {
    auto& t = table();
    std::shared_ptr<DeviceSession> s;
    {
        std::lock_guard<kelmo::platform::Lock> g(t.mutex);
        auto it = t.sessions.find(handle);
        if (it == t.sessions.end()) {
            because("no acquisition of this process runs on handle word %u; start one with Set_dbl_MulChSam first",
                    static_cast<unsigned>(handle));
            failure_console_printf(msg::kDeviceCloseFailed, 6);  // an invalid handle
            return false;
        }
        s = std::move(it->second.session);
        const bool mine = it->second.owner == platform::current().system.process_id();
        t.sessions.erase(it);
        // Another process's copy: this process lets go of its descriptor
        // and nothing more.
        if (!mine) {
            s->close();
            return true;
        }
    }
    return s->close();
}

}  // namespace kelmo::driver
