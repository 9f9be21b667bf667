// The folder browser is the shell's own window: a watcher thread finds it by
// its caption and works the edit box and the buttons the way a user would,
// while the main thread waits in the browser's modal loop.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kelmo.h"
#include "platform/platform.h"

namespace {

constexpr int kTree = 14145, kStatus = 14147, kEdit = 14148;

struct Model : kelmo::platform::FolderChooserModel {
    std::string start;
    std::vector<std::string> confirmed;
    const char* title() const override { return "kelmo chooser test"; }
    const char* prompt() const override { return "Choose a folder"; }
    std::string start_path() const override { return start; }
    bool selectable(const std::string& p) const override { return p.size() >= 2 && p[1] == ':'; }
    bool confirm(const std::string& p) override {
        confirmed.push_back(p);
        return p.find("bad") == std::string::npos;
    }
};

HWND wait_for(const wchar_t* caption) {
    for (int i = 0; i < 500; ++i, ::Sleep(20))
        if (HWND w = ::FindWindowW(L"#32770", caption); w && ::IsWindowVisible(w)) return w;
    return nullptr;
}
std::string text(HWND w) {
    char t[600] = {};
    ::GetWindowTextA(w, t, sizeof t);
    return t;
}
bool ok_enabled(HWND b) { return ::IsWindowEnabled(::GetDlgItem(b, IDOK)); }
void type(HWND b, const std::string& t) { ::SendMessageA(::GetDlgItem(b, kEdit), WM_SETTEXT, 0, LPARAM(t.c_str())); }
// Posted: OK may open a box of the model's, which the watcher answers.
void press(HWND b, int id) { ::PostMessageA(b, WM_COMMAND, id, LPARAM(::GetDlgItem(b, id))); }
bool closed(HWND b) {
    for (int i = 0; i < 100 && ::IsWindow(b); ++i) ::Sleep(20);
    return !::IsWindow(b);
}
// Answers the model's box with `button`; its text.
std::string answer_box(int button) {
    HWND box = wait_for(L"kelmo");
    if (!box) return "(no box)";
    const std::string t = text(::GetDlgItem(box, 0xFFFF));
    ::PostMessageA(box, WM_COMMAND, button, 0);
    return t;
}

// A picture of the screen beside the test, where ImageMagick is at hand.
void screenshot() {
    char line[] = "Z:\\usr\\bin\\import -window root folder_chooser.png";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return;
    ::WaitForSingleObject(pi.hProcess, 10000);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
}

// Runs `open` while `drive` works the browser of that caption, once its
// start folder is in the box; one the driver left open is cancelled.
template <class Open>
int show(const wchar_t* caption, const std::function<void(HWND)>& drive, Open open) {
    std::thread watcher([&] {
        HWND b = wait_for(caption);
        ASSERT_NE(b, nullptr);
        for (int i = 0; i < 250 && text(::GetDlgItem(b, kEdit)).empty(); ++i) ::Sleep(20);
        drive(b);
        if (!closed(b)) press(b, IDCANCEL);
    });
    const int r = open();
    watcher.join();
    return r;
}
int choose(Model& m, const std::function<void(HWND)>& drive) {
    std::string why;
    const int r = show(L"kelmo chooser test", drive,
                       [&] { return kelmo::platform::current().chooser.folder_chooser(m, nullptr, &why); });
    EXPECT_EQ(why, "");
    return r;
}

TEST(FolderChooser, TheEditBoxSitsOnTheTreeAndOkGoesThroughTheModel) {
    Model m;
    m.start = "C:\\windows";
    const int r = choose(m, [&](HWND b) {
        HWND edit = ::GetDlgItem(b, kEdit), tree = ::GetDlgItem(b, kTree);
        ASSERT_TRUE(edit && tree);
        EXPECT_EQ(text(edit), "C:\\windows");  // the start folder, selected
        EXPECT_TRUE(ok_enabled(b));
        EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(b, kStatus)));
        RECT e, t;
        ::GetWindowRect(edit, &e);
        ::GetWindowRect(tree, &t);
        EXPECT_TRUE(e.left == t.left && e.right == t.right && e.top == t.top - 27 && e.bottom == t.top - 4);
        EXPECT_EQ(::SendMessageA(edit, WM_GETFONT, 0, 0), ::SendMessageA(b, WM_GETFONT, 0, 0));
        type(b, "");
        EXPECT_FALSE(ok_enabled(b));
        type(b, "C:\\bad");
        EXPECT_TRUE(ok_enabled(b));
        screenshot();
        press(b, IDOK);
        EXPECT_FALSE(closed(b));
        type(b, "C:\\windows");
        press(b, IDOK);
    });
    EXPECT_EQ(r, 1);
    EXPECT_EQ(m.confirmed, (std::vector<std::string>{"C:\\bad", "C:\\windows"}));
}

// Without a start folder the current one is selected; one on C:, as wine's
// tree does not always reach a folder deep in its Z: drive.
TEST(FolderChooser, CancelLeavesTheModelAloneAndTheCurrentFolderIsTheDefault) {
    Model m;
    char saved[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, saved);
    ASSERT_TRUE(::SetCurrentDirectoryA("C:\\windows\\system32"));
    const int r = choose(m, [&](HWND b) {
        EXPECT_EQ(text(::GetDlgItem(b, kEdit)), "C:\\windows\\system32");
        press(b, IDCANCEL);
    });
    ::SetCurrentDirectoryA(saved);
    EXPECT_EQ(r, 2);
    EXPECT_TRUE(m.confirmed.empty());
}

// Through the export and the real platform: an invalid path is refused
// with a warning, a missing one is created once the user agreed.
TEST(FolderChooser, ChangePathWarnsOfInvalidPathsAndCreatesMissingFolders) {
    char temp[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, temp);
    const std::string top = std::string(temp) + "kelmo_chooser_" + std::to_string(::GetCurrentProcessId());
    const std::string made = top + "\\made";
    char buffer[260];
    std::snprintf(buffer, sizeof buffer, "%s", temp);
    const int r = show(L"\u53c2\u6570\u8bbe\u7f6e", [&](HWND b) {  // 参数设置
        type(b, "C:\\windows\\");
        press(b, IDOK);
        EXPECT_EQ(answer_box(IDOK), "The folder:\n\nC:\\windows\\\n\nis invalid. Please reenter.");
        ASSERT_FALSE(closed(b));
        type(b, made);
        press(b, IDOK);
        EXPECT_EQ(answer_box(IDYES),
                  "The folder:\n\n" + made + "\n\ndoes not exist. Do you want the folder to be created?");
    }, [&] { return ChangePath(buffer, nullptr); });
    EXPECT_EQ(r, 1);
    EXPECT_EQ(std::string(buffer), made);
    const DWORD a = ::GetFileAttributesA(made.c_str());
    EXPECT_TRUE(a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY));
    ::RemoveDirectoryA(made.c_str());
    ::RemoveDirectoryA(top.c_str());
}

// A path that does not fit the host's buffer, and one the process's code
// page cannot hold: each refused with a warning that says so, nothing
// created, and a cancel afterwards names the refusal as its reason.
TEST(FolderChooser, ChangePathRefusesAPathItWouldCutOrCouldNotHold) {
    char temp[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, temp);
    const std::string top = std::string(temp) + "kelmo_long_" + std::to_string(::GetCurrentProcessId());
    std::string typed = top;
    while (typed.size() < 274) typed += "\\abcdefghij";
    typed.resize(274);
    const auto reason = [] {
        char why[1024] = {};
        kelmo_last_error(why, sizeof why);
        return std::string(why);
    };
    char buffer[260] = "C:\\windows";
    int r = show(L"\u53c2\u6570\u8bbe\u7f6e", [&](HWND b) {
        type(b, typed);
        press(b, IDOK);
        EXPECT_EQ(answer_box(IDOK), "The folder:\n\n" + typed + "\n\nis longer than 259 characters. Please choose a "
                                    "shorter path.");
        EXPECT_FALSE(closed(b));
        press(b, IDCANCEL);
    }, [&] { return ChangePath(buffer, nullptr); });
    EXPECT_EQ(r, 0);
    EXPECT_STREQ(buffer, "C:\\windows");
    EXPECT_EQ(::GetFileAttributesA(top.c_str()), INVALID_FILE_ATTRIBUTES);  // not even its first level
    EXPECT_NE(reason().find("cancelled the folder chooser after the folder typed is 274 bytes long"), std::string::npos)
        << reason();

    // A character no single-byte code page has (a CJK one where the code
    // page is UTF-8 or GBK is held: the test then has nothing to check).
    const UINT cp = ::GetACP();
    if (cp != CP_UTF8 && cp != 936 && cp != 932 && cp != 949 && cp != 950) {
        r = show(L"\u53c2\u6570\u8bbe\u7f6e", [&](HWND b) {
            ::SendMessageW(::GetDlgItem(b, kEdit), WM_SETTEXT, 0, LPARAM(L"C:\\data\\\u4e2d"));
            press(b, IDOK);
            EXPECT_EQ(answer_box(IDOK), "The folder:\n\nC:\\data\\?\n\nhas characters that the system's code page "
                                        "cannot hold. Please choose a folder whose name it can.");
            EXPECT_FALSE(closed(b));
            press(b, IDCANCEL);
        }, [&] { return ChangePath(buffer, nullptr); });
        EXPECT_EQ(r, 0);
        EXPECT_NE(reason().find("code page"), std::string::npos) << reason();
    }
    // Cancelled at once: that is the reason.
    r = show(L"\u53c2\u6570\u8bbe\u7f6e", [&](HWND b) { press(b, IDCANCEL); },
             [&] { return ChangePath(buffer, nullptr); });
    EXPECT_EQ(r, 0);
    EXPECT_NE(reason().find("the user cancelled the folder chooser; the path is unchanged"), std::string::npos)
        << reason();
}

}  // namespace
