#include "platform/posix/shm_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/posix/posix.h"
#include "platform/posix/shm_place.h"

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
        static auto* m = new Lock;  // never destroyed, as the lock table
        static auto* told = new std::map<std::string, std::string>;
        const std::string x = std::getenv("XDG_RUNTIME_DIR");
        std::lock_guard<Lock> g(*m);
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

// Only an object of this user that nobody else may write is used: anyone
// may create a file in /dev/shm, so another user could otherwise plant an
// object for this process to trust, or deny it one. A refusal says so, once
// per object and cause, and fails with EACCES.
bool refuse(const std::string& objName, const struct stat& st) {
    static auto* m = new Lock;  // never destroyed, as the lock table
    static std::map<std::string, std::pair<uid_t, mode_t>>* told = new std::map<std::string, std::pair<uid_t, mode_t>>;
    const mode_t mode = st.st_mode & 07777;
    {
        std::lock_guard<Lock> g(*m);
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

// True when the object `fd` refers to still has its name: the lock
// object is only ever removed under the lock, so one that lost its name
// was removed while we waited, and a new one may stand in its place.
bool still_named(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && st.st_nlink > 0;
}

}  // namespace

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

LockTable& lock_table() {
    static LockTable* t = new LockTable;
    return *t;
}

std::string lock_name(const std::string& prefix) { return prefix + "lock"; }

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
int open_object(const std::string& objName, int flags, mode_t mode) {
    return keep_above_stdio(::open(objName.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, mode));
}


bool unheld(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    ::flock(fd, LOCK_UN);
    return true;
}

NamespaceLock::NamespaceLock(const std::string& prefix) : prefix_(prefix), guard_(lock_table().mutex) {
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

NamespaceLock::~NamespaceLock() {
    if (fd_ < 0) return;
    if (!inUse_) {
        const int e = errno;  // the caller's failure stays what it was
        const auto names = objects();
        if (names && names->empty()) ::unlink(lock_name(prefix_).c_str());
        errno = e;
    }
    ::flock(fd_, LOCK_UN);
}

void NamespaceLock::remove_unheld(const std::string& keep) {
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

std::optional<std::vector<std::string>> NamespaceLock::objects() const {
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

}  // namespace kelmo::platform::posix
