// Named shared memory of the real backend, across processes: it lives while
// any process holds it, goes with the last close, and counts as absent
// once its only holder was killed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "peer_process.h"
#include "platform/platform.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#endif

namespace kelmo::test {
namespace {

using platform::Access;

std::string peer_command(const std::string& name, int value, int ms) {
    return std::string(KELMO_SHM_PEER) + " hold " + name + " " + std::to_string(value) + " " + std::to_string(ms);
}

platform::SharedMemoryPtr open_existing(const std::string& name) {
    return platform::current().shm_open_existing(name, 1024, Access::ReadWrite);
}

// Every run gets names of its own.
std::string unique(const char* stem) {
    return std::string(stem) + "_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007);
}

TEST(SharedMemoryAcrossProcesses, PersistsWhileAnyHolderLives) {
    const std::string name = unique("persist");
    {
        PeerProcess peer(peer_command(name, 4711, 300));
        ASSERT_TRUE(peer.ready());
        auto mine = open_existing(name);
        ASSERT_NE(mine, nullptr);
        EXPECT_EQ(mine->word(0), 4711);
        mine->set_word(1, 42);
        EXPECT_EQ(peer.wait(), 0);  // the creator has gone; we still hold it
        auto again = open_existing(name);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again->word(0), 4711);
        EXPECT_EQ(again->word(1), 42);
    }
    EXPECT_EQ(open_existing(name), nullptr);  // last handle closed
}

TEST(SharedMemoryAcrossProcesses, GoneAfterItsOnlyHolderExits) {
    const std::string name = unique("exit");
    PeerProcess peer(peer_command(name, 1, 0));
    ASSERT_TRUE(peer.ready());
    EXPECT_EQ(peer.wait(), 0);
    EXPECT_EQ(open_existing(name), nullptr);
    // Created anew, it is zero-filled again.
    bool created = false;
    auto fresh = platform::current().shm_create_or_open(name, 1024, &created);
    ASSERT_NE(fresh, nullptr);
    EXPECT_TRUE(created);
    EXPECT_EQ(fresh->word(0), 0);
}

TEST(SharedMemoryAcrossProcesses, AbsentAfterItsOnlyHolderWasKilled) {
    const std::string name = unique("killed");
    PeerProcess peer(peer_command(name, 7, 60000));
    ASSERT_TRUE(peer.ready());
    {
        auto seen = open_existing(name);
        ASSERT_NE(seen, nullptr);
        EXPECT_EQ(seen->word(0), 7);
    }
    peer.kill();
    peer.wait();
    EXPECT_EQ(open_existing(name), nullptr);
    bool created = false;
    auto fresh = platform::current().shm_create_or_open(name, 1024, &created);
    ASSERT_NE(fresh, nullptr);
    EXPECT_TRUE(created);
    EXPECT_EQ(fresh->word(0), 0);
}

// Opening the same object again after closing it (as the library does on
// every call) always sees the object under the name as it is now: gone
// once its holder exited, the new one after a restart.
TEST(SharedMemoryAcrossProcesses, ReopenSeesTheObjectAsItIsNow) {
    const std::string name = unique("reopen");
    for (int value : {11, 12}) {
        PeerProcess peer(peer_command(name, value, 300));
        ASSERT_TRUE(peer.ready());
        for (int i = 0; i < 3; ++i) {
            auto seen = open_existing(name);
            ASSERT_NE(seen, nullptr);
            EXPECT_EQ(seen->word(0), value);
            seen->set_word(1, value + i);
        }
        EXPECT_EQ(open_existing(name)->word(1), value + 2);
        EXPECT_EQ(peer.wait(), 0);
        EXPECT_EQ(open_existing(name), nullptr) << value;
    }
}

TEST(SharedMemoryAcrossProcesses, ReadOnlyViewAndSizeChecks) {
    const std::string name = unique("view");
    auto mine = platform::current().shm_create_or_open(name, 1024, nullptr);
    ASSERT_NE(mine, nullptr);
    mine->set_word(3, -5);
    auto ro = platform::current().shm_open_existing(name, 1024, Access::ReadOnly);
    ASSERT_NE(ro, nullptr);
    EXPECT_FALSE(ro->writable());
    EXPECT_EQ(ro->word(3), -5);
    // A view larger than the object is refused.
    EXPECT_EQ(platform::current().shm_open_existing(name, 1 << 20, Access::ReadOnly), nullptr);
#ifndef _WIN32
    // Only the owner may open it.
    const char* ns = std::getenv("KELMO_SHM_NAMESPACE");
    const std::string path = "/dev/shm/kelmo." + std::string(ns && *ns ? ns : "default") + "." + name;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
}

#ifndef _WIN32
// Entries of a namespace in /dev/shm.
int entries_of(const std::string& ns) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/dev/shm"))
        if (e.path().filename().string().rfind("kelmo." + ns + ".", 0) == 0) ++n;
    return n;
}

// When the last holder of a namespace's last object closes it, nothing of
// the namespace is left, its lock object included; the namespace works as
// before afterwards.
TEST(SharedMemoryAcrossProcesses, NamespaceLeavesNothingBehind) {
    const char* before = std::getenv("KELMO_SHM_NAMESPACE");
    const std::string saved = before ? before : "";
    const std::string ns = unique("clean");
    set_env("KELMO_SHM_NAMESPACE", ns.c_str());
    for (int round = 0; round < 2; ++round) {
        PeerProcess peer(peer_command("held", 7, 200));
        ASSERT_TRUE(peer.ready());
        auto mine = platform::current().shm_create_or_open("mine", 1024, nullptr);
        ASSERT_NE(mine, nullptr);
        EXPECT_EQ(open_existing("held")->word(0), 7);
        EXPECT_EQ(entries_of(ns), 3);  // two objects and the lock
        mine.reset();
        EXPECT_EQ(peer.wait(), 0);
        EXPECT_EQ(entries_of(ns), 0) << round;
    }
    set_env("KELMO_SHM_NAMESPACE", before ? saved.c_str() : nullptr);
}

// The memory of objects whose only holder was killed comes back as soon as
// the namespace creates an object again.
TEST(SharedMemoryAcrossProcesses, KilledHoldersObjectsGoOnTheNextCreation) {
    const char* before = std::getenv("KELMO_SHM_NAMESPACE");
    const std::string saved = before ? before : "";
    const std::string ns = unique("killed");
    set_env("KELMO_SHM_NAMESPACE", ns.c_str());
    {
        PeerProcess peer(peer_command("left", 7, 60000));
        ASSERT_TRUE(peer.ready());
        peer.kill();
        peer.wait();
        EXPECT_EQ(entries_of(ns), 2);  // the object and the lock, both held by nobody
        auto mine = platform::current().shm_create_or_open("mine", 1024, nullptr);
        ASSERT_NE(mine, nullptr);
        EXPECT_EQ(entries_of(ns), 2);  // mine and the lock
        mine.reset();
        EXPECT_EQ(entries_of(ns), 0);
    }
    set_env("KELMO_SHM_NAMESPACE", before ? saved.c_str() : nullptr);
}

// A child made by fork() holds an object on its own: closing the parent's
// handle of it (the parent had opened and closed it before the fork) does
// not end the child's hold.
TEST(SharedMemoryAcrossProcesses, ForkedChildHoldsOnItsOwn) {
    const std::string name = unique("fork");
    PeerProcess peer(peer_command(name, 5, 300));
    ASSERT_TRUE(peer.ready());
    open_existing(name).reset();
    int up[2], down[2];
    ASSERT_EQ(::pipe(up), 0);
    ASSERT_EQ(::pipe(down), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto held = open_existing(name);
        char c = held ? 'r' : 'x';
        (void)!::write(up[1], &c, 1);
        (void)!::read(down[0], &c, 1);
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(up[0], &c, 1), 1);
    EXPECT_EQ(c, 'r');
    open_existing(name).reset();
    EXPECT_EQ(peer.wait(), 0);
    EXPECT_NE(open_existing(name), nullptr);  // the child still holds it
    (void)!::write(down[1], &c, 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    for (int fd : {up[0], up[1], down[0], down[1]}) ::close(fd);
    EXPECT_EQ(open_existing(name), nullptr);
}

// Another process shrinks an object under a view: the view says so, so a
// holder can refuse to write through it instead of faulting.
TEST(SharedMemoryAcrossProcesses, ShrunkObjectIsNoticed) {
    const std::string name = unique("shrunk");
    auto mine = platform::current().shm_create_or_open(name, 4096, nullptr);
    ASSERT_NE(mine, nullptr);
    EXPECT_TRUE(mine->intact());
    const char* ns = std::getenv("KELMO_SHM_NAMESPACE");
    const std::string path = "/dev/shm/kelmo." + std::string(ns && *ns ? ns : "default") + "." + name;
    // A view closed before the object shrank is not handed out again.
    platform::current().shm_open_existing(name, 4096, Access::ReadWrite).reset();
    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
    EXPECT_FALSE(mine->intact());
    EXPECT_EQ(platform::current().shm_open_existing(name, 4096, Access::ReadWrite), nullptr);
}
#endif

}  // namespace
}  // namespace kelmo::test
