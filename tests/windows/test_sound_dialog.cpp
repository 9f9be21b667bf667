// The recording-input dialog is a real window: a watcher thread finds it by
// its caption, reads it back as Unicode and works its controls the way a
// user would, while the main thread waits in the modal loop.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/sound_dialog_ids.h"

namespace {

using kelmo::platform::SoundInputDialogModel;

// Answers each input with a slider of its own, so that the dialog shows
// which input it asked for; a failing model throws after noting the call.
struct Model : SoundInputDialogModel {
    int initial = 0;
    bool fails = false;
    std::vector<int> refreshed;
    std::vector<std::pair<int, uint32_t>> finished;
    int radio() const override { return initial; }
    bool refresh(int radio, uint32_t* minimum, uint32_t* maximum, uint32_t* position) override {
        refreshed.push_back(radio);
        if (fails) throw std::runtime_error("no mixer");
        *minimum = 10 + radio;
        *maximum = 1000 * (radio + 2);
        *position = 300 + radio;
        return true;
    }
    void done(int radio, uint32_t position) override {
        finished.emplace_back(radio, position);
        if (fails) throw std::runtime_error("no mixer");
    }
};

const wchar_t kCaption[] = L"\u8bbe\u7f6e\u58f0\u5361\u91c7\u96c6";  // 设置声卡采集

std::wstring text_of(HWND window) {
    wchar_t text[64] = {};
    ::GetWindowTextW(window, text, 64);
    return text;
}

LRESULT slider(HWND dialog, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return ::SendDlgItemMessageW(dialog, KELMO_IDC_LEVEL, message, wParam, lParam);
}

// Shows the dialog for `model` while `drive` works it; the dialog's result.
int show(Model& model, const std::function<void(HWND)>& drive) {
    std::atomic<bool> stop{false};
    std::thread watcher([&] {
        for (int i = 0; i < 500 && !stop; ++i, ::Sleep(20)) {
            HWND dialog = ::FindWindowW(L"#32770", kCaption);
            if (dialog && ::IsWindowVisible(dialog)) return drive(dialog);
        }
    });
    std::string why;
    const int shown = kelmo::platform::current().sound_dialog.sound_input_dialog(model, &why);
    stop = true;
    watcher.join();
    EXPECT_EQ(why, "");
    return shown;
}

// Every control of the template, text and place as the dialog shows them.
void expect_template(HWND dialog) {
    struct Control { int id; std::wstring text; RECT units; };  // x, y, width, height
    const Control want[] = {
        {KELMO_IDC_DONE, L"\u5b8c\u6210", {34, 48, 50, 14}},       // 完成
        {KELMO_IDC_CANCEL, L"\u64a4\u6d88", {101, 48, 50, 14}},    // 撤消
        {KELMO_IDC_MICROPHONE, L"MicroPhone", {24, 12, 56, 14}},
        {KELMO_IDC_LINE_IN, L"LineIn", {24, 28, 56, 14}},
        {-1, L"\u901a\u8fc7", {16, 0, 72, 45}},                     // 通过
        {KELMO_IDC_LEVEL, L"Slider1", {112, 3, 25, 40}},
        {-1, L"\u91cf\u7a0b", {99, 8, 12, 22}},                     // 量程
        {-1, L"\u5c0f", {138, 7, 11, 13}},                          // 小
        {-1, L"\u5927", {138, 31, 13, 11}},                         // 大
    };
    std::map<std::wstring, std::pair<int, RECT>> seen;
    for (HWND c = ::GetWindow(dialog, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
        RECT r;
        ::GetWindowRect(c, &r);
        ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
        seen[text_of(c)] = {static_cast<int>(static_cast<short>(::GetDlgCtrlID(c))), r};
    }
    EXPECT_EQ(seen.size(), std::size(want));
    EXPECT_EQ(text_of(dialog), kCaption);
    for (const Control& c : want) {
        RECT r = c.units;  // each scaled on its own, as the template is
        ::MapDialogRect(dialog, &r);
        r.right += r.left;
        r.bottom += r.top;
        const auto it = seen.find(c.text);
        ASSERT_NE(it, seen.end()) << c.id;
        EXPECT_EQ(it->second.first, c.id);
        EXPECT_TRUE(::EqualRect(&it->second.second, &r)) << c.id;
    }
}

void expect_state(HWND dialog, bool microphone, bool lineIn, LRESULT minimum, LRESULT maximum, LRESULT position) {
    EXPECT_EQ(::IsDlgButtonChecked(dialog, KELMO_IDC_MICROPHONE), microphone ? BST_CHECKED : BST_UNCHECKED);
    EXPECT_EQ(::IsDlgButtonChecked(dialog, KELMO_IDC_LINE_IN), lineIn ? BST_CHECKED : BST_UNCHECKED);
    EXPECT_EQ(slider(dialog, TBM_GETRANGEMIN), minimum);
    EXPECT_EQ(slider(dialog, TBM_GETRANGEMAX), maximum);
    EXPECT_EQ(slider(dialog, TBM_GETPOS), position);
}

void click(HWND dialog, int id) { ::SendMessageW(::GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

TEST(SoundInputDialog, ShowsTheModelAndHandsBackTheChoiceOnDone) {
    Model model;
    const int shown = show(model, [&](HWND dialog) {
        expect_template(dialog);
        expect_state(dialog, true, false, 10, 2000, 300);
        click(dialog, KELMO_IDC_LINE_IN);
        expect_state(dialog, false, true, 11, 3000, 301);
        slider(dialog, TBM_SETPOS, TRUE, 2345);
        click(dialog, KELMO_IDC_DONE);
    });
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(model.refreshed, (std::vector<int>{0, 1}));
    EXPECT_EQ(model.finished, (std::vector<std::pair<int, uint32_t>>{{1, 2345}}));
}

// A model that fails leaves the slider at its full range and the dialog
// working; with neither input checked, Done hands back the model's input.
TEST(SoundInputDialog, AFailingModelLeavesTheSliderAndTheDialogWorking) {
    Model model;
    model.initial = 7;
    model.fails = true;
    EXPECT_EQ(show(model, [&](HWND dialog) {
                  expect_state(dialog, false, false, 1, 65535, 1);
                  ::SendMessageW(dialog, WM_COMMAND, IDOK, 0);  // Enter
              }),
              1);
    EXPECT_EQ(model.refreshed, std::vector<int>{7});
    EXPECT_EQ(model.finished, (std::vector<std::pair<int, uint32_t>>{{7, 1}}));
}

TEST(SoundInputDialog, CancelAndTheCloseBoxLeaveTheModelAlone) {
    for (const bool closeBox : {false, true}) {
        Model model;
        model.initial = 1;
        EXPECT_EQ(show(model, [&](HWND dialog) {
                      click(dialog, KELMO_IDC_MICROPHONE);
                      if (closeBox) ::SendMessageW(dialog, WM_CLOSE, 0, 0);
                      else click(dialog, KELMO_IDC_CANCEL);
                  }),
                  2);
        EXPECT_EQ(model.refreshed, (std::vector<int>{1, 0}));
        EXPECT_TRUE(model.finished.empty());
    }
}

}  // namespace
