// Named shared memory of the real backend, across processes: it lives while
// any process holds it, goes with the last close, and counts as absent
// once its only holder was killed. (Its objects as files, in the user's
// runtime folder or /dev/shm, are tested in test_shared_memory_posix.cpp.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "peer_process.h"
#include "platform/platform.h"
#include "shared_memory_test.h"

namespace kelmo::test {
namespace {

using platform::Access;

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
    auto fresh = platform::current().shm.shm_create_or_open(name, 1024, &created);
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
    auto fresh = platform::current().shm.shm_create_or_open(name, 1024, &created);
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

// The library's views for one call are kept between calls, and go on
// without asking the system while nothing happens to their object: what
// does happen is seen on the next use, however long the view stood.
TEST(SharedMemoryAcrossProcesses, ViewsForACallSeeWhatBecameOfTheirObject) {
    const std::string name = unique("use");
    const auto use = [&] { return platform::current().shm.shm_use_existing(name, 1024, Access::ReadWrite); };
    for (int value : {21, 22}) {  // the second: a new object under the same name
        PeerProcess peer(peer_command(name, value, 60000));
        ASSERT_TRUE(peer.ready());
        for (int i = 0; i < 3; ++i) {
            auto seen = use();
            ASSERT_NE(seen, nullptr);
            EXPECT_EQ(seen->word(0), value);
            seen->set_word(1, value + i);
            seen.reset();
            std::this_thread::sleep_for(std::chrono::milliseconds(150));  // long past any settling
        }
        EXPECT_EQ(open_existing(name)->word(1), value + 2);
        peer.kill();
        peer.wait();
        EXPECT_EQ(use(), nullptr) << value;  // its only holder died
    }
}

// Threads check the views the process keeps and take views for a call at
// the same time (a race here shows under a thread checker).
TEST(SharedMemoryAcrossProcesses, ThreadsUseKeptViewsAtOnce) {
    const std::string name = unique("threads"), own = unique("ownthreads");
    PeerProcess peer(peer_command(name, 31, 60000));
    ASSERT_TRUE(peer.ready());
    auto mine = platform::current().shm.shm_create_or_open(own, 1024, nullptr);
    ASSERT_NE(mine, nullptr);
    std::atomic<int> bad{0};
    const auto work = [&] {
        for (int i = 0; i < 300; ++i) {
            if (!mine->intact()) ++bad;
            auto seen = platform::current().shm.shm_use_existing(name, 1024, Access::ReadWrite);
            if (!seen || seen->word(0) != 31) ++bad;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(bad.load(), 0);
    peer.kill();
    peer.wait();
}

TEST(SharedMemoryAcrossProcesses, ReadOnlyViewAndSizeChecks) {
    const std::string name = unique("view");
    auto mine = platform::current().shm.shm_create_or_open(name, 1024, nullptr);
    ASSERT_NE(mine, nullptr);
    mine->set_word(3, -5);
    auto ro = platform::current().shm.shm_open_existing(name, 1024, Access::ReadOnly);
    ASSERT_NE(ro, nullptr);
    EXPECT_FALSE(ro->writable());
    EXPECT_EQ(ro->word(3), -5);
    // A view larger than the object is refused.
    EXPECT_EQ(platform::current().shm.shm_open_existing(name, 1 << 20, Access::ReadOnly), nullptr);
    // Where the object is a file, only the owner may open it.
    const std::string path = shm_object_file(name);
    if (path.empty()) return;
    std::error_code ec;
    const auto st = std::filesystem::status(path, ec);
    ASSERT_FALSE(ec) << path;
    EXPECT_EQ(st.permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

}  // namespace
}  // namespace kelmo::test
