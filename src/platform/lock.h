// The library's locks. On Windows they are slim reader/writer locks, which
// hold no handle and need no state of a threading runtime, so that a DLL
// unloaded after use leaves nothing behind; elsewhere the standard ones.
// Both kinds are constant-initialised: a lock at namespace scope is ready
// before any code runs and needs no guard.
#pragma once

#ifdef _WIN32
#include <atomic>
#else
#include <mutex>
#endif

namespace kelmo::platform {

#ifdef _WIN32
class Lock {
public:
    constexpr Lock() noexcept = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void lock() noexcept;
    void unlock() noexcept;

private:
    void* word_ = nullptr;  // an SRWLOCK
};

// May be taken again by the thread that holds it.
class RecursiveLock {
public:
    constexpr RecursiveLock() noexcept = default;
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;
    void lock() noexcept;
    void unlock() noexcept;

private:
    Lock lock_;
    std::atomic<unsigned long> owner_{0};  // the holding thread's id, 0 when free
    unsigned long depth_ = 0;
};
#else
using Lock = std::mutex;
using RecursiveLock = std::recursive_mutex;
#endif

}  // namespace kelmo::platform
