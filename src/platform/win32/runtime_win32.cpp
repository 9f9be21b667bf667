// The compiler runtime's thread support, made of Win32 primitives that a
// DLL can give back when it is unloaded.
//
// GCC's runtime for this target builds thread-safe static initialisation
// and thread_local variables on winpthreads, whose state (a key, events,
// semaphores, a duplicated thread handle) is made once per load of the
// DLL and never released: a host that loads and unloads kelmo.dll for each
// measurement would lose handles and memory on every cycle. The functions
// below take the place of the runtime's own (the linker takes a symbol from
// the runtime's archives only where no object of the DLL defines it):
//  - __cxa_guard_*: the guards of function-local statics, on one slim
//    reader/writer lock and one condition variable (no handles at all);
//  - __emutls_get_address: thread_local variables, kept per thread in one
//    fiber-local slot whose release at unload frees every thread's copies;
//  - __cxa_thread_atexit: the destructors of those variables, run when the
//    thread ends or, for the threads still there, when the DLL is unloaded
//    (they must not use other thread_local variables).
// What is left of winpthreads (the unwinder's registration of this DLL's
// frames on x86 uses it as the DLL is loaded) keeps a record with an event
// and a thread handle for the thread that loaded it; that record is given
// back, as winpthreads does for a thread that ends, when the DLL is
// unloaded, just before winpthreads itself lets go.
#include <windows.h>

#include <cstdint>
#include <cstring>

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_changed = CONDITION_VARIABLE_INIT;

// A guard's first byte says "done" (what the compiler's inline check
// reads), its second "being initialised".
unsigned char* bytes_of(void* guard) { return static_cast<unsigned char*>(guard); }

// ---- thread_local --------------------------------------------------------------
// What the compiler emits for each thread_local variable.
struct EmutlsObject {
    std::uintptr_t size;
    std::uintptr_t align;
    std::uintptr_t index;  // 0 until the variable was first used; then 1, 2, ...
    const void* initial;   // its initial bytes; null for zeros
};

// A destructor of this target's C++ ABI: a member function, so on x86
// (32-bit) of the thiscall convention.
#if defined(__i386__)
using Destructor = void(__attribute__((thiscall)) *)(void*);
#else
using Destructor = void (*)(void*);
#endif
struct AtExit {
    Destructor destroy;
    void* object;
    AtExit* next;
};

// One thread's copies: copy[i - 1] for index i, and the destructors to
// run before they go (the latest first).
struct Copies {
    AtExit* atExit;
    std::uintptr_t count;
    void* copy[1];
};

std::uintptr_t g_variables = 0;   // indices given out (under g_lock)
DWORD g_slot = FLS_OUT_OF_INDEXES;  // set once (under g_lock)

void* heap_alloc(std::size_t bytes) { return ::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, bytes); }
void heap_free(void* p) {
    if (p) ::HeapFree(::GetProcessHeap(), 0, p);
}

// A copy is allocated with room to align it; the allocation's start is
// kept just before it.
void* new_copy(const EmutlsObject& v) {
    const std::uintptr_t align = v.align > sizeof(void*) ? v.align : sizeof(void*);
    auto* raw = static_cast<unsigned char*>(heap_alloc(v.size + align + sizeof(void*)));
    if (!raw) return nullptr;
    auto at = (reinterpret_cast<std::uintptr_t>(raw) + sizeof(void*) + align - 1) & ~(align - 1);
    void* p = reinterpret_cast<void*>(at);
    std::memcpy(static_cast<unsigned char*>(p) - sizeof(void*), &raw, sizeof raw);
    if (v.initial) std::memcpy(p, v.initial, v.size);
    return p;
}
void free_copy(void* p) {
    if (!p) return;
    void* raw;
    std::memcpy(&raw, static_cast<unsigned char*>(p) - sizeof(void*), sizeof raw);
    heap_free(raw);
}

// Called for a thread's copies when it ends, and for every thread's when
// the slot is released.
void WINAPI free_copies(void* p) {
    auto* c = static_cast<Copies*>(p);
    if (!c) return;
    while (AtExit* e = c->atExit) {
        c->atExit = e->next;
        e->destroy(e->object);
        heap_free(e);
    }
    for (std::uintptr_t i = 0; i < c->count; ++i) free_copy(c->copy[i]);
    heap_free(c);
}

DWORD slot() {
    DWORD s = __atomic_load_n(&g_slot, __ATOMIC_ACQUIRE);
    if (s != FLS_OUT_OF_INDEXES) return s;
    ::AcquireSRWLockExclusive(&g_lock);
    if (g_slot == FLS_OUT_OF_INDEXES) __atomic_store_n(&g_slot, ::FlsAlloc(free_copies), __ATOMIC_RELEASE);
    s = g_slot;
    ::ReleaseSRWLockExclusive(&g_lock);
    return s;
}

// This thread's copies, with room for `count` of them at least.
Copies* copies_of_this_thread(std::uintptr_t count) {
    const DWORD s = slot();
    if (s == FLS_OUT_OF_INDEXES) ::FatalAppExitA(0, "kelmo: no fiber-local slot is left for thread-local data");
    auto* c = static_cast<Copies*>(::FlsGetValue(s));
    if (c && c->count >= count) return c;
    const std::uintptr_t room = count + 16;
    auto* grown = static_cast<Copies*>(heap_alloc(sizeof(Copies) + (room - 1) * sizeof(void*)));
    if (!grown) ::FatalAppExitA(0, "kelmo: no memory is left for thread-local data");
    grown->count = room;
    if (c) {
        grown->atExit = c->atExit;
        std::memcpy(grown->copy, c->copy, c->count * sizeof(void*));
        heap_free(c);
    }
    ::FlsSetValue(s, grown);
    return grown;
}

// Released last of all at unload (and at the process's end): every
// thread's copies go with the slot.
struct ReleasedAtUnload {
    ~ReleasedAtUnload() {
        if (g_slot != FLS_OUT_OF_INDEXES) ::FlsFree(g_slot);
        g_slot = FLS_OUT_OF_INDEXES;
    }
};
__attribute__((init_priority(101))) ReleasedAtUnload g_released;

// winpthreads' own callback for threads and the process (a TLS callback,
// absent where the runtime has no winpthreads). The callbacks run in the
// order of their sections' names: ours comes first.
extern "C" __attribute__((weak)) PIMAGE_TLS_CALLBACK __xl_f;
void NTAPI before_winpthreads(PVOID module, DWORD reason, PVOID reserved) {
    const bool unloaded = reason == DLL_PROCESS_DETACH && reserved == nullptr;
    if (unloaded && &__xl_f != nullptr && __xl_f) __xl_f(module, DLL_THREAD_DETACH, nullptr);
}
extern "C" __attribute__((section(".CRT$XLE"), used)) const PIMAGE_TLS_CALLBACK kelmo_before_winpthreads =
    before_winpthreads;

}  // namespace

extern "C" {

int __cxa_guard_acquire(std::uint64_t* guard) {
    unsigned char* g = bytes_of(guard);
    if (__atomic_load_n(&g[0], __ATOMIC_ACQUIRE)) return 0;
    ::AcquireSRWLockExclusive(&g_lock);
    for (;;) {
        if (g[0]) {
            ::ReleaseSRWLockExclusive(&g_lock);
            return 0;
        }
        if (!g[1]) {
            g[1] = 1;
            ::ReleaseSRWLockExclusive(&g_lock);
            return 1;
        }
        ::SleepConditionVariableSRW(&g_changed, &g_lock, INFINITE, 0);
    }
}

void __cxa_guard_release(std::uint64_t* guard) {
    unsigned char* g = bytes_of(guard);
    ::AcquireSRWLockExclusive(&g_lock);
    g[1] = 0;
    __atomic_store_n(&g[0], 1, __ATOMIC_RELEASE);
    ::ReleaseSRWLockExclusive(&g_lock);
    ::WakeAllConditionVariable(&g_changed);
}

void __cxa_guard_abort(std::uint64_t* guard) {
    unsigned char* g = bytes_of(guard);
    ::AcquireSRWLockExclusive(&g_lock);
    g[1] = 0;
    ::ReleaseSRWLockExclusive(&g_lock);
    ::WakeAllConditionVariable(&g_changed);
}

// Out of memory or out of slots there is no copy to give: the program
// ends, as the runtime's own does.
void* __emutls_get_address(EmutlsObject* v) {
    std::uintptr_t index = __atomic_load_n(&v->index, __ATOMIC_ACQUIRE);
    if (index == 0) {
        ::AcquireSRWLockExclusive(&g_lock);
        index = v->index;
        if (index == 0) {
            index = ++g_variables;
            __atomic_store_n(&v->index, index, __ATOMIC_RELEASE);
        }
        ::ReleaseSRWLockExclusive(&g_lock);
    }
    Copies* c = copies_of_this_thread(index);
    void*& p = c->copy[index - 1];
    if (!p) p = new_copy(*v);
    if (!p) ::FatalAppExitA(0, "kelmo: no memory is left for thread-local data");
    return p;
}

int __cxa_thread_atexit(Destructor destroy, void* object, void*) {
    auto* e = static_cast<AtExit*>(heap_alloc(sizeof(AtExit)));
    if (!e) return -1;
    Copies* c = copies_of_this_thread(1);
    *e = {destroy, object, c->atExit};
    c->atExit = e;
    return 0;
}

}  // extern "C"

// ---- the library's locks -------------------------------------------------------
#include "platform/lock.h"

namespace kelmo::platform {

static_assert(sizeof(void*) == sizeof(SRWLOCK));

void Lock::lock() noexcept { ::AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&word_)); }
void Lock::unlock() noexcept { ::ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&word_)); }

void RecursiveLock::lock() noexcept {
    const unsigned long me = ::GetCurrentThreadId();
    if (owner_.load(std::memory_order_relaxed) == me) {
        ++depth_;
        return;
    }
    lock_.lock();
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
}

void RecursiveLock::unlock() noexcept {
    if (--depth_ > 0) return;
    owner_.store(0, std::memory_order_relaxed);
    lock_.unlock();
}

}  // namespace kelmo::platform
