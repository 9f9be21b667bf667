// Pieces of the Windows backend shared between its files.
#pragma once

#include <windows.h>

#include <mmsystem.h>

#include <string>

#include "platform/platform.h"

namespace kelmo::platform::win32 {

// The module of this library (for its resources and window classes).
HINSTANCE this_module();

// The library's texts are GBK bytes: shown through code page 936 whatever
// the system's ANSI code page is, so that they read the same everywhere.
// False (and `out` untouched) when the text does not convert
// (platform_win32.cpp).
bool gbk_to_wide(const char* gbk, std::wstring* out);
// The system's words for an error code, in English where the system has
// them, else in its own language, else "system error N".
std::string error_text(uint32_t code);

// The concerns, each implemented in its file (<concern>_win32.cpp): named
// shared memory as file mappings of the paging file, the device through its
// kernel driver, the registry under HKEY_CURRENT_USER, the settings files
// and folders, waveform input and output and the mixer through winmm (a
// mixer sends its change notifications to a hidden window of the thread
// that opened it), the recording-input dialog from resource 24001, the
// folder browser with its edit box. The clock, the process and the
// messages are platform_win32.cpp's.
SharedMemories& shared_memories();
Devices& devices();
Settings& settings();
Files& files();
WaveInputs& wave_inputs();
WaveOutputs& wave_outputs();
Mixers& mixers();
Ports& ports();
SoundDialog& sound_dialog();
FolderChooser& folder_chooser();

// The handle of a waveform-input device of this backend (false for any
// other device; wave_in_win32.cpp).
bool wave_in_handle(WaveIn& device, HWAVEIN* handle);

}  // namespace kelmo::platform::win32
