// The folder chooser's path checks: syntax of paths and levels, the
// question before creating, the levels created in order, and the two
// messages; drive paths and absolute paths alike, on a directory set in
// memory and on the real file system.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "dialogs/folder_path.h"

namespace kelmo::test {
namespace {

using dialogs::PathStyle;

struct MemoryDirs : dialogs::Directories {
    std::set<std::string> dirs;
    std::set<std::string> refused;  // cannot be created
    std::vector<std::string> created;
    bool exists(const std::string& p) override { return dirs.count(p) != 0; }
    void create(const std::string& p) override {
        if (dirs.count(p) || refused.count(p)) return;
        dirs.insert(p);
        created.push_back(p);
    }
};

struct ScriptedDialogs : dialogs::PathDialogs {
    bool answer = true;
    std::vector<std::string> asked, warned;
    bool ask(const std::string& t) override {
        asked.push_back(t);
        return answer;
    }
    void warn(const std::string& t) override { warned.push_back(t); }
};

TEST(FolderPath, Levels) {
    for (const char* ok : {"data", "a b", "run-1.2", "x\xB0\xA1", "con"}) EXPECT_EQ(dialogs::IsValidPathComponent(ok), 1) << ok;
    for (const char* bad : {"", " data", "data ", "\tx", "x\t", ".x", "con.", "a\"b", "a*b", "a/b", "a:b", "a<b", "a>b",
                            "a?b", "a\\b", "a|b"})
        EXPECT_EQ(dialogs::IsValidPathComponent(bad), 0) << bad;
    EXPECT_EQ(dialogs::IsValidPathComponent(nullptr), 0);
}

TEST(FolderPath, Syntax) {
    MemoryDirs d;
    for (const char* ok : {"D:\\", "d:\\data", "Z:\\a\\b c\\d"})
        EXPECT_EQ(dialogs::CheckOrCreatePath(ok, true, d, PathStyle::Drive), 0) << ok;
    for (const char* bad : {"", "D:", "D:x", "1:\\a", "\\\\server\\share", "D:\\data\\", "D:\\\\data", "D:\\a\\\\b",
                            "D:\\con.", "D:\\ x", "D:\\a\\b?"})
        EXPECT_EQ(dialogs::CheckOrCreatePath(bad, true, d, PathStyle::Drive), 1) << bad;
    EXPECT_EQ(dialogs::CheckOrCreatePath(nullptr, true, d, PathStyle::Drive), 1);
    for (const char* ok : {"/", "/data", "/a/b c/d"})
        EXPECT_EQ(dialogs::CheckOrCreatePath(ok, true, d, PathStyle::Absolute), 0) << ok;
    for (const char* bad : {"", "data", "//data", "/data/", "/a//b", "/a/con.", "/ x", "/a:b", "D:\\data"})
        EXPECT_EQ(dialogs::CheckOrCreatePath(bad, true, d, PathStyle::Absolute), 1) << bad;
}

// Missing levels are created in order after one question; a declined
// question creates nothing; a level that cannot be made stops the walk
// with the levels before it kept; a root must exist.
TEST(FolderPath, CreatingMissingLevels) {
    MemoryDirs d;
    ScriptedDialogs ui;
    d.dirs = {"D:\\", "D:\\data"};
    EXPECT_EQ(dialogs::ValidateAndCreatePath("D:\\", d, ui, PathStyle::Drive), 0);
    EXPECT_EQ(dialogs::ValidateAndCreatePath("D:\\data", d, ui, PathStyle::Drive), 0);
    EXPECT_TRUE(ui.asked.empty());

    ui.answer = false;
    EXPECT_EQ(dialogs::ValidateAndCreatePath("D:\\data\\new\\deeper", d, ui, PathStyle::Drive), -1);
    EXPECT_TRUE(d.created.empty());
    EXPECT_TRUE(ui.warned.empty());
    ui.answer = true;
    EXPECT_EQ(dialogs::ValidateAndCreatePath("D:\\data\\new\\deeper", d, ui, PathStyle::Drive), 0);
    EXPECT_EQ(ui.asked.back(),
              "The folder:\n\nD:\\data\\new\\deeper\n\ndoes not exist. Do you want the folder to be created?");
    EXPECT_EQ(d.created, (std::vector<std::string>{"D:\\data\\new", "D:\\data\\new\\deeper"}));

    d.refused = {"D:\\data\\x\\y"};
    EXPECT_EQ(dialogs::ValidateAndCreatePath("D:\\data\\x\\y\\z", d, ui, PathStyle::Drive), 2);
    EXPECT_TRUE(d.exists("D:\\data\\x"));
    EXPECT_EQ(ui.warned.back(), "The folder:\n\nD:\\data\\x\\y\\z\n\ncan not be created. Please double check.");
    EXPECT_EQ(dialogs::ValidateAndCreatePath("Q:\\", d, ui, PathStyle::Drive), 2);  // no such drive

    const std::size_t questions = ui.asked.size();
    EXPECT_EQ(dialogs::ValidateAndCreatePath("D:\\data\\", d, ui, PathStyle::Drive), 1);
    EXPECT_EQ(ui.warned.back(), "The folder:\n\nD:\\data\\\n\nis invalid. Please reenter.");
    EXPECT_EQ(ui.asked.size(), questions);  // a rejected path asks nothing
}

// The same on the real file system, with the build's own kind of path.
TEST(FolderPath, RealFolders) {
    namespace fs = std::filesystem;
    struct RealDirs : dialogs::Directories {
        bool exists(const std::string& p) override { return fs::is_directory(p); }
        void create(const std::string& p) override {
            std::error_code e;
            fs::create_directory(p, e);
        }
    } real;
    ScriptedDialogs ui;
    const fs::path base = fs::absolute(fs::path(testing::TempDir()) / ("kelmo-folders-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed())));
    fs::remove_all(base);
    fs::create_directories(base);
    const std::string deep = (base / "new" / "deeper").make_preferred().string();
    const auto style = fs::path::preferred_separator == '\\' ? PathStyle::Drive : PathStyle::Absolute;
    EXPECT_EQ(dialogs::ValidateAndCreatePath(deep.c_str(), real, ui, style), 0);
    EXPECT_TRUE(fs::is_directory(deep));
    // A file where a level should be: that level cannot be made.
    { std::ofstream((base / "file").string()) << "x"; }
    const std::string blocked = (base / "file" / "sub").make_preferred().string();
    EXPECT_EQ(dialogs::ValidateAndCreatePath(blocked.c_str(), real, ui, style), 2);
    fs::remove_all(base);
}

}  // namespace
}  // namespace kelmo::test
