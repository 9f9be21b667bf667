// ChangePath against a fake chooser that plays the user: what the chooser
// is told, OK with a rejected, a declined and an accepted path, the path
// handed back (cut to the buffer), and a chooser that cannot be shown.
#include <cstring>
#include <string>
#include <vector>

#include "fixture.h"

namespace kelmo::test {
namespace {

// Both kinds of path: drive paths (true) and absolute ones.
class FolderChooser : public FakeTest, public testing::WithParamInterface<bool> {
protected:
    FolderChooser() : kRoot(GetParam() ? "C:\\" : "/"), kSep(GetParam() ? "\\" : "/") {
        fake.drivePaths = GetParam();
        fake.directories = {kRoot, kRoot + "data"};
    }
    const std::string kRoot, kSep;
    char path_[260] = {};
};

TEST_P(FolderChooser, OkOnlyForAnAcceptedFolder) {
    std::strcpy(path_, (kRoot + "data").c_str());
    std::vector<bool> confirmed;
    void* seenParent = nullptr;
    fake.chooser = [&](platform::FolderChooserModel& m, void* parent) {
        seenParent = parent;
        EXPECT_STREQ(m.title(), "\xB2\xCE\xCA\xFD\xC9\xE8\xD6\xC3");
        EXPECT_STREQ(m.prompt(), "\xB8\xC4\xB1\xE4\xCA\xFD\xBE\xDD\xC2\xB7\xBE\xB6");
        EXPECT_EQ(m.start_path(), kRoot + "data");
        EXPECT_TRUE(m.selectable(kRoot + "data"));
        EXPECT_FALSE(m.selectable("relative"));
        EXPECT_FALSE(m.selectable(GetParam() ? "/data" : "C:\\data"));  // the other kind
        EXPECT_FALSE(m.selectable(""));
        confirmed.push_back(m.confirm(kRoot + "data" + kSep));  // trailing separator: rejected
        confirmed.push_back(m.confirm(kRoot + "data" + kSep + "new" + kSep + "deeper"));  // declined
        confirmed.push_back(m.confirm(kRoot + "data" + kSep + "new" + kSep + "deeper"));  // agreed
        return 1;
    };
    fake.answers = {false, true};
    int host = 0;
    EXPECT_EQ(ChangePath(path_, &host), 1);
    EXPECT_EQ(seenParent, &host);
    EXPECT_EQ(confirmed, (std::vector<bool>{false, false, true}));
    EXPECT_EQ(fake.warnings,
              std::vector<std::string>{"The folder:\n\n" + kRoot + "data" + kSep + "\n\nis invalid. Please reenter."});
    EXPECT_EQ(fake.questions.size(), 2u);
    EXPECT_STREQ(path_, (kRoot + "data" + kSep + "new" + kSep + "deeper").c_str());
    EXPECT_TRUE(fake.directory_exists(kRoot + "data" + kSep + "new"));
}

TEST_P(FolderChooser, ClosedOrNotShownLeavesThePath) {
    std::strcpy(path_, "unchanged");
    fake.chooser = [&](platform::FolderChooserModel& m, void*) {
        EXPECT_TRUE(m.confirm(kRoot + "data"));  // then closed some other way
        return 2;
    };
    EXPECT_EQ(ChangePath(path_, nullptr), 0);
    EXPECT_STREQ(path_, "unchanged");
    fake.chooser = nullptr;
    EXPECT_EQ(ChangePath(path_, nullptr), 0);
    EXPECT_STREQ(path_, "unchanged");
    EXPECT_EQ(fake.consoleLines.back(), "ChangePath: the folder chooser cannot be shown (the fake shows no chooser)\n");
    EXPECT_EQ(ChangePath(nullptr, nullptr), 0);
}

// A typed path longer than the buffer is cut to 259 bytes before it is
// checked; the caller's buffer gets at most that.
TEST_P(FolderChooser, LongPathsAreCut) {
    const std::string level(300, 'x');
    fake.directories.insert(kRoot + "data" + kSep + level.substr(0, 259 - kRoot.size() - 5));
    fake.chooser = [&](platform::FolderChooserModel& m, void*) {
        EXPECT_TRUE(m.confirm(kRoot + "data" + kSep + level));
        return 1;
    };
    std::memset(path_, 'y', sizeof path_ - 1);  // a start path that fills the buffer
    EXPECT_EQ(ChangePath(path_, nullptr), 1);
    EXPECT_EQ(std::strlen(path_), 259u);
    EXPECT_TRUE(fake.questions.empty());
}

INSTANTIATE_TEST_SUITE_P(PathKinds, FolderChooser, testing::Bool());

}  // namespace
}  // namespace kelmo::test
