// The recording-input dialog on Linux (GTK 3 under an X server such as
// Xvfb): xdotool finds it by its title, gives it the keyboard and types,
// while the test's thread runs the dialog. The cases without a display run
// in processes of their own, since GTK stays initialised once it is.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "peer_process.h"
#include "platform/platform.h"

namespace kelmo::test {
namespace {

// "设置声卡采集"
const std::string kTitle = "\xE8\xAE\xBE\xE7\xBD\xAE\xE5\xA3\xB0\xE5\x8D\xA1\xE9\x87\x87\xE9\x9B\x86";

// Records what the dialog asks; each input has a range of its own, and
// other radio values have none.
class Model final : public platform::SoundInputDialogModel {
public:
    explicit Model(int opening) : opening_(opening) {}
    int radio() const override { return opening_; }
    bool refresh(int radio, uint32_t* minimum, uint32_t* maximum, uint32_t* position) override {
        refreshed.push_back(radio);
        if (radio == 0) *minimum = 1000, *maximum = 2000, *position = 1500;
        else if (radio == 1) *minimum = 100, *maximum = 1100, *position = 500;
        else return false;
        return true;
    }
    void done(int radio, uint32_t position) override { finished.emplace_back(radio, position); }

    std::vector<int> refreshed;
    std::vector<std::pair<int, uint32_t>> finished;

private:
    int opening_;
};

bool have_gtk() {
    static const bool have = ::dlopen("libgtk-3.so.0", RTLD_LAZY) != nullptr;
    return have;
}

// xdotool's search for the dialog (a regular expression of its title).
std::string search(const char* options) {
    return "xdotool search " + std::string(options) + " --name '^" + kTitle + "$'";
}

class SoundDialog : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display) GTEST_SKIP() << "no X display (run under Xvfb, with DISPLAY set)";
        if (!have_gtk()) GTEST_SKIP() << "GTK 3 (libgtk-3.so.0) is not installed";
        if (std::system("command -v xdotool >/dev/null 2>&1") != 0) GTEST_SKIP() << "xdotool is not installed";
    }

    // Shows the dialog while xdotool waits for it, focuses it and types
    // `keys`; returns what the dialog returned. Where typing fails the
    // dialog is sent Escape, so that a failure never leaves it open.
    static int run(Model& model, const std::string& keys) {
        const std::string typing = "timeout 120 " + search("--sync --onlyvisible") + " windowfocus --sync >/dev/null" +
                                   " && timeout 60 xdotool key --delay 150 " + keys;
        const std::string rescue = "timeout 10 " + search("--onlyvisible") + " windowfocus key Escape";
        PeerProcess typist("echo ready $$; exec sh -c \"" + typing + " || { " + rescue + "; exit 1; }\"");
        if (!typist.ready()) {
            ADD_FAILURE() << "xdotool could not be started";
            return -1;
        }
        std::string why;
        const int shown = platform::current().sound_dialog.sound_input_dialog(model, &why);
        if (shown == 0) typist.terminate();
        EXPECT_EQ(typist.wait(), 0) << "xdotool could not drive the dialog";
        EXPECT_NE(shown, 0) << why;
        // The window is destroyed by the time the dialog returns.
        EXPECT_NE(std::system((search("") + " >/dev/null 2>&1").c_str()), 0) << "the dialog's window is left";
        return shown;
    }
};

TEST_F(SoundDialog, DoneTakesTheChosenInputAndTheMovedSlider) {
    // Opens on MicroPhone (focused); Down checks LineIn, whose range comes
    // in; Tab goes to the slider: two pages (a fifth of 100 .. 1100 each)
    // down to the larger end, three steps back up.
    Model chosen(0);
    EXPECT_EQ(run(chosen, "Down Tab Next Next Up Up Up Return"), 1);
    EXPECT_EQ(chosen.refreshed, (std::vector<int>{0, 1}));
    EXPECT_EQ(chosen.finished, (std::vector<std::pair<int, uint32_t>>{{1, 897}}));

    // Neither input checked: each takes the focus then, so two Tabs reach
    // the slider, and End its largest value. Neither gets checked, Done
    // passes the opening value on, and the slider has kept the range
    // 1 .. 65535, since the model gave none.
    Model neither(7);
    EXPECT_EQ(run(neither, "Tab Tab End Return"), 1);
    EXPECT_EQ(neither.refreshed, (std::vector<int>{7}));
    EXPECT_EQ(neither.finished, (std::vector<std::pair<int, uint32_t>>{{7, 65535}}));
}

TEST_F(SoundDialog, EscapeCancelsWithoutTellingTheModel) {
    // Opens on LineIn (focused); Up checks MicroPhone, then Escape.
    Model model(1);
    EXPECT_EQ(run(model, "Up Escape"), 2);
    EXPECT_EQ(model.refreshed, (std::vector<int>{1, 0}));
    EXPECT_TRUE(model.finished.empty());
}

TEST_F(SoundDialog, OnlyTheThreadThatSetUpGtkShowsIt) {
    Model first(0);
    ASSERT_EQ(run(first, "Escape"), 2);
    Model other(0);
    std::string why;
    int shown = -1;
    std::thread([&] { shown = platform::current().sound_dialog.sound_input_dialog(other, &why); }).join();
    EXPECT_EQ(shown, 0);
    EXPECT_NE(why.find("another thread"), std::string::npos) << why;
    EXPECT_TRUE(other.refreshed.empty());
}

// In a child process: the dialog with `display` as the only display,
// which must be refused with a reason, before the model is asked anything.
[[noreturn]] void refused_with(const char* display) {
    set_env("WAYLAND_DISPLAY", nullptr);
    set_env("DISPLAY", display);
    Model model(0);
    std::string why;
    const int shown = platform::current().sound_dialog.sound_input_dialog(model, &why);
    std::fprintf(stderr, "%d %s\n", shown, why.c_str());
    const bool gtkLoaded = ::dlopen("libgtk-3.so.0", RTLD_LAZY | RTLD_NOLOAD) != nullptr;
    std::exit(shown == 0 && model.refreshed.empty() && !(gtkLoaded && !*display) ? 0 : 1);
}

TEST(SoundDialogRefused, WithoutADisplayOrGtk) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // GTK is not even loaded for it.
    EXPECT_EXIT(refused_with(""), testing::ExitedWithCode(0),
                "^0 no display: neither DISPLAY nor WAYLAND_DISPLAY is set");
    // A display that is not there: GTK cannot open it, where GTK is.
    EXPECT_EXIT(refused_with(":64999"), testing::ExitedWithCode(0),
                have_gtk() ? "0 GTK 3 could not open the display: DISPLAY=\":64999\""
                           : "^0 GTK 3 \\(libgtk-3.so.0\\) is not installed");
}

}  // namespace
}  // namespace kelmo::test
