// The recording-input dialog on Windows: template KELMO_IDD_SOUND_INPUT of
// this module (sound_dialog.rc), shown modally without a parent. It only
// shows the model's values and hands the user's choice back; what they
// mean is the model's business.
#include "platform/win32/win32.h"  // windows.h, before commctrl.h

#include <commctrl.h>

#include <cstdio>

#include "platform/win32/sound_dialog_ids.h"

namespace kelmo::platform::win32 {
namespace {

// The full range the slider has before the model has told its own.
constexpr LPARAM kFirstMinimum = 1;
constexpr LPARAM kFirstMaximum = 65535;

struct DialogState {
    SoundInputDialogModel* model;
    int radio;  // the input the slider stands for
};

// Registers the slider's window class. comctl32 is loaded here, when the
// dialog is first wanted, rather than imported: the DLL keeps importing
// only the system DLLs it always has, and a host that never shows the
// dialog never loads it.
bool init_common_controls() {
    using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    static const InitFn init = [] {
        HMODULE comctl = ::LoadLibraryW(L"comctl32.dll");  // kept for the life of the process
        if (!comctl) return InitFn{};
        return reinterpret_cast<InitFn>(reinterpret_cast<void*>(::GetProcAddress(comctl, "InitCommonControlsEx")));
    }();
    if (!init) return false;
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_BAR_CLASSES};
    return init(&icc) != FALSE;
}

LRESULT slider(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::SendDlgItemMessageW(dialog, KELMO_IDC_LEVEL, message, wParam, lParam);
}

// Asks the model for the slider of the current input; a refusal (or a
// fault in the model) leaves the slider as it is.
void refresh(HWND dialog, DialogState& state) {
    uint32_t minimum = 0, maximum = 0, position = 0;
    bool ok = false;
    try {
        ok = state.model->refresh(state.radio, &minimum, &maximum, &position);
    } catch (...) {
        ok = false;
    }
    if (!ok) return;
    slider(dialog, TBM_SETRANGEMIN, FALSE, static_cast<LPARAM>(static_cast<LONG>(minimum)));
    slider(dialog, TBM_SETRANGEMAX, FALSE, static_cast<LPARAM>(static_cast<LONG>(maximum)));
    slider(dialog, TBM_SETPOS, TRUE, static_cast<LPARAM>(static_cast<LONG>(position)));
}

void done(HWND dialog, DialogState& state) {
    int radio = state.radio;
    if (::IsDlgButtonChecked(dialog, KELMO_IDC_MICROPHONE) == BST_CHECKED) {
        radio = 0;
    } else if (::IsDlgButtonChecked(dialog, KELMO_IDC_LINE_IN) == BST_CHECKED) {
        radio = 1;
    }
    const auto position = static_cast<uint32_t>(slider(dialog, TBM_GETPOS, 0, 0));
    try {
        state.model->done(radio, position);
    } catch (...) {
        // The dialog still ends with Done: the user pressed it.
    }
    ::EndDialog(dialog, IDOK);
}

INT_PTR CALLBACK dialog_proc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<DialogState*>(::GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG: {
        state = reinterpret_cast<DialogState*>(lParam);
        ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        try {
            state->radio = state->model->radio();
        } catch (...) {
            state->radio = -1;
        }
        ::CheckDlgButton(dialog, KELMO_IDC_MICROPHONE, state->radio == 0 ? BST_CHECKED : BST_UNCHECKED);
        ::CheckDlgButton(dialog, KELMO_IDC_LINE_IN, state->radio == 1 ? BST_CHECKED : BST_UNCHECKED);
        slider(dialog, TBM_SETRANGEMIN, FALSE, kFirstMinimum);
        slider(dialog, TBM_SETRANGEMAX, FALSE, kFirstMaximum);
        refresh(dialog, *state);
        return TRUE;
    }
    case WM_COMMAND:
        if (!state) return FALSE;
        switch (LOWORD(wParam)) {
        case KELMO_IDC_MICROPHONE:
        case KELMO_IDC_LINE_IN:
            if (HIWORD(wParam) != BN_CLICKED) return FALSE;
            state->radio = LOWORD(wParam) == KELMO_IDC_MICROPHONE ? 0 : 1;
            refresh(dialog, *state);
            return TRUE;
        case KELMO_IDC_DONE:
        case IDOK:
            done(dialog, *state);
            return TRUE;
        case KELMO_IDC_CANCEL:
        case IDCANCEL:
            ::EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    case WM_CLOSE:
        ::EndDialog(dialog, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

namespace {
class Win32SoundDialog final : public SoundDialog {
public:
    int sound_input_dialog(SoundInputDialogModel& model, std::string* why) override;
};
}  // namespace

int Win32SoundDialog::sound_input_dialog(SoundInputDialogModel& model, std::string* why) {
    const bool controls = init_common_controls();
    DialogState state{&model, -1};
    const INT_PTR result = ::DialogBoxParamW(this_module(), MAKEINTRESOURCEW(KELMO_IDD_SOUND_INPUT), nullptr,
                                             dialog_proc, reinterpret_cast<LPARAM>(&state));
    if (result == IDOK) return 1;
    if (result == IDCANCEL) return 2;
    char text[160];
    std::snprintf(text, sizeof text, "the dialog could not be created (error %lu%s)",
                  static_cast<unsigned long>(::GetLastError()),
                  controls ? "" : "; the common controls could not be initialised");
    if (why) *why = text;
    return 0;
}

SoundDialog& sound_dialog() {
    static Win32SoundDialog instance;
    return instance;
}

}  // namespace kelmo::platform::win32
