// The files of the library's named shared memories on Linux and the
// rules for them: where a namespace's files are and what they are called,
// which of them may be trusted, and the namespace-wide lock that opening,
// creating and closing run under (see shm_posix.cpp for the lifetime they
// give).
#pragma once

#include <sys/stat.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/lock.h"

namespace kelmo::platform::posix {

// A name the library may give an object (no '/', not empty, not too long).
bool valid_name(const std::string& s);
// The path prefix of every file of the namespace in use, and the path of
// a shared memory of this library.
const std::string& current_prefix();
std::string object_name(const std::string& name);
// The path of a namespace's lock object.
std::string lock_name(const std::string& prefix);

// The lock objects this process has open, one per namespace (by prefix).
// Never destroyed: handles kept until exit still take the lock in their
// destructors, whatever the order in which statics go.
struct LockTable {
    Lock mutex;  // between the threads of this process
    std::map<std::string, int> fds;
};
LockTable& lock_table();

// An object of this user that nobody else may write; trusted_fd also
// says so where it is not (once per object and cause, EACCES), with `st`
// what fstat said of it.
bool trusted(const struct stat& st);
bool trusted_fd(int fd, const std::string& objName, struct stat& st);
// An object whose open failed for want of permission: whose it is, for the
// line that says so.
void explain_denied(const std::string& objName);
// A descriptor of the object's file, to keep (what shm_open does in
// /dev/shm).
int open_object(const std::string& objName, int flags, mode_t mode = 0);
// True when nobody holds the object `fd` refers to (its holders all closed
// or died). Leaves no lock behind.
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
    explicit NamespaceLock(const std::string& prefix);
    ~NamespaceLock();
    bool ok() const { return fd_ >= 0; }
    // The namespace keeps an object: the lock object stays without looking.
    void in_use() { inUse_ = true; }
    // The path prefix of the namespace's files.
    const std::string& prefix() const { return prefix_; }
    // Removes the objects of the namespace whose holders all died (they
    // count as absent already; this gives their memory back), but `keep`.
    void remove_unheld(const std::string& keep);

    NamespaceLock(const NamespaceLock&) = delete;
    NamespaceLock& operator=(const NamespaceLock&) = delete;

private:
    // The paths of the namespace's objects, its lock object not among
    // them; nullopt when their folder cannot be read.
    std::optional<std::vector<std::string>> objects() const;

    std::string prefix_;
    std::lock_guard<Lock> guard_;
    int fd_ = -1;
    bool inUse_ = false;
};

}  // namespace kelmo::platform::posix
