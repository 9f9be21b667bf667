// ChangePath on Linux (GTK 3 under an X server such as Xvfb): a script of
// xdotool steps finds each window by its title, gives it the keyboard and
// types, while the test's thread runs ChangePath. The case without a
// display runs in a process of its own, since GTK stays initialised once
// it is.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "kelmo.h"
#include "peer_process.h"
#include "platform/platform.h"

namespace kelmo::test {
namespace {

// "参数设置", the chooser's title; its boxes are titled "kelmo".
const std::string kChooser = "\xE5\x8F\x82\xE6\x95\xB0\xE8\xAE\xBE\xE7\xBD\xAE";
const std::string kBox = "kelmo";

bool is_folder(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Lines of the driver's script: the window titled `title` gets the
// keyboard, then xdotool runs `command`; or the driver waits until no
// window has that title.
std::string on(const std::string& title, const std::string& command) {
    return "step '" + title + "' " + command + " || rescue\n";
}
std::string gone(const std::string& title) { return "gone '" + title + "' || rescue\n"; }

// The helpers of the script. Where a step fails, Escape goes to whatever
// is left open, so that a failure never leaves ChangePath waiting.
std::string prelude() {
    return R"(
step() {
  t=$1; shift
  timeout 120 xdotool search --sync --onlyvisible --name "^$t\$" windowfocus --sync >/dev/null &&
    timeout 60 xdotool "$@"
}
gone() {
  timeout 60 sh -c 'while xdotool search --onlyvisible --name "^$0\$" >/dev/null; do sleep 0.1; done' "$1"
}
rescue() {
  for t in kelmo kelmo ')" + kChooser + R"('; do
    timeout 10 xdotool search --onlyvisible --name "^$t\$" windowfocus key Escape >/dev/null 2>&1
  done
  exit 1
}
)";
}

class FolderChooser : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display) GTEST_SKIP() << "no X display (run under Xvfb, with DISPLAY set)";
        if (!::dlopen("libgtk-3.so.0", RTLD_LAZY)) GTEST_SKIP() << "GTK 3 (libgtk-3.so.0) is not installed";
        if (std::system("command -v xdotool >/dev/null 2>&1") != 0) GTEST_SKIP() << "xdotool is not installed";
        // GTK's file chooser stores its settings; here they go nowhere.
        if (!std::getenv("GSETTINGS_BACKEND")) set_env("GSETTINGS_BACKEND", "memory");
        char name[] = "/tmp/kelmo-chooser-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir_ = name;
        std::snprintf(buffer_, sizeof buffer_, "%s", dir_.c_str());
    }
    void TearDown() override {
        if (dir_.empty()) return;
        EXPECT_EQ(std::system(("rm -rf '" + dir_ + "' '" + dir_ + ".sh'").c_str()), 0);
    }

    // Runs `call` while the driver plays `steps`; returns what `call`
    // returned, and checks that the driver got through and that every
    // window has gone (the driver closes what is left after its steps).
    template <class Call>
    int drive(const std::string& steps, Call call) {
        const std::string script = dir_ + ".sh";
        std::ofstream(script) << prelude() << steps << gone(kBox) << gone(kChooser);
        PeerProcess driver("echo ready $$; exec sh '" + script + "'");
        if (!driver.ready()) {
            ADD_FAILURE() << "the driver could not be started";
            return -1;
        }
        const int r = call();
        EXPECT_EQ(driver.wait(), 0) << "xdotool could not drive the dialogs";
        for (const std::string& title : {kChooser, kBox})
            EXPECT_NE(std::system(("xdotool search --name '^" + title + "$' >/dev/null 2>&1").c_str()), 0)
                << "a window titled " << title << " is left";
        return r;
    }
    int change_path(const std::string& steps) {
        return drive(steps, [&] { return ChangePath(buffer_, nullptr); });
    }

    std::string dir_;
    char buffer_[260] = {};
};

TEST_F(FolderChooser, OkTakesTheStartFolderOrATypedOneCreatedOnceTheUserAgrees) {
    // The entry opens with the start folder, and Enter is OK.
    EXPECT_EQ(change_path(on(kChooser, "key Return")), 1);
    EXPECT_EQ(buffer_, dir_);

    // Typing replaces it, even where the chooser had the focus; the
    // question about the missing levels is answered with Enter, which is
    // Yes.
    const std::string typed = dir_ + "/new/sub";
    EXPECT_EQ(change_path(on(kChooser, "key Tab Tab Tab") + on(kChooser, "type --delay 30 '" + typed + "'") +
                          on(kChooser, "key Return") + on(kBox, "key Return")),
              1);
    EXPECT_EQ(buffer_, typed);
    EXPECT_TRUE(is_folder(dir_ + "/new"));
    EXPECT_TRUE(is_folder(typed));
}

TEST_F(FolderChooser, RefusedPathsKeepItOpenAndEscapeChangesNothing) {
    // Creation declined (Escape on the question), then a path with a
    // trailing "/": its warning is closed with Enter, and the chooser is
    // still there for Escape.
    const std::string declined = dir_ + "/declined", invalid = dir_ + "/bad/";
    const int r = change_path(on(kChooser, "type --delay 30 '" + declined + "'") + on(kChooser, "key Return") +
                              on(kBox, "key Escape") + gone(kBox) +
                              on(kChooser, "key ctrl+a") +
                              on(kChooser, "type --delay 30 '" + invalid + "'") +
                              on(kChooser, "key Return") + on(kBox, "key Return") + gone(kBox) +
                              on(kChooser, "key Escape"));
    EXPECT_EQ(r, 0);
    EXPECT_EQ(buffer_, dir_);
    EXPECT_FALSE(is_folder(declined));
    EXPECT_FALSE(is_folder(dir_ + "/bad"));
}

TEST_F(FolderChooser, BoxesShowWithoutItButOnlyOnGtksThread) {
    // No chooser open: the question is a window of its own; Enter is Yes.
    bool yes = false;
    drive(on(kBox, "key Return"), [&] { return yes = platform::current().chooser.question_box("The folder:\n\n/q\n\n?"); });
    EXPECT_TRUE(yes);

    // GTK now belongs to this thread: another gets the console, and No.
    testing::internal::CaptureStderr();
    std::thread([&] { yes = platform::current().chooser.question_box("The folder:\n\n/elsewhere\n\n?"); }).join();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(yes);
    EXPECT_NE(err.find("/elsewhere\n\n? (answered No, since no dialog can be shown: GTK was set up on another thread"),
              std::string::npos)
        << err;
}

// In a child process, without a display: ChangePath refuses and says why,
// and a question goes to the console, answered No.
[[noreturn]] void without_display() {
    set_env("WAYLAND_DISPLAY", nullptr);
    set_env("DISPLAY", nullptr);
    char buffer[260] = "/start";
    const int r = ChangePath(buffer, nullptr);
    const bool yes = platform::current().chooser.question_box("The folder:\n\n/q\n\ndoes not exist.");
    std::exit(r == 0 && std::strcmp(buffer, "/start") == 0 && !yes ? 0 : 1);
}

TEST(FolderChooserRefused, WithoutADisplay) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(without_display(), testing::ExitedWithCode(0),
                "^ChangePath: the folder chooser cannot be shown \\(no display: neither DISPLAY nor "
                "WAYLAND_DISPLAY is set\\)\nThe folder:\n\n/q\n\ndoes not exist. \\(answered No, since no "
                "dialog can be shown: no display");
}

}  // namespace
}  // namespace kelmo::test
