// ChangePath against a fake chooser that plays the user: what the chooser
// is told, OK with a rejected, a declined and an accepted path, the path
// handed back (one too long for the buffer refused), and a chooser that
// cannot be shown.
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

// A typed path longer than the buffer is refused whole, with a warning,
// and nothing of it is created; one that just fits is taken. A cancel
// names the last refusal, or itself.
TEST_P(FolderChooser, LongPathsAreRefusedNotCut) {
    const std::string base = kRoot + "data" + kSep;
    const std::string fits = base + std::string(259 - base.size(), 'x');
    bool tooLong = true, justFits = false;
    fake.chooser = [&](platform::FolderChooserModel& m, void*) {
        tooLong = m.confirm(fits + "y");
        return 2;
    };
    std::memset(path_, 'y', sizeof path_ - 1);  // a start path that fills the buffer
    EXPECT_EQ(ChangePath(path_, nullptr), 0);
    EXPECT_FALSE(tooLong);
    EXPECT_EQ(std::strlen(path_), 259u);
    EXPECT_EQ(path_[0], 'y');
    EXPECT_TRUE(fake.questions.empty());  // not offered for creation
    EXPECT_FALSE(fake.directory_exists(fits));
    ASSERT_EQ(fake.warnings.size(), 1u);
    EXPECT_EQ(fake.warnings[0], "The folder:\n\n" + fits + "y\n\nis longer than 259 characters. Please choose a shorter path.");
    EXPECT_EQ(last_error(), "ChangePath failed: the user cancelled the folder chooser after the folder typed is 260 bytes "
                            "long, and a data folder's path holds at most 259; the path is unchanged");

    fake.chooser = [&](platform::FolderChooserModel& m, void*) {
        justFits = m.confirm(fits);
        return 1;
    };
    fake.answers = {true};
    EXPECT_EQ(ChangePath(path_, nullptr), 1);
    EXPECT_TRUE(justFits);
    EXPECT_EQ(std::string(path_), fits);

    fake.chooser = [&](platform::FolderChooserModel& m, void*) {
        m.unrepresentable(base + "?");
        return 2;
    };
    EXPECT_EQ(ChangePath(path_, nullptr), 0);
    EXPECT_NE(last_error().find("code page"), std::string::npos) << last_error();
    fake.chooser = [&](platform::FolderChooserModel&, void*) { return 2; };
    EXPECT_EQ(ChangePath(path_, nullptr), 0);
    EXPECT_EQ(last_error(), "ChangePath failed: the user cancelled the folder chooser; the path is unchanged");
}

INSTANTIATE_TEST_SUITE_P(PathKinds, FolderChooser, testing::Bool());

}  // namespace
}  // namespace kelmo::test
