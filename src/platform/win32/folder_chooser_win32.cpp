// The folder browser on Windows: the shell's SHBrowseForFolderA, extended
// with an edit box above the folder tree. Selecting a folder in the tree
// puts its path into the box; the user may also type one. OK hands the
// box's text to the model, which decides whether the browser closes.
//
// The browser's own result (an item list) is not used: what counts is the
// text of the box when the model accepted it.
#include "platform/win32/win32.h"  // windows.h, before the shell headers

#include <objbase.h>
#include <shlobj.h>

#include <string>

namespace kelmo::platform::win32 {
namespace {

// Controls of the browser's window, and the box added to it.
constexpr int kTreeId = 14145;
constexpr int kStatusId = 14147;
constexpr int kEditId = 14148;
// The box sits above the tree: 23 pixels high, ending 4 pixels above it.
constexpr int kEditAbove = 27;
constexpr int kEditHeight = 23;
// Where the tree is taken to be when the browser has none of that id.
constexpr int kMargin = 8;
constexpr int kPathBytes = 260;  // MAX_PATH, the NUL included

// The window property that carries the state to the subclass procedure.
constexpr wchar_t kStateProp[] = L"kelmo.folder_chooser";

struct ChooserState {
    FolderChooserModel* model;
    HWND browser = nullptr;
    HWND edit = nullptr;
    WNDPROC previous = nullptr;  // the browser's own procedure
    bool confirmed = false;
};

// The caption in GBK shown the same on every system: converted from code
// page 936 to UTF-16; as bytes of the system's code page only when the
// conversion fails.
void set_caption(HWND window, const char* gbk) {
    std::wstring wide;
    if (win32::gbk_to_wide(gbk, &wide))
        ::SetWindowTextW(window, wide.c_str());
    else
        ::SetWindowTextA(window, gbk);
}

// The whole text of a box in the process's code page (the hosts' own), and
// whether some of its characters are not in that code page ('?' there).
std::string ansi_text(HWND box, bool* lossy) {
    *lossy = false;
    const int n = ::GetWindowTextLengthW(box);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n) + 1, L'\0');
    wide.resize(static_cast<std::size_t>(::GetWindowTextW(box, wide.data(), n + 1)));
    if (wide.empty()) return {};
    // UTF-8 holds everything, and takes neither flags nor the default.
    const bool utf8 = ::GetACP() == CP_UTF8;
    BOOL usedDefault = FALSE;
    const int w = static_cast<int>(wide.size());
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int bytes = ::WideCharToMultiByte(CP_ACP, flags, wide.data(), w, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        *lossy = true;
        return std::string(wide.size(), '?');
    }
    std::string out(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, flags, wide.data(), w, out.data(), bytes, nullptr, utf8 ? nullptr : &usedDefault);
    *lossy = usedDefault != FALSE;
    return out;
}

void enable_ok(HWND browser, bool enable) { ::SendMessageW(browser, BFFM_ENABLEOK, 0, enable ? TRUE : FALSE); }

// OK: the model checks the box's text. Accepted, the browser ends with OK;
// refused (the model has told the user why), the box gets the focus back.
// true when the command is done with.
bool on_ok(ChooserState& state) {
    bool accepted = false;
    try {
        bool lossy = false;
        const std::string text = state.edit ? ansi_text(state.edit, &lossy) : std::string();
        if (lossy)
            state.model->unrepresentable(text);
        else
            accepted = state.model->confirm(text);
    } catch (...) {
        accepted = false;
    }
    if (!accepted) {
        if (state.edit) ::SetFocus(state.edit);
        return true;
    }
    state.confirmed = true;
    return false;
}

LRESULT CALLBACK browser_proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = static_cast<ChooserState*>(::GetPropW(window, kStateProp));
    if (!state) return ::DefWindowProcW(window, message, wParam, lParam);  // never expected
    const WNDPROC previous = state->previous;
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == kEditId) {
            if (HIWORD(wParam) == EN_CHANGE) enable_ok(window, ::GetWindowTextLengthW(state->edit) > 0);
            return 0;
        }
        if (LOWORD(wParam) == IDOK) {
            if (on_ok(*state)) return 0;
            // The browser's own OK first, then the end of the dialog in
            // case the browser declined (its tree holds no folder).
            const LRESULT r = ::CallWindowProcW(previous, window, message, wParam, lParam);
            ::EndDialog(window, IDOK);
            return r;
        }
        break;
    case WM_NCDESTROY:
        ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
        ::RemovePropW(window, kStateProp);
        state->previous = nullptr;
        state->edit = nullptr;
        break;
    }
    return ::CallWindowProcW(previous, window, message, wParam, lParam);
}

// Hides the status line, puts the box where it was (above the tree), and
// selects the folder the model starts with.
void on_initialized(HWND browser, ChooserState& state) {
    state.browser = browser;
    try {
        set_caption(browser, state.model->title());
    } catch (...) {
    }
    if (::SetPropW(browser, kStateProp, &state)) {
        state.previous = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(browser, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&browser_proc)));
        if (!state.previous) ::RemovePropW(browser, kStateProp);
    }
    if (HWND status = ::GetDlgItem(browser, kStatusId)) ::ShowWindow(status, SW_HIDE);

    RECT tree;
    if (HWND t = ::GetDlgItem(browser, kTreeId); t && ::GetWindowRect(t, &tree)) {
        ::MapWindowPoints(nullptr, browser, reinterpret_cast<POINT*>(&tree), 2);
    } else {
        RECT client{};
        ::GetClientRect(browser, &client);
        tree = {kMargin, kMargin + kEditAbove, client.right - kMargin, client.bottom - kMargin};
    }
    state.edit = ::CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL,
                                   tree.left, tree.top - kEditAbove, tree.right - tree.left, kEditHeight, browser,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(kEditId)), this_module(), nullptr);
    if (state.edit) {
        if (const LRESULT font = ::SendMessageW(browser, WM_GETFONT, 0, 0))
            ::SendMessageW(state.edit, WM_SETFONT, static_cast<WPARAM>(font), FALSE);
    }

    std::string start;
    try {
        start = state.model->start_path();
    } catch (...) {
        start.clear();
    }
    if (start.empty()) {
        char current[kPathBytes] = {};
        const DWORD n = ::GetCurrentDirectoryA(kPathBytes, current);
        if (n > 0 && n < kPathBytes) start = current;
    }
    if (!start.empty()) ::SendMessageA(browser, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(start.c_str()));
    // A start folder the tree could not select leaves the box empty, and
    // OK is offered only for a path in the box.
    if (state.edit) enable_ok(browser, ::GetWindowTextLengthW(state.edit) > 0);
}

// A folder of the tree was selected: OK is offered only for one the model
// may take, and its path goes into the box.
void on_selection(HWND browser, ChooserState& state, LPCITEMIDLIST item) {
    char path[kPathBytes] = {};
    bool selectable = false;
    if (item && ::SHGetPathFromIDListA(item, path)) {
        try {
            selectable = state.model->selectable(path);
        } catch (...) {
            selectable = false;
        }
    }
    if (!selectable) path[0] = '\0';
    enable_ok(browser, selectable);
    ::SendMessageA(browser, BFFM_SETSTATUSTEXTA, 0, reinterpret_cast<LPARAM>(path));
    if (state.edit) ::SetWindowTextA(state.edit, path);
}

int CALLBACK browse_callback(HWND browser, UINT message, LPARAM lParam, LPARAM data) {
    auto* state = reinterpret_cast<ChooserState*>(data);
    try {
        switch (message) {
        case BFFM_INITIALIZED:
            on_initialized(browser, *state);
            break;
        case BFFM_SELCHANGED:
            on_selection(browser, *state, reinterpret_cast<LPCITEMIDLIST>(lParam));
            break;
        }
    } catch (...) {
        // Out of memory at most: the browser goes on as it is.
    }
    return 0;
}

// The thread's COM apartment for the time of the browser, as the shell
// wants it; a thread the host already put into another one keeps it.
class Apartment {
public:
    Apartment() : joined_(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~Apartment() {
        if (joined_) ::CoUninitialize();
    }
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;

private:
    bool joined_;
};

// The shell's allocator, released at the end of the scope.
class ShellAllocator {
public:
    ShellAllocator() {
        if (FAILED(::SHGetMalloc(&malloc_))) malloc_ = nullptr;
    }
    ~ShellAllocator() {
        if (malloc_) malloc_->Release();
    }
    ShellAllocator(const ShellAllocator&) = delete;
    ShellAllocator& operator=(const ShellAllocator&) = delete;
    explicit operator bool() const { return malloc_ != nullptr; }
    void free(void* p) {
        if (p) malloc_->Free(p);
    }

private:
    IMalloc* malloc_ = nullptr;
};

}  // namespace

namespace {
class Win32FolderChooser final : public FolderChooser {
public:
    int folder_chooser(FolderChooserModel& model, void* parent, std::string* why) override;
    bool question_box(const char* text) override;
    void warning_box(const char* text) override;
};
}  // namespace

int Win32FolderChooser::folder_chooser(FolderChooserModel& model, void* parent, std::string* why) {
    ShellAllocator allocator;
    if (!allocator) {
        if (why) *why = "no shell allocator";
        return 0;
    }
    const std::string prompt = model.prompt();
    Apartment apartment;
    ChooserState state{&model};
    char displayName[kPathBytes] = {};
    BROWSEINFOA info{};
    info.hwndOwner = static_cast<HWND>(parent);
    info.pidlRoot = nullptr;
    info.pszDisplayName = displayName;
    info.lpszTitle = prompt.c_str();
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT;
    info.lpfn = browse_callback;
    info.lParam = reinterpret_cast<LPARAM>(&state);
    allocator.free(::SHBrowseForFolderA(&info));
    if (!state.browser) {
        if (why) *why = "the folder browser could not be started";
        return 0;
    }
    return state.confirmed ? 1 : 2;
}

// Over the chooser, which is the thread's active window while it is up.
bool Win32FolderChooser::question_box(const char* text) {
    return ::MessageBoxA(::GetActiveWindow(), text, "kelmo", MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void Win32FolderChooser::warning_box(const char* text) { ::MessageBoxA(::GetActiveWindow(), text, "kelmo", MB_OK | MB_ICONEXCLAMATION); }

FolderChooser& folder_chooser() {
    static Win32FolderChooser instance;
    return instance;
}

}  // namespace kelmo::platform::win32
