#include "platform/posix/shm_watch.h"

#include <pthread.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix.h"

namespace kelmo::platform::posix {
namespace {

constexpr uint64_t kDrainEveryNs = 1'000'000;      // within one long call
constexpr uint64_t kSettleNs = 100'000'000;        // a dying holder's locks go after its closes
constexpr uint64_t kHoldersAtMostNs = 1'000'000'000;

constexpr uint32_t kEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE | IN_DELETE_SELF;

uint64_t now_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);  // no system call where the vDSO serves it
    return uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec);
}

struct Entry {
    int views = 0;
    uint64_t events = 0;
    uint64_t lastEventNs = 0;
};

// The watcher's state. Never destroyed: views kept until exit still stop
// watching in their destructors, whatever the order in which statics go.
struct State {
    std::mutex mutex;
    int fd = -1;
    bool failed = false;  // inotify could not be had: nothing is watched
    std::map<int, Entry> entries;
    std::atomic<bool> disabled{false};  // in a child made by fork()
};
State& state() {
    static State* s = new State;
    return *s;
}

// The calling thread's last read of the queue: in which call, and when.
thread_local uint64_t t_drainedCall = 0;
thread_local uint64_t t_drainedNs = 0;

}  // namespace

ShmWatch& ShmWatch::instance() {
    static ShmWatch* w = new ShmWatch;
    return *w;
}

ShmWatch::ShmWatch() {
    ::pthread_atfork(nullptr, nullptr, [] { ShmWatch::instance().forget_after_fork(); });
}

void ShmWatch::forget_after_fork() {
    // One thread, and the mutex may have been held by another thread of the
    // parent: touch nothing but the flag and our copy of the descriptor.
    State& s = state();
    s.disabled = true;
    if (s.fd >= 0) ::close(s.fd);
    s.fd = -1;
}

void ShmWatch::watch_locked(int fd, WatchState& ws) {
    State& s = state();
    if (ws.tried) return;
    ws = WatchState{};
    ws.tried = true;
    if (s.failed) return;
    if (s.fd < 0) {
        s.fd = keep_above_stdio(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (s.fd < 0) {
            s.failed = true;
            return;
        }
    }
    // The object has no path of its own that is sure to be this object's
    // (its name may already stand for another); the descriptor's is.
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const int wd = ::inotify_add_watch(s.fd, path.c_str(), kEvents);
    if (wd < 0) return;
    ++s.entries[wd].views;
    ws.wd = wd;
}

void ShmWatch::unwatch(WatchState& ws) {
    State& s = state();
    if (s.disabled) return;
    std::lock_guard<std::mutex> g(s.mutex);
    const int wd = ws.wd;
    ws = WatchState{};
    if (wd < 0 || s.fd < 0) return;
    const auto it = s.entries.find(wd);
    if (it == s.entries.end() || --it->second.views > 0) return;
    s.entries.erase(it);
    ::inotify_rm_watch(s.fd, wd);
}

void ShmWatch::drain_locked() {
    State& s = state();
    const uint64_t call = call_epoch(), now = now_ns();
    if (call != 0 && call == t_drainedCall && now - t_drainedNs < kDrainEveryNs) return;
    t_drainedCall = call;
    t_drainedNs = now;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        const ssize_t n = ::read(s.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // EAGAIN: nothing (more) happened
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
            if (e->mask & IN_Q_OVERFLOW) {
                // Events were lost: every view asks again.
                for (auto& [wd, entry] : s.entries) ++entry.events, entry.lastEventNs = now;
            } else if (const auto it = s.entries.find(e->wd); it != s.entries.end()) {
                ++it->second.events;
                it->second.lastEventNs = now;
            }
            at += ssize_t(sizeof(inotify_event)) + e->len;
        }
    }
}

ShmWatch::Look ShmWatch::look(int fd, WatchState& ws, bool holders) {
    State& s = state();
    if (s.disabled) return {};
    std::lock_guard<std::mutex> g(s.mutex);
    watch_locked(fd, ws);
    if (ws.wd < 0 || s.fd < 0) return {};
    drain_locked();
    const auto it = s.entries.find(ws.wd);
    if (it == s.entries.end()) return {};
    const Entry& e = it->second;
    Look l{false, e.events, true};
    if (!holders) {
        l.stands = ws.asked && ws.askedAt == e.events;
    } else {
        l.stands = ws.holdersAsked && ws.holdersAt == e.events && ws.holdersNs - e.lastEventNs >= kSettleNs &&
                   now_ns() - ws.holdersNs < kHoldersAtMostNs;
    }
    return l;
}

void ShmWatch::asked(WatchState& ws, const Look& before, bool holders) {
    if (!before.valid) return;
    std::lock_guard<std::mutex> g(state().mutex);
    ws.asked = true;
    ws.askedAt = before.events;
    if (holders) {
        ws.holdersAsked = true;
        ws.holdersAt = before.events;
        ws.holdersNs = now_ns();
    }
}

}  // namespace kelmo::platform::posix
