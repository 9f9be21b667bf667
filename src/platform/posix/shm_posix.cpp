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
//
// The files and their rules are shm_names.*, the parked views shm_parked.*.
#include "platform/posix/posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include "platform/posix/shm_names.h"
#include "platform/posix/shm_parked.h"
#include "platform/posix/shm_watch.h"

namespace kelmo::platform::posix {
namespace {

// A view of an object: a holder (its descriptor holds a shared lock), or,
// for the length of a call, a view that holds nothing.
class PosixSharedMemory final : public SharedMemory {
public:
    PosixSharedMemory(ParkedView v, bool holds)
        : objName_(std::move(v.objName)), prefixLen_(v.prefixLen), fd_(v.fd), view_(v.view), size_(v.size), writable_(v.writable),
          holds_(holds), ws_(v.ws) {}

    ~PosixSharedMemory() override {
        if (!holds_) {
            park_view({std::move(objName_), prefixLen_, fd_, view_, size_, writable_, ws_});
            return;
        }
        // Another handle still holds the object when our probe for an
        // exclusive lock fails: it lives on, and the view is parked.
        ::flock(fd_, LOCK_UN);
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            park_view({std::move(objName_), prefixLen_, fd_, view_, size_, writable_, ws_});
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
    auto v = take_parked(objName, std::string(), size, writable);
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

namespace {
class PosixSharedMemories final : public SharedMemories {
public:
    SharedMemoryPtr shm_create_or_open(const std::string& name, std::size_t size, bool* created) override;
    SharedMemoryPtr shm_open_existing(const std::string& name, std::size_t size, Access access) override;
    SharedMemoryPtr shm_use_existing(const std::string& name, std::size_t size, Access access) override;
    std::string shm_where(const std::string& name) override;
};
}  // namespace

SharedMemoryPtr PosixSharedMemories::shm_create_or_open(const std::string& name, std::size_t size, bool* created) {
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
    auto v = take_parked(current_prefix(), name, size, rw);
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

SharedMemoryPtr PosixSharedMemories::shm_open_existing(const std::string& name, std::size_t size, Access access) {
    return open_holder(name, size, access);
}

SharedMemoryPtr PosixSharedMemories::shm_use_existing(const std::string& name, std::size_t size, Access access) {
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

std::string PosixSharedMemories::shm_where(const std::string& name) { return object_name(name); }

SharedMemories& shared_memories() {
    static PosixSharedMemories instance;
    return instance;
}

}  // namespace kelmo::platform::posix
