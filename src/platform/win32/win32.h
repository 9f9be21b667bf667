// Pieces of the Windows backend kept in files of their own.
#pragma once

#include <windows.h>

#include "platform/platform.h"

namespace kelmo::platform::win32 {

// The module of this library (for its resources and window classes).
HINSTANCE this_module();

// Opens mixer `id` with its change notifications going to a hidden window
// of the calling thread, which hands them to `notify`.
uint32_t mixer_open(uint32_t id, MixerNotify notify, MixerPtr* out);

// The recording-input dialog from resource 24001 (sound_dialog_win32.cpp).
int sound_input_dialog(SoundInputDialogModel& model, std::string* why);

// The folder browser with its edit box (folder_chooser_win32.cpp).
int folder_chooser(FolderChooserModel& model, void* parent, std::string* why);

}  // namespace kelmo::platform::win32
