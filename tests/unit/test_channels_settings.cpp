// get_ph_ch, get_tot_ch and the coupling and mode files.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include "platform/win32/wine.h"
#include <windows.h>
#endif

#include "fixture.h"
#include "settings_files.h"

namespace kelmo::test {
namespace {

namespace fs = std::filesystem;

using ChannelNumbering = FakeTest;

TEST_F(ChannelNumbering, PhysicalChannel) {
    const int pairs[][2] = {{0, 1}, {1, 1}, {2, 1}, {3, 2}, {4, 2}, {5, 3}};
    for (auto [ch, ph] : pairs) EXPECT_EQ(get_ph_ch(653, ch), ph) << ch;

    for (int code : {802, 832}) {
        for (int ch = -3; ch <= 4; ++ch) EXPECT_EQ(get_ph_ch(code, ch), 1) << code << " " << ch;
        EXPECT_EQ(get_ph_ch(code, 5), 5) << code;
    }
    // {code, channel, physical}
    const int cases[][3] = {{891, 0, 1},  {891, -9, 1}, {891, 7, 7}, {863, 2, 2},   {840, 2, 1},
                            {840, 3, 3},  {666, 6, 1},  {666, 7, 7}, {858, 8, 1},   {858, 9, 9},
                            {614, -3, -3}, {854, 0, 0}};
    for (auto [code, ch, ph] : cases) EXPECT_EQ(get_ph_ch(code, ch), ph) << code << " " << ch;
    for (int code : {800, 123, 999, -614, 0})
        for (int ch : {-1, 0, 1, 40}) EXPECT_EQ(get_ph_ch(code, ch), 1) << code << " " << ch;
}

TEST_F(ChannelNumbering, PhysicalCount) {
    const int pairs[][2] = {{1, 1}, {2, 1}, {3, 2}, {4, 2}, {7, 4}, {-1, 0}, {0, 0}};
    for (auto [n, ph] : pairs) EXPECT_EQ(get_tot_ch(653, n), ph) << n;
    EXPECT_EQ(get_tot_ch(652, 7), 7);
    EXPECT_EQ(get_tot_ch(654, 7), 7);
    EXPECT_EQ(get_tot_ch(683, 7), 7);  // no reduction here
}

TEST_F(SettingsFiles, Coupling) {
    LoadACDC(settings.data());  // no file yet
    EXPECT_TRUE(rangeIs(256, 511, 0.0));
    EXPECT_TRUE(rangeIs(0, 255, 7.0));
    EXPECT_TRUE(rangeIs(512, 767, 7.0));

    settings[256] = 0.5;
    settings[256 + 8 * 3 + 7] = -2.0;
    settings[511] = 1.0;
    settings[257] = std::nan("");
    SaveACDC(settings.data());
    std::vector<unsigned char> expected(32, 0);
    expected[0] = 0x01;
    expected[3] = 0x80;
    expected[31] = 0x80;
    EXPECT_EQ(fileBytes("ACDC.sav"), expected);

    std::vector<double> back(768, 7.0);
    LoadACDC(back.data());
    for (int i = 256; i < 512; ++i) {
        const bool set = i == 256 || i == 256 + 8 * 3 + 7 || i == 511;
        EXPECT_EQ(back[i], set ? 1.0 : 0.0) << i;
    }

    // The second file set is separate.
    EXPECT_FALSE(fs::exists("ACDC2.sav"));
    LoadACDC2(back.data());
    EXPECT_EQ(back[256], 0.0);
    back[300] = 1.0;
    SaveACDC2(back.data());
    EXPECT_EQ(fileBytes("ACDC.sav"), expected);
    LoadACDC(back.data());
    EXPECT_EQ(back[300], 0.0);
    LoadACDC2(back.data());
    EXPECT_EQ(back[300], 1.0);

    // A short file: the missing bytes count as 0.
    writeFile("ACDC.sav", {0xFF, 0x02});
    LoadACDC(back.data());
    for (int i = 256; i < 512; ++i) EXPECT_EQ(back[i], (i < 264 || i == 265) ? 1.0 : 0.0) << i;
}

TEST_F(SettingsFiles, Modes) {
    LoadChMode(settings.data());
    EXPECT_TRUE(rangeIs(512, 767, 0.0));
    EXPECT_TRUE(rangeIs(256, 511, 7.0));

    const double values[] = {2.95, 3.0, -1.0, -1.5, 300.0, -128.0, 127.0, 2.89};
    // Negative whole numbers lose one step: -128 + 0.1 truncates to -127.
    const unsigned char bytes[] = {3, 3, 0, 0xFF, 44, 0x81, 127, 2};
    for (int i = 0; i < 8; ++i) settings[512 + i] = values[i];
    SaveChMode(settings.data());
    std::vector<unsigned char> file = fileBytes("ChMode.sav");
    ASSERT_EQ(file.size(), 256u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(file[i], bytes[i]) << values[i];
    EXPECT_EQ(file[8], 0);  // cleared by the load without a file

    std::vector<double> back(768, 9.0);
    LoadChMode(back.data());
    const double loaded[] = {3, 3, 0, -1, 44, -127, 127, 2};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(back[512 + i], loaded[i]) << i;
    EXPECT_EQ(back[0], 9.0);  // only 512..767 change
    EXPECT_EQ(back[511], 9.0);

    EXPECT_FALSE(fs::exists("ChMode2.sav"));
    LoadChMode2(back.data());
    EXPECT_EQ(back[512], 0.0);
    back[700] = 5.0;
    SaveChMode2(back.data());
    LoadChMode(back.data());
    EXPECT_EQ(back[700], 0.0);
    LoadChMode2(back.data());
    EXPECT_EQ(back[700], 5.0);

    writeFile("ChMode.sav", {0x05, 0xFE});
    LoadChMode(back.data());
    EXPECT_EQ(back[512], 5.0);
    EXPECT_EQ(back[513], -2.0);
    for (int i = 514; i < 768; ++i) EXPECT_EQ(back[i], 0.0) << i;
}

TEST_F(SettingsFiles, NothingToDo) {
    for (auto fn : {LoadACDC, SaveACDC, LoadACDC2, SaveACDC2, LoadChMode, SaveChMode, LoadChMode2, SaveChMode2})
        fn(nullptr);
    EXPECT_TRUE(fs::is_empty(fs::current_path()));

    // A file that cannot be created is skipped, without a box, and the
    // reason says what was not saved.
    fs::create_directory("ACDC.sav");
    fs::create_directory("ChMode2.sav");
    SaveACDC(settings.data());
    EXPECT_EQ(last_error(), "SaveACDC failed: the settings were not saved: ACDC.sav in the working folder cannot be "
                            "written (it is a folder); remove or rename what has that name, or change to another "
                            "working folder");
    SaveChMode2(settings.data());
    EXPECT_NE(last_error().find("ChMode2.sav in the working folder cannot be written (it is a folder)"),
              std::string::npos) << last_error();
    EXPECT_TRUE(fs::is_directory("ACDC.sav"));
    EXPECT_TRUE(fs::is_directory("ChMode2.sav"));
    EXPECT_TRUE(rangeIs(0, 767, 7.0));
    EXPECT_TRUE(fake.messages.empty());
    SaveChMode(settings.data());
    EXPECT_EQ(last_error(), "");  // a save that worked has no reason
}

#ifdef _WIN32
// Under wine a symbolic link of the Unix file system looks like a file to
// Windows: it is refused all the same, and its target is left alone.
TEST_F(SettingsFiles, UnixSymbolicLinksUnderWineAreNeverFollowed) {
    if (!platform::win32::wine::on_linux()) GTEST_SKIP() << "not under wine on Linux";
    writeFile("victim.txt", {'v', 'i', 'c', 't', 'i', 'm'});
    ASSERT_TRUE(platform::win32::wine::make_unix_symbolic_link("victim.txt", "ACDC.sav"));
    ASSERT_TRUE(fs::exists("ACDC.sav"));
    SaveACDC(settings.data());
    EXPECT_NE(last_error().find("ACDC.sav in the working folder cannot be written (it is a symbolic link)"),
              std::string::npos) << last_error();
    EXPECT_EQ(fs::file_size("victim.txt"), 6u);
    writeFile("victim.txt", std::vector<unsigned char>(32, 0xFF));
    LoadACDC(settings.data());
    EXPECT_TRUE(rangeIs(256, 511, 0.0));
    // The link goes first: the folder's removal would not end with it.
    ::DeleteFileA("ACDC.sav");
}
#endif

}  // namespace
}  // namespace kelmo::test
