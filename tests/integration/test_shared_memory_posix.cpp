// Named shared memory on Linux, where its objects are files in the user's
// runtime folder (else in /dev/shm): they are there and nowhere else, an
// unsafe runtime folder is not used, a namespace leaves nothing behind, a
// forked child holds on its own, a shrunk object is noticed, objects
// planted by other users are refused, and the standard descriptors are
// never taken.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kelmo.h"
#include "peer_process.h"
#include "platform/platform.h"
#include "shared_memory_test.h"

namespace kelmo::test {
namespace {

using platform::Access;

// Entries of a namespace in its folder.
int entries_of(const std::string& ns) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(shm_folder()))
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
        auto mine = platform::current().shm.shm_create_or_open("mine", 1024, nullptr);
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
        auto mine = platform::current().shm.shm_create_or_open("mine", 1024, nullptr);
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
    auto mine = platform::current().shm.shm_create_or_open(name, 4096, nullptr);
    ASSERT_NE(mine, nullptr);
    EXPECT_TRUE(mine->intact());
    const std::string path = shm_object_file(name);
    // A view closed before the object shrank is not handed out again.
    platform::current().shm.shm_open_existing(name, 4096, Access::ReadWrite).reset();
    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
    EXPECT_FALSE(mine->intact());
    EXPECT_EQ(platform::current().shm.shm_open_existing(name, 4096, Access::ReadWrite), nullptr);
}

// A view for a call that stood a while (the system was not asked about it)
// still sees its object shrink.
TEST(SharedMemoryAcrossProcesses, StandingViewSeesItsObjectShrink) {
    const std::string name = unique("standing");
    auto mine = platform::current().shm.shm_create_or_open(name, 4096, nullptr);
    ASSERT_NE(mine, nullptr);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(platform::current().shm.shm_use_existing(name, 4096, Access::ReadWrite), nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    ASSERT_EQ(::truncate(shm_object_file(name).c_str(), 0), 0);
    EXPECT_EQ(platform::current().shm.shm_use_existing(name, 4096, Access::ReadWrite), nullptr);
    EXPECT_FALSE(mine->intact());
}

// What the system tells this process about its views is not taken by a
// child made by fork(): the child asks the system itself, and the parent
// still learns that the holder of its view died.
TEST(SharedMemoryAcrossProcesses, ChildDoesNotTakeItsParentsNews) {
    const std::string name = unique("news"), own = unique("own");
    auto mine = platform::current().shm.shm_create_or_open(own, 1024, nullptr);
    ASSERT_NE(mine, nullptr);
    EXPECT_TRUE(mine->intact());
    PeerProcess peer(peer_command(name, 3, 60000));
    ASSERT_TRUE(peer.ready());
    for (int i = 0; i < 2; ++i) {
        EXPECT_NE(platform::current().shm.shm_use_existing(name, 1024, Access::ReadWrite), nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    peer.kill();
    peer.wait();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool whole = true;
        for (int i = 0; i < 3; ++i) whole = mine->intact() && whole;
        ::_exit(whole ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(platform::current().shm.shm_use_existing(name, 1024, Access::ReadWrite), nullptr);
}

// Each user has a namespace of their own by default.
TEST(SharedMemoryAcrossProcesses, DefaultNamespaceIsTheUsers) {
    const char* before = std::getenv("KELMO_SHM_NAMESPACE");
    const std::string saved = before ? before : "";
    set_env("KELMO_SHM_NAMESPACE", nullptr);
    const std::string name = unique("mine");
    auto mine = platform::current().shm.shm_create_or_open(name, 1024, nullptr);
    const bool there = ::access(shm_object_file(name).c_str(), F_OK) == 0;
    mine.reset();
    set_env("KELMO_SHM_NAMESPACE", before ? saved.c_str() : nullptr);
    EXPECT_TRUE(there) << shm_object_file(name);
}

// Anyone may create names in /dev/shm. An object of the namespace that
// another user owns, or that others may write, is never used, the lock
// object included, and a line says which object it is and whose.
class PlantedObjects : public ::testing::Test {
protected:
    void SetUp() override {
        lines().clear();
        kelmo_set_message_handler([](const char* text, void*) { lines().emplace_back(text); }, nullptr);
    }
    void TearDown() override {
        kelmo_set_message_handler(nullptr, nullptr);
        for (const std::string& p : planted_) ::unlink(p.c_str());
        // The namespace's lock object, when nothing else is left in it.
        const char* ns = std::getenv("KELMO_SHM_NAMESPACE");
        const std::string space = ns && *ns ? ns : "default-" + std::to_string(::geteuid());
        if (entries_of(space) == 1) ::unlink(shm_object_file("lock").c_str());
    }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> v;
        return v;
    }
    // Plants an object under the namespace's name `name`, as another user would.
    void plant(const std::string& name, mode_t mode, uid_t owner) {
        const std::string path = shm_object_file(name);
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0) << path;
        planted_.push_back(path);
        EXPECT_EQ(::ftruncate(fd, 4096), 0);
        EXPECT_EQ(::fchmod(fd, mode), 0);
        if (owner != ::geteuid()) {
            EXPECT_EQ(::fchown(fd, owner, owner), 0);
        }
        ::close(fd);
    }
    bool told(const std::string& name, const std::string& why) const {
        for (const std::string& l : lines())
            if (l.find(shm_object_file(name)) != std::string::npos && l.find(why) != std::string::npos) return true;
        return false;
    }
    std::vector<std::string> planted_;
};

TEST_F(PlantedObjects, WritableByOthersIsRefused) {
    const std::string name = unique("planted");
    plant(name, 0666, ::geteuid());
    errno = 0;
    EXPECT_EQ(platform::current().shm.shm_open_existing(name, 1024, Access::ReadWrite), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(platform::current().shm.shm_create_or_open(name, 1024, nullptr), nullptr);
    EXPECT_TRUE(told(name, "lets other users write it (mode 0666)"));
    EXPECT_EQ(lines().size(), 1u);  // said once, not on every open
}

TEST_F(PlantedObjects, AnotherUsersObjectIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "planting an object for another user takes root";
    const std::string name = unique("foreign"), lockNs = unique("foreignlock");
    plant(name, 0600, 65534);
    EXPECT_EQ(platform::current().shm.shm_open_existing(name, 1024, Access::ReadOnly), nullptr);
    EXPECT_EQ(platform::current().shm.shm_create_or_open(name, 1024, nullptr), nullptr);
    EXPECT_TRUE(told(name, "belongs to user 65534"));

    // A lock object planted for a whole namespace: nothing is created in it.
    const char* before = std::getenv("KELMO_SHM_NAMESPACE");
    const std::string saved = before ? before : "";
    set_env("KELMO_SHM_NAMESPACE", lockNs.c_str());
    plant("lock", 0644, 65534);
    auto created = platform::current().shm.shm_create_or_open("USB_samp", 1024, nullptr);
    const bool toldLock = told("lock", "belongs to user 65534");
    const bool nothingElse = ::access(shm_object_file("USB_samp").c_str(), F_OK) != 0;
    set_env("KELMO_SHM_NAMESPACE", before ? saved.c_str() : nullptr);
    EXPECT_EQ(created, nullptr);
    EXPECT_TRUE(toldLock);
    EXPECT_TRUE(nothingElse);
}

// The objects of a namespace in a runtime folder of the test's own
// (XDG_RUNTIME_DIR), and the lines the library says meanwhile.
class RuntimeFolder : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* v : {"XDG_RUNTIME_DIR", "KELMO_SHM_NAMESPACE"}) {
            const char* now = std::getenv(v);
            saved_.emplace_back(v, now ? std::optional<std::string>(now) : std::nullopt);
        }
        std::string tmpl = testing::TempDir() + "kelmo-runtime-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);  // mode 0700
        dir_ = tmpl;
        lines().clear();
        kelmo_set_message_handler([](const char* text, void*) { lines().emplace_back(text); }, nullptr);
    }
    void TearDown() override {
        kelmo_set_message_handler(nullptr, nullptr);
        for (const auto& [v, value] : saved_) set_env(v.c_str(), value ? value->c_str() : nullptr);
        std::filesystem::remove_all(dir_);
    }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> v;
        return v;
    }
    static std::vector<std::string> files_in(const std::string& dir) {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
        return names;
    }
    std::string dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The user's own namespace in the runtime folder: the objects are files
// there that only the user may read and write, none is in /dev/shm, the
// reasons name the real file, and another process finds them there.
TEST_F(RuntimeFolder, ObjectsLiveThereAndNowhereElse) {
    set_env("XDG_RUNTIME_DIR", dir_.c_str());
    set_env("KELMO_SHM_NAMESPACE", nullptr);
    const std::string name = unique("placed"), space = "kelmo.default-" + std::to_string(::geteuid()) + ".";
    PeerProcess peer(peer_command(name, 9, 300));
    ASSERT_TRUE(peer.ready());
    auto mine = open_existing(name);
    ASSERT_NE(mine, nullptr) << "the peer's object was not found where this process looks";
    EXPECT_EQ(static_cast<const int*>(mine->data())[0], 9);
    const std::string file = dir_ + "/" + space + name;
    struct stat st {};
    ASSERT_EQ(::lstat(file.c_str(), &st), 0) << file;
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u) << file;
    EXPECT_EQ(::lstat((dir_ + "/" + space + "lock").c_str(), &st), 0);
    EXPECT_NE(::access(("/dev/shm/" + space + name).c_str(), F_OK), 0);
    EXPECT_EQ(platform::current().shm.shm_where(name), file);
    mine.reset();
    EXPECT_EQ(peer.wait(), 0);
    EXPECT_EQ(files_in(dir_), std::vector<std::string>{});
    EXPECT_EQ(lines(), std::vector<std::string>{});
}

// A runtime folder that others could write in (or swap) is not used: the
// objects go to /dev/shm, as without one, and a line says which folder and
// why.
TEST_F(RuntimeFolder, UnsafeFolderIsNotUsed) {
    struct Case {
        std::string path, why;
    };
    std::vector<Case> cases;
    const std::string open = dir_ + "/group-writable";
    ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0770), 0);
    cases.push_back({open, "lets other users write in it (mode 0770)"});
    const std::string good = dir_ + "/good", link = dir_ + "/link";
    ASSERT_EQ(::mkdir(good.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(good.c_str(), link.c_str()), 0);
    cases.push_back({link, "is a symbolic link"});
    if (::geteuid() == 0) {
        const std::string foreign = dir_ + "/foreign";
        ASSERT_EQ(::mkdir(foreign.c_str(), 0700), 0);
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        cases.push_back({foreign, "belongs to user 65534"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        lines().clear();
        set_env("XDG_RUNTIME_DIR", c.path.c_str());
        const std::string ns = unique("unsafe");
        set_env("KELMO_SHM_NAMESPACE", ns.c_str());
        auto mine = platform::current().shm.shm_create_or_open("USB_samp", 1024, nullptr);
        ASSERT_NE(mine, nullptr);
        EXPECT_EQ(platform::current().shm.shm_where("USB_samp"), "/dev/shm/kelmo." + ns + ".USB_samp");
        EXPECT_EQ(entries_of(ns), 2);  // in /dev/shm: the object and the lock
        EXPECT_EQ(files_in(good), std::vector<std::string>{});
        ASSERT_EQ(lines().size(), 1u);
        EXPECT_NE(lines()[0].find("runtime folder " + c.path + " (XDG_RUNTIME_DIR) " + c.why), std::string::npos)
            << lines()[0];
        EXPECT_NE(lines()[0].find("kept in /dev/shm instead"), std::string::npos) << lines()[0];
        mine.reset();
        EXPECT_EQ(entries_of(ns), 0);
    }
}

// A host started with its standard descriptors closed: the objects (and the
// namespace's lock) never take 0, 1 or 2, where the host's output would
// land in them.
TEST(SharedMemoryAcrossProcesses, StandardDescriptorsAreNeverTaken) {
    const std::string name = unique("stdio");
    int saved[3];
    for (int fd = 0; fd < 3; ++fd) saved[fd] = ::dup(fd);
    for (int fd = 0; fd < 3; ++fd) ::close(fd);
    auto created = platform::current().shm.shm_create_or_open(name, 1024, nullptr);
    auto opened = platform::current().shm.shm_open_existing(name, 1024, Access::ReadOnly);
    bool closed[3];
    for (int fd = 0; fd < 3; ++fd) closed[fd] = ::fcntl(fd, F_GETFD) == -1;
    for (int fd = 0; fd < 3; ++fd) {
        ::dup2(saved[fd], fd);
        ::close(saved[fd]);
    }
    EXPECT_NE(created, nullptr);
    EXPECT_NE(opened, nullptr);
    for (int fd = 0; fd < 3; ++fd) EXPECT_TRUE(closed[fd]) << "descriptor " << fd << " was taken";
}

}  // namespace
}  // namespace kelmo::test
