// Named shared memory with the Windows lifetime, on memory-mapped files in
// the user's runtime folder, or in /dev/shm where there is none (see
// shm_place.h).
//
// Every open handle holds a shared flock() on its own descriptor of the
// object. The object therefore exists exactly while some descriptor holds
// such a lock: the last handle to close finds it can take an exclusive lock
// and removes the name; an object whose holders all died (their locks went
// with them) is found unlocked and counts as absent. Opening, creating and
// closing run under one namespace-wide lock so that a check and the action
// it decides on cannot interleave with another process.
//
// Opening and mapping an object costs a dozen system calls and fresh page
// faults, which a library that opens the same objects on every call pays
// again and again. A handle of an object that others still hold is
// therefore parked when it closes: its descriptor and mapping stay, with no
// lock, so it keeps nothing alive (the object goes when its other holders
// do, and a parked view of it is then never handed out again). The next
// open of the same name takes the parked view back after checking, in
// three calls, that the object is held by someone, still has its name and
// its size.
//
// The library's own uses for the length of one call (shm_use_existing)
// hold no lock at all: their views are parked again when they close, and
// taken back without a system call while the watch (shm_watch.h) says that
// nothing happened to the object since the view last asked about it.
#include "platform/posix/posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/shm_place.h"
#include "platform/posix/shm_watch.h"

namespace kelmo::platform::posix {
namespace {

// Each user has a namespace of their own unless KELMO_SHM_NAMESPACE names
// one (tests, and processes that share on purpose): the files of /dev/shm
// are common to the whole machine, where on Windows names belong to the
// session.
std::string shm_namespace() { return shm_namespace_name(); }

// The folder of the objects. A runtime folder that is not safe is not
// used, and a line says why, once per folder and cause.
std::string shm_folder() {
    ShmPlace place = shm_place();
    if (!place.refused.empty()) {
        static auto* m = new std::mutex;  // never destroyed, as the lock table
        static auto* told = new std::map<std::string, std::string>;
        const std::string x = std::getenv("XDG_RUNTIME_DIR");
        std::lock_guard<std::mutex> g(*m);
        auto& last = (*told)[x];
        if (last != place.refused) {
            last = place.refused;
            notice("kelmo: the runtime folder " + x + " (XDG_RUNTIME_DIR) " + place.refused +
                   ", so shared memory is kept in /dev/shm instead, where other users can see its names. "
                   "Point XDG_RUNTIME_DIR at a folder of your own with mode 0700, or unset it.\n");
        }
    }
    return place.folder;
}

bool valid_name(const std::string& s) {
    if (s.empty() || s.size() > 200) return false;
    for (char c : s)
        if (c == '/' || c == '\0') return false;
    return true;
}

// The path of every file of the namespace in use starts so: the folder,
// then "kelmo.<namespace>.". Worked out again (the folder checked again)
// only when the environment names another namespace or runtime folder: a
// call that takes a kept view back only compares names.
const std::string& current_prefix() {
    thread_local std::string envNs = "\n", envDir = "\n", prefix;  // "\n": no value is so
    const char* ns = std::getenv("KELMO_SHM_NAMESPACE");
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    const char* nowNs = ns ? ns : "";
    const char* nowDir = dir ? dir : "";
    if (envNs != nowNs || envDir != nowDir) {
        envNs = nowNs;
        envDir = nowDir;
        prefix = shm_folder() + "/kelmo." + shm_namespace() + ".";
    }
    return prefix;
}

// The path of a shared memory of this library.
std::string object_name(const std::string& name) { return current_prefix() + name; }

// The lock objects this process has open, one per namespace (by prefix). Never
// destroyed: handles kept until exit still take the lock in their
// destructors, whatever the order in which statics go.
struct LockTable {
    std::mutex mutex;  // between the threads of this process
    std::map<std::string, int> fds;
};
LockTable& lock_table() {
    static LockTable* t = new LockTable;
    return *t;
}

std::string lock_name(const std::string& prefix) { return prefix + "lock"; }

// Only an object of this user that nobody else may write is used: anyone
// may create a file in /dev/shm, so another user could otherwise plant an
// object for this process to trust, or deny it one. A refusal says so, once
// per object and cause, and fails with EACCES.
bool refuse(const std::string& objName, const struct stat& st) {
    static auto* m = new std::mutex;  // never destroyed, as the lock table
    static std::map<std::string, std::pair<uid_t, mode_t>>* told = new std::map<std::string, std::pair<uid_t, mode_t>>;
    const mode_t mode = st.st_mode & 07777;
    {
        std::lock_guard<std::mutex> g(*m);
        const auto seen = told->find(objName);
        if (seen == told->end() || seen->second != std::make_pair(st.st_uid, mode)) {
            (*told)[objName] = {st.st_uid, mode};
            char why[160];
            if (st.st_uid != ::geteuid())
                std::snprintf(why, sizeof why, "belongs to user %u, not to this user (%u)", unsigned(st.st_uid),
                              unsigned(::geteuid()));
            else
                std::snprintf(why, sizeof why, "lets other users write it (mode %04o)", unsigned(mode));
            notice("kelmo: the shared memory " + objName + " " + why +
                   ", so it is not used. Remove it, or set KELMO_SHM_NAMESPACE to a name of your own.\n");
        }
    }
    errno = EACCES;
    return false;
}

// An object of this user that nobody else may write.
bool trusted(const struct stat& st) { return st.st_uid == ::geteuid() && (st.st_mode & 022) == 0; }

// `st` receives what fstat said of it, for the caller to go on with.
bool trusted_fd(int fd, const std::string& objName, struct stat& st) {
    if (::fstat(fd, &st) != 0) return false;
    if (trusted(st)) return true;
    return refuse(objName, st);
}

// An object whose open failed for want of permission: whose it is, for the
// line that says so.
void explain_denied(const std::string& objName) {
    const int e = errno;
    struct stat st {};
    if (::lstat(objName.c_str(), &st) == 0 && !trusted(st)) {
        refuse(objName, st);
        return;
    }
    errno = e;
}

// A descriptor of the object's file, to keep (what shm_open does in
// /dev/shm).
int open_object(const std::string& objName, int flags, mode_t mode = 0) {
    return keep_above_stdio(::open(objName.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, mode));
}

bool unheld(int fd);

// Holds the namespace-wide lock for its lifetime: the process's mutex, and
// an exclusive flock() on the namespace's lock object between processes.
// Whoever holds it last with the namespace empty (its last object removed,
// or nothing found to open) removes the lock object too, unless it said
// that the namespace is in use; whoever then finds that the object it
// locked is no longer the one under the name starts again with a new one.
class NamespaceLock {
public:
    // The lock of the namespace whose files' paths start with `prefix`.
    explicit NamespaceLock(const std::string& prefix) : prefix_(prefix), guard_(lock_table().mutex) {
        auto& fds = lock_table().fds;
        const std::string name = lock_name(prefix_);
        for (int attempt = 0; attempt < 100; ++attempt) {
            auto it = fds.find(prefix_);
            int fd = it != fds.end() ? it->second : open_object(name, O_RDWR | O_CREAT, 0600);
            if (fd < 0) {
                if (errno != ENOENT) explain_denied(name);
                return;
            }
            struct stat st {};
            if (it == fds.end() && !trusted_fd(fd, name, st)) {
                ::close(fd);
                return;
            }
            fds[prefix_] = fd;
            while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
            }
            if (still_named(fd)) {
                fd_ = fd;
                return;
            }
            ::flock(fd, LOCK_UN);
            ::close(fd);
            fds.erase(prefix_);
        }
    }
    ~NamespaceLock() {
        if (fd_ < 0) return;
        if (!inUse_) {
            const int e = errno;  // the caller's failure stays what it was
            const auto names = objects();
            if (names && names->empty()) ::unlink(lock_name(prefix_).c_str());
            errno = e;
        }
        ::flock(fd_, LOCK_UN);
    }
    bool ok() const { return fd_ >= 0; }
    // The namespace keeps an object: the lock object stays without looking.
    void in_use() { inUse_ = true; }
    // The path prefix of the namespace's files.
    const std::string& prefix() const { return prefix_; }

    // Removes the objects of the namespace whose holders all died (they
    // count as absent already; this gives their memory back), but `keep`.
    void remove_unheld(const std::string& keep) {
        if (fd_ < 0) return;
        for (const std::string& n : objects().value_or(std::vector<std::string>{})) {
            if (n == keep) continue;
            const int fd = ::open(n.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
            if (fd < 0) continue;
            struct stat st {};
            const bool ours = ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid();
            if (ours && unheld(fd)) ::unlink(n.c_str());
            ::close(fd);
        }
    }

    NamespaceLock(const NamespaceLock&) = delete;
    NamespaceLock& operator=(const NamespaceLock&) = delete;

private:
    // The paths of the namespace's objects, its lock object not among
    // them; nullopt when their folder cannot be read.
    std::optional<std::vector<std::string>> objects() const {
        const std::size_t slash = prefix_.rfind('/');
        const std::string folder = prefix_.substr(0, slash == 0 ? 1 : slash), stem = prefix_.substr(slash + 1);
        const std::string self = lock_name(stem);
        std::vector<std::string> names;
        DIR* dir = ::opendir(folder.c_str());
        if (!dir) return std::nullopt;
        while (const dirent* e = ::readdir(dir)) {
            const std::string n = e->d_name;
            if (n.compare(0, stem.size(), stem) == 0 && n != self) names.push_back(prefix_.substr(0, slash + 1) + n);
        }
        ::closedir(dir);
        return names;
    }

    // True when the object `fd` refers to still has its name: the lock
    // object is only ever removed under the lock, so one that lost its name
    // was removed while we waited, and a new one may stand in its place.
    static bool still_named(int fd) {
        struct stat st {};
        return ::fstat(fd, &st) == 0 && st.st_nlink > 0;
    }

    std::string prefix_;
    std::lock_guard<std::mutex> guard_;
    int fd_ = -1;
    bool inUse_ = false;
};

// True when nobody holds the object `fd` refers to (its holders all closed
// or died). Leaves no lock behind.
bool unheld(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    ::flock(fd, LOCK_UN);
    return true;
}

// A view of an object whose handle closed while others held the object:
// the descriptor (holding no lock) and the mapping.
struct ParkedView {
    std::string objName;
    std::size_t prefixLen;  // of its namespace's files, in objName
    int fd;
    void* view;
    std::size_t size;
    bool writable;
    WatchState ws;
};

void unmap_and_close(ParkedView& v) {
    ShmWatch::instance().unwatch(v.ws);
    ::munmap(v.view, v.size);
    ::close(v.fd);
}

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
            std::lock_guard<std::mutex> g(mutex_);
            if (views_.size() >= kMax) {
                evicted = views_.front();
                views_.erase(views_.begin());
            }
            views_.push_back(std::move(v));
        }
        if (evicted) unmap_and_close(*evicted);
    }

    std::optional<ParkedView> take(const std::string& objName, std::size_t size, bool writable) {
        return take(objName, std::string(), size, writable);
    }
    // The view of the object named prefix + name.
    std::optional<ParkedView> take(const std::string& prefix, const std::string& name, std::size_t size,
                                   bool writable) {
        std::lock_guard<std::mutex> g(mutex_);
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
    std::mutex mutex_;
    std::vector<ParkedView> views_;
};
ParkedViews& parked_views() {
    static ParkedViews* p = ParkedViews::instance() = new ParkedViews;
    return *p;
}

// A view of an object: a holder (its descriptor holds a shared lock), or,
// for the length of a call, a view that holds nothing.
class PosixSharedMemory final : public SharedMemory {
public:
    PosixSharedMemory(ParkedView v, bool holds)
        : objName_(std::move(v.objName)), prefixLen_(v.prefixLen), fd_(v.fd), view_(v.view), size_(v.size), writable_(v.writable),
          holds_(holds), ws_(v.ws) {}

    ~PosixSharedMemory() override {
        if (!holds_) {
            parked_views().park({std::move(objName_), prefixLen_, fd_, view_, size_, writable_, ws_});
            return;
        }
        // Another handle still holds the object when our probe for an
        // exclusive lock fails: it lives on, and the view is parked.
        ::flock(fd_, LOCK_UN);
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            parked_views().park({std::move(objName_), prefixLen_, fd_, view_, size_, writable_, ws_});
            return;
        }
        ShmWatch::instance().unwatch(ws_);
        // Perhaps the last handle anywhere: decide under the namespace lock,
        // as the openers do. Turning no lock into an exclusive one succeeds
        // exactly when no other handle holds it; then the object goes, as
        // on Windows.
        ::flock(fd_, LOCK_UN);
        ::munmap(view_, size_);
        NamespaceLock lock(objName_.substr(0, prefixLen_));
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0)
            ::unlink(objName_.c_str());  // the lock object goes too when it was the last
        else
            lock.in_use();
        ::close(fd_);
    }

    void* data() const override { return view_; }
    std::size_t size() const override { return size_; }
    bool writable() const override { return writable_; }
    // A holder becomes a view for the length of a call.
    void let_go() {
        if (holds_) ::flock(fd_, LOCK_UN);
        holds_ = false;
    }
    bool intact() const override {
        ShmWatch& w = ShmWatch::instance();
        const ShmWatch::Look look = w.look(fd_, ws_, false);
        if (look.stands) return true;
        struct stat st {};
        const bool whole = ::fstat(fd_, &st) == 0 && static_cast<std::size_t>(st.st_size) >= size_;
        if (whole) w.asked(ws_, look, false);
        return whole;
    }

private:
    std::string objName_;
    std::size_t prefixLen_;
    int fd_;
    void* view_;
    std::size_t size_;
    bool writable_;
    bool holds_;
    mutable WatchState ws_;
};

// A parked view of objName back as a handle, when the object is still
// held by someone, still has its name and its size; nullptr otherwise (the
// view is then dropped and the caller opens by name, which also removes a
// name whose holders all died).
std::unique_ptr<PosixSharedMemory> unpark(const std::string& objName, std::size_t size, bool writable) {
    auto v = parked_views().take(objName, size, writable);
    if (!v) return nullptr;
    if (::flock(v->fd, LOCK_EX | LOCK_NB) == 0) {  // nobody holds it any more
        ::flock(v->fd, LOCK_UN);
        unmap_and_close(*v);
        return nullptr;
    }
    struct stat st {};
    if (::flock(v->fd, LOCK_SH) != 0 || ::fstat(v->fd, &st) != 0 || st.st_nlink == 0 ||
        static_cast<std::size_t>(st.st_size) < size) {
        ::flock(v->fd, LOCK_UN);
        unmap_and_close(*v);
        return nullptr;
    }
    return std::make_unique<PosixSharedMemory>(std::move(*v), true);
}

// Takes a descriptor on a live or new object, locks it shared and maps it;
// `st` is what fstat said of it.
std::unique_ptr<PosixSharedMemory> finish_open(const std::string& prefix, const std::string& objName, int fd,
                                               const struct stat& st, std::size_t size, bool writable) {
    if (static_cast<std::size_t>(st.st_size) < size || size == 0) {
        errno = EINVAL;
        ::close(fd);
        return nullptr;
    }
    if (::flock(fd, LOCK_SH) != 0) {
        ::close(fd);
        return nullptr;
    }
    void* view = ::mmap(nullptr, size, writable ? (PROT_READ | PROT_WRITE) : PROT_READ, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixSharedMemory>(ParkedView{objName, prefix.size(), fd, view, size, writable, {}}, true);
}

}  // namespace

SharedMemoryPtr shm_create_or_open(const std::string& name, std::size_t size, bool* created) {
    if (created) *created = false;
    if (!valid_name(name) || size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    NamespaceLock lock(current_prefix());
    if (!lock.ok()) return nullptr;
    const std::string objName = lock.prefix() + name;
    lock.remove_unheld(objName);
    int fd = open_object(objName, O_RDWR);
    if (fd < 0 && errno != ENOENT) {
        explain_denied(objName);
        return nullptr;
    }
    struct stat st {};
    if (fd >= 0 && !trusted_fd(fd, objName, st)) {
        ::close(fd);
        return nullptr;
    }
    if (fd >= 0 && unheld(fd)) {
        // Left behind by holders that died: it does not exist any more.
        ::close(fd);
        ::unlink(objName.c_str());
        fd = -1;
    }
    if (fd < 0) {
        fd = open_object(objName, O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd < 0) {
            explain_denied(objName);
            return nullptr;
        }
        if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {  // zero-filled
            const int e = errno;
            ::close(fd);
            ::unlink(objName.c_str());
            errno = e;
            return nullptr;
        }
        st.st_size = static_cast<off_t>(size);  // as just made
        if (created) *created = true;
    }
    auto made = finish_open(lock.prefix(), objName, fd, st, size, true);
    if (made) lock.in_use();
    return made;
}

namespace {

std::unique_ptr<PosixSharedMemory> open_holder(const std::string& name, std::size_t size, Access access) {
    if (!valid_name(name) || size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    const std::string prefix = current_prefix(), objName = prefix + name;
    const bool rw = access == Access::ReadWrite;
    if (auto parked = unpark(objName, size, rw)) return parked;
    // Under the lock, a namespace that turns out to have no object (none
    // of this name, or only one whose holders died) loses its lock object.
    NamespaceLock lock(prefix);
    if (!lock.ok()) return nullptr;
    int fd = open_object(objName, rw ? O_RDWR : O_RDONLY);
    if (fd < 0) {
        if (errno != ENOENT) explain_denied(objName);
        return nullptr;
    }
    struct stat st {};
    if (!trusted_fd(fd, objName, st)) {
        ::close(fd);
        return nullptr;
    }
    if (unheld(fd)) {
        ::close(fd);
        ::unlink(objName.c_str());
        errno = ENOENT;
        return nullptr;
    }
    auto opened = finish_open(prefix, objName, fd, st, size, rw);
    if (opened) lock.in_use();
    return opened;
}

// A parked view taken back for the length of a call: at once while the
// watch says nothing happened to the object since the view last asked,
// else after asking whether others hold it (one call that fails when they
// do) and whether it still has its name, its size, its owner and mode (one
// more). Null (the view dropped) when the answer is no.
std::unique_ptr<PosixSharedMemory> take_for_call(const std::string& name, std::size_t size, bool rw) {
    auto v = parked_views().take(current_prefix(), name, size, rw);
    if (!v) return nullptr;
    ShmWatch& w = ShmWatch::instance();
    const ShmWatch::Look look = w.look(v->fd, v->ws, true);
    if (look.stands) return std::make_unique<PosixSharedMemory>(std::move(*v), false);
    struct stat st {};
    if (::flock(v->fd, LOCK_EX | LOCK_NB) == 0) {  // nobody holds it any more
        ::flock(v->fd, LOCK_UN);
    } else if (::fstat(v->fd, &st) == 0 && st.st_nlink > 0 && static_cast<std::size_t>(st.st_size) >= size &&
               trusted(st)) {
        w.asked(v->ws, look, true);
        return std::make_unique<PosixSharedMemory>(std::move(*v), false);
    }
    unmap_and_close(*v);
    return nullptr;
}

}  // namespace

SharedMemoryPtr shm_open_existing(const std::string& name, std::size_t size, Access access) {
    return open_holder(name, size, access);
}

SharedMemoryPtr shm_use_existing(const std::string& name, std::size_t size, Access access) {
    if (!valid_name(name) || size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    if (auto kept = take_for_call(name, size, access == Access::ReadWrite)) return kept;
    // The first use, or the kept view went stale: opened by name as a
    // holder would be (which also removes a name whose holders all died),
    // then the lock goes.
    auto view = open_holder(name, size, access);
    if (view) view->let_go();
    return view;
}

std::string shm_where(const std::string& name) { return object_name(name); }

}  // namespace kelmo::platform::posix
