#include "platform/posix/shm_parked.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <iterator>
#include <mutex>
#include <vector>

#include "platform/lock.h"

namespace kelmo::platform::posix {
namespace {

// The parked views of this process, a few at most. Never destroyed, like
// the lock table. A child made by fork() starts without them: a descriptor
// it inherited shares its lock with the parent's.
class ParkedViews {
public:
    static constexpr std::size_t kMax = 16;

    ParkedViews() {
        ::pthread_atfork(nullptr, nullptr, [] { instance()->forget(); });
    }
    static ParkedViews*& instance() {
        static ParkedViews* p = nullptr;
        return p;
    }

    // In a new child (one thread, nothing else running): the inherited
    // views go without touching the mutex, which another thread of the
    // parent may have held.
    void forget() {
        // (The watch is the parent's: it is not touched.)
        for (const ParkedView& v : views_) {
            ::munmap(v.view, v.size);
            ::close(v.fd);
        }
        views_.clear();
    }

    void park(ParkedView v) {
        std::optional<ParkedView> evicted;
        {
            std::lock_guard<Lock> g(mutex_);
            if (views_.size() >= kMax) {
                evicted = views_.front();
                views_.erase(views_.begin());
            }
            views_.push_back(std::move(v));
        }
        if (evicted) unmap_and_close(*evicted);
    }

    // The view of the object named prefix + name.
    std::optional<ParkedView> take(const std::string& prefix, const std::string& name, std::size_t size,
                                   bool writable) {
        std::lock_guard<Lock> g(mutex_);
        for (auto it = views_.rbegin(); it != views_.rend(); ++it) {
            const std::string& n = it->objName;
            if (n.size() == prefix.size() + name.size() && n.compare(0, prefix.size(), prefix) == 0 &&
                n.compare(prefix.size(), name.size(), name) == 0 && it->size == size && it->writable == writable) {
                ParkedView v = std::move(*it);
                views_.erase(std::next(it).base());
                return v;
            }
        }
        return std::nullopt;
    }

private:
    Lock mutex_;
    std::vector<ParkedView> views_;
};
ParkedViews& parked_views() {
    static ParkedViews* p = ParkedViews::instance() = new ParkedViews;
    return *p;
}

}  // namespace

void unmap_and_close(ParkedView& v) {
    ShmWatch::instance().unwatch(v.ws);
    ::munmap(v.view, v.size);
    ::close(v.fd);
}

void park_view(ParkedView v) { parked_views().park(std::move(v)); }

std::optional<ParkedView> take_parked(const std::string& prefix, const std::string& name, std::size_t size,
                                      bool writable) {
    return parked_views().take(prefix, name, size, writable);
}

}  // namespace kelmo::platform::posix
