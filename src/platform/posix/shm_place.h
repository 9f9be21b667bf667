// The folder where the library's named shared memories are files, and the
// rule that picks it, in one place: the library, the tools and the tests
// must all look in the same folder.
//
// The names of /dev/shm are common to the whole machine: another user can
// guess the name of this user's namespace and plant a file under it, which
// is refused, but then denies this user that object (or, planted under the
// namespace's lock, every object). The user's runtime folder
// (XDG_RUNTIME_DIR, /run/user/<uid>, mode 0700, memory-backed) is the
// user's alone, so the objects live there whenever it is set and is safe:
// a folder, not a symbolic link, owned by this user and writable by nobody
// else. Without one they stay in /dev/shm, where every object is checked
// before it is used.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kelmo::platform::posix {

struct ShmPlace {
    std::string folder;   // without a trailing slash
    std::string refused;  // why XDG_RUNTIME_DIR is not used; empty when it is, or is not set
};

inline ShmPlace shm_place() {
    const char* x = std::getenv("XDG_RUNTIME_DIR");
    if (!x || !*x) return {"/dev/shm", {}};
    std::string dir = x;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    const auto refuse = [](const std::string& why) { return ShmPlace{"/dev/shm", why}; };
    if (dir[0] != '/') return refuse("is not an absolute path");
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return refuse(std::string("cannot be looked at (") + std::strerror(errno) + ")");
    if (S_ISLNK(st.st_mode)) return refuse("is a symbolic link");
    if (!S_ISDIR(st.st_mode)) return refuse("is not a folder");
    char why[120];
    if (st.st_uid != ::geteuid()) {
        std::snprintf(why, sizeof why, "belongs to user %u, not to this user (%u)", unsigned(st.st_uid),
                      unsigned(::geteuid()));
        return refuse(why);
    }
    if (st.st_mode & 022) {
        std::snprintf(why, sizeof why, "lets other users write in it (mode %04o)", unsigned(st.st_mode & 07777));
        return refuse(why);
    }
    return {dir, {}};
}

// The namespace in use: KELMO_SHM_NAMESPACE, else the user's own.
inline std::string shm_namespace_name() {
    const char* ns = std::getenv("KELMO_SHM_NAMESPACE");
    return (ns && *ns) ? std::string(ns) : "default-" + std::to_string(::geteuid());
}

// The file of object `name` of the namespace in use, where it is now.
inline std::string shm_file(const std::string& name) {
    return shm_place().folder + "/kelmo." + shm_namespace_name() + "." + name;
}

}  // namespace kelmo::platform::posix
