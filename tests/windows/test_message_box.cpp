// The library's message boxes are real MessageBoxA windows: a watcher
// thread finds the box, checks its text and dismisses it with OK.
// Provoked by holding a mutex under the name "USB_samp", which keeps the
// status block from being created.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "kelmo.h"

namespace {

struct Watcher {
    std::atomic<bool> stop{false};
    std::string seen;
    std::wstring seenWide;
    std::thread thread;

    void start() {
        thread = std::thread([this] {
            while (!stop) {
                HWND box = ::FindWindowA("#32770", "kelmo");
                if (box) {
                    char text[256] = {};
                    ::GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
                    seen = text;
                    wchar_t wide[256] = {};
                    ::GetDlgItemTextW(box, 0xFFFF, wide, 256);
                    seenWide = wide;
                    ::PostMessageA(box, WM_COMMAND, IDOK, 0);
                    return;
                }
                ::Sleep(20);
            }
        });
    }
    ~Watcher() {
        stop = true;
        if (thread.joinable()) thread.join();
    }
};

using PreSampFn = int(__cdecl*)(int, double, uint32_t*, double*);

TEST(MessageBox, CreateFailureIsShownAndDismissed) {
    HMODULE dll = ::LoadLibraryA("kelmo.dll");
    ASSERT_NE(dll, nullptr);
    auto preSamp = reinterpret_cast<PreSampFn>(reinterpret_cast<void*>(::GetProcAddress(dll, "PreSamp")));
    ASSERT_NE(preSamp, nullptr);

    std::string name = "USB_samp";
    if (const char* ns = std::getenv("KELMO_SHM_NAMESPACE"); ns && *ns) name = std::string(ns) + "_" + name;
    HANDLE squatter = ::CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(squatter, nullptr);

    Watcher watcher;
    watcher.start();
    uint32_t code = 0;
    double actual = 0;
    EXPECT_EQ(preSamp(123, 1e6, &code, &actual), 0);  // returns once OK was pressed
    watcher.stop = true;
    watcher.thread.join();
    EXPECT_EQ(watcher.seen, "hfm Create Failure!");
    EXPECT_EQ(code, 40960000u);

    ::CloseHandle(squatter);
    // With the name free again the block is created and no box appears.
    EXPECT_EQ(preSamp(123, 1e6, &code, &actual), 1);
    ::FreeLibrary(dll);
}

using SplintFn = double(__cdecl*)(double*, double*, double*, int, double);

// The Chinese texts are stored in GBK and read the same whatever the
// system's ANSI code page is.
TEST(MessageBox, ChineseTextReadsTheSameInEveryCodePage) {
    HMODULE dll = ::LoadLibraryA("kelmo.dll");
    ASSERT_NE(dll, nullptr);
    auto splint = reinterpret_cast<SplintFn>(reinterpret_cast<void*>(::GetProcAddress(dll, "splint")));
    ASSERT_NE(splint, nullptr);
    double xa[2] = {1.0, 1.0}, ya[2] = {0.0, 1.0}, y2[2] = {};
    Watcher watcher;
    watcher.start();
    EXPECT_EQ(splint(xa, ya, y2, 2, 1.0), 0.0);  // equal abscissas
    watcher.stop = true;
    watcher.thread.join();
    // "xa 数组的值不能相同"
    EXPECT_EQ(watcher.seenWide, L"xa \u6570\u7ec4\u7684\u503c\u4e0d\u80fd\u76f8\u540c");
    ::FreeLibrary(dll);
}

}  // namespace
