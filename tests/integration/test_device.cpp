// The acquisition device through the real backend: a missing device prints
// the system's error code (what a device served on a socket does is in
// test_device_posix.cpp); the user's settings where the system keeps them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "device_test.h"
#include "kelmo.h"
#include "peer_process.h"
#include "platform/platform.h"

namespace {

using kelmo::test::use_device_dir;

// Console lines go where a console line belongs on this system: standard
// output on Windows, standard error elsewhere (standard output is the
// host's there). Returns what the call printed there; `other` receives
// what it printed on the other stream.
template <class F>
std::string console_of(F&& call, std::string* other) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    call();
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    if (kelmo::test::kConsoleIsStdout) std::swap(out, err);
    *other = out;
    return err;
}

// The user's settings as the system keeps them: the registry on Windows, the
// settings file elsewhere. Where they are a file, its syntax: sections and
// names in any case, "/" for "\", comments, the last value of a name, and
// only whole 32-bit numbers.
TEST(Device, UserSettings) {
    auto& p = kelmo::platform::current();
    const char* key = "software\\KELMO\\Common";
    kelmo::test::UserSettings settings(testing::TempDir() + "kelmo-settings-" + std::to_string(p.system.process_id()) +
                                       ".ini");
    settings.remove(key, "AdjustSmp");
    EXPECT_FALSE(p.settings.user_setting(key, "AdjustSmp"));  // on a file: no file
    ASSERT_TRUE(settings.set_number(key, "AdjustSmp", 0x12345678));
    EXPECT_EQ(p.settings.user_setting(key, "AdjustSmp"), 0x12345678u);
    settings.remove(key, "AdjustSmp");
    if (settings.file().empty()) return;

    auto write = [&](const char* text) {
        FILE* f = std::fopen(settings.file().c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text, f);
        std::fclose(f);
    };
    write("AdjustSmp = 5\n[Other]\nAdjustSmp = 6\n# comment\n  [ SOFTWARE/kelmo/common ]  \n adjustsmp=0x10\n");
    EXPECT_EQ(p.settings.user_setting(key, "AdjustSmp"), 0x10u);
    EXPECT_FALSE(p.settings.user_setting(key, "Other"));
    write("[software\\KELMO\\Common]\nAdjustSmp = 1\nAdjustSmp = 4294967295\n");
    EXPECT_EQ(p.settings.user_setting(key, "AdjustSmp"), 4294967295u);  // the last one counts, read afresh
    for (const char* bad : {"-1", "4294967296", "1x", ""}) {
        write((std::string("[software\\KELMO\\Common]\nAdjustSmp = ") + bad + "\n").c_str());
        EXPECT_FALSE(p.settings.user_setting(key, "AdjustSmp")) << bad;
    }
}

// Text values: stored where the key is missing (created, on a file its
// folder too), read back, replaced in place with the other lines kept, and
// cut to 99 bytes.
TEST(Device, UserTextSettings) {
    auto& p = kelmo::platform::current();
    const char* key = "software\\KELMO\\vort\\settings";
    kelmo::test::UserSettings settings(testing::TempDir() + "kelmo-sub-" + std::to_string(p.system.process_id()) +
                                       "/settings.ini");
    settings.remove_key(key);
    EXPECT_FALSE(p.settings.user_setting_text(key, "InputType"));
    ASSERT_TRUE(p.settings.set_user_setting_text(key, "InputType", "1"));
    EXPECT_EQ(p.settings.user_setting_text(key, "InputType"), "1");
    ASSERT_TRUE(p.settings.set_user_setting_text(key, "Other", "x y"));
    ASSERT_TRUE(p.settings.set_user_setting_text(key, "InputType", "-4100"));
    EXPECT_EQ(p.settings.user_setting_text(key, "InputType"), "-4100");
    EXPECT_EQ(p.settings.user_setting_text(key, "Other"), "x y");
    ASSERT_TRUE(p.settings.set_user_setting_text("software\\KELMO\\Common", "InputType", std::string(150, '7')));
    EXPECT_EQ(p.settings.user_setting_text("software\\KELMO\\Common", "InputType"), std::string(99, '7'));
    EXPECT_EQ(p.settings.user_setting_text(key, "InputType"), "-4100");
    if (settings.file().empty()) return;

    // The file keeps what it had around the value, and takes no value that
    // would break a line.
    std::ifstream in(settings.file());
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_EQ(all.str(), "# kelmo settings\n[software\\KELMO\\vort\\settings]\nInputType = -4100\nOther = x y\n"
                         "[software\\KELMO\\Common]\nInputType = " + std::string(150, '7') + "\n");
    EXPECT_FALSE(p.settings.set_user_setting_text(key, "InputType", "a\nb"));
}

// A missing device: the host's handler gets the library's own line, and
// the thread's reason names the device and what to do. (What a console
// reader gets instead of the handler differs by system.)
TEST(Device, MissingDeviceNamesItsCause) {
    use_device_dir("/nonexistent-kelmo-device-dir");
    std::vector<std::string> texts;
    kelmo_set_message_handler([](const char* t, void* c) { static_cast<std::vector<std::string>*>(c)->push_back(t); },
                              &texts);
    auto reason = [] {
        char r[1024];
        kelmo_last_error(r, sizeof r);
        return std::string(r);
    };
    const std::string line = "Failed to obtain file handle to device: ZEB1 with Win32 error code: 2\n";
    uint16_t status = 0xAAAA;
    EXPECT_EQ(GetPrintPortStatus(&status), 0);
    EXPECT_EQ(status, 0xAAAA);
    EXPECT_EQ(reason().rfind("GetPrintPortStatus failed: ", 0), 0u) << reason();
    EXPECT_NE(reason().find("ZEB1"), std::string::npos) << reason();

    // Every acquisition family of a card, once the unit's block exists.
    uint32_t code = 0;
    double actual = 0;
    ASSERT_EQ(PreSamp(602, 1000.0, &code, &actual), 1);
    EXPECT_EQ(reason(), "");
    std::vector<double> buf(64);
    uint32_t handle = 7;
    EXPECT_EQ(OneChSam(602, 100, 16, 1, 1, buf.data()), 0);
    EXPECT_EQ(reason().rfind("OneChSam failed: ", 0), 0u) << reason();
    EXPECT_EQ(MulChSam(602, 100, 16, 1, 2, buf.data()), 0);
    EXPECT_EQ(reason().rfind("MulChSam failed: ", 0), 0u) << reason();
    EXPECT_EQ(Set_dbl_MulChSam(&handle, 602, 100, 1, 2, 1024), 0);
    EXPECT_EQ(reason().rfind("Set_dbl_MulChSam failed: ", 0), 0u) << reason();
    EXPECT_EQ(handle, 0u);
    recover(&handle, 602);
    kelmo_set_message_handler(nullptr, nullptr);
    EXPECT_EQ(texts, std::vector<std::string>(4, line));
}

}  // namespace
