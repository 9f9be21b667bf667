// The coupling and mode files on Linux: FIFOs and symbolic links under
// their names.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "fixture.h"
#include "settings_files.h"

namespace kelmo::test {
namespace {

namespace fs = std::filesystem;

// A FIFO under a settings file's name would block open() for ever: it is
// treated like a missing file on load and left alone on save.
TEST_F(SettingsFiles, FifoIsNeverOpened) {
    ASSERT_EQ(::mkfifo("ACDC.sav", 0600), 0);
    ASSERT_EQ(::mkfifo("ChMode.sav", 0600), 0);
    LoadACDC(settings.data());
    LoadChMode(settings.data());
    EXPECT_TRUE(rangeIs(256, 767, 0.0));
    SaveACDC(settings.data());
    SaveChMode(settings.data());
    EXPECT_TRUE(fs::is_fifo("ACDC.sav"));
    EXPECT_TRUE(fs::is_fifo("ChMode.sav"));
    EXPECT_EQ(last_error(), "SaveChMode failed: the settings were not saved: ChMode.sav in the working folder cannot be "
                            "written (it is not a plain file (a pipe, a device or a socket)); remove or rename what "
                            "has that name, or change to another working folder");
}

// In a folder shared with other users a settings file's name may be a
// symbolic link planted by someone else: it is never followed. A save
// leaves the link and its target alone (a dangling link creates nothing),
// and a load treats it as a missing file.
TEST_F(SettingsFiles, SymbolicLinksAreNeverFollowed) {
    writeFile("victim.txt", {'v', 'i', 'c', 't', 'i', 'm'});
    ASSERT_EQ(::symlink("victim.txt", "ACDC.sav"), 0);
    ASSERT_EQ(::symlink("victim.txt", "ChMode2.sav"), 0);
    ASSERT_EQ(::symlink("created.sav", "ChMode.sav"), 0);
    SaveACDC(settings.data());
    EXPECT_NE(last_error().find("ACDC.sav in the working folder cannot be written (it is a symbolic link)"),
              std::string::npos) << last_error();
    SaveChMode2(settings.data());
    SaveChMode(settings.data());
    EXPECT_NE(last_error().find("(it is a symbolic link)"), std::string::npos) << last_error();
    EXPECT_EQ(fs::file_size("victim.txt"), 6u);
    EXPECT_FALSE(fs::exists("created.sav"));
    EXPECT_TRUE(fs::is_symlink("ACDC.sav"));

    // The target holds bytes that would set flags and modes if read.
    writeFile("victim.txt", std::vector<unsigned char>(256, 0x01));
    LoadACDC(settings.data());
    LoadChMode2(settings.data());
    EXPECT_TRUE(rangeIs(256, 511, 0.0));
    EXPECT_TRUE(rangeIs(512, 767, 0.0));
}

}  // namespace
}  // namespace kelmo::test
