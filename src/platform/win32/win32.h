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

// Named shared memory: file mappings of the paging file (shm_win32.cpp).
SharedMemoryPtr shm_create_or_open(const std::string& name, std::size_t size, bool* created);
SharedMemoryPtr shm_open_existing(const std::string& name, std::size_t size, Access access);
// The acquisition device through its kernel driver (device_win32.cpp).
DevicePtr open_device();
// The registry under HKEY_CURRENT_USER (settings_win32.cpp).
std::optional<uint32_t> user_setting(const char* key, const char* name);
std::optional<std::string> user_setting_text(const char* key, const char* name);
bool set_user_setting_text(const char* key, const char* name, const std::string& value);
// The I/O ports (ports_win32.cpp).
bool port_write(uint16_t port, uint8_t value);
bool port_read(uint16_t port, uint8_t* value);
// The settings files of the working folder, and folders (files_win32.cpp).
long read_small_file(const char* name, void* data, std::size_t bytes);
bool write_small_file(const char* name, const void* data, std::size_t bytes, std::string* why);
bool directory_exists(const std::string& path);
void create_directory(const std::string& path);
// Waveform input through winmm (wave_in_win32.cpp), and the handle of a
// device of this backend (false for any other device).
uint32_t wave_in_caps(uint32_t device, uint32_t* formats);
uint32_t wave_in_query(uint32_t device, const WaveFormat& format);
uint32_t wave_in_open(uint32_t device, const WaveFormat& format, WaveInPtr* out);
bool wave_in_handle(WaveIn& device, HWAVEIN* handle);
// Waveform output through winmm (wave_out_win32.cpp).
uint32_t wave_out_count();
uint32_t wave_out_caps(uint32_t device, WaveOutCaps* caps);
uint32_t wave_out_query(uint32_t device, const WaveFormat& format);
uint32_t wave_out_open(uint32_t device, const WaveFormat& format, WaveOutPtr* out);

// The mixer through winmm (mixer_win32.cpp). Opening one sends its change
// notifications to a hidden window of the calling thread, which hands
// them to `notify`.
uint32_t mixer_count();
uint32_t mixer_of(WaveIn& device, uint32_t* mixerId);
uint32_t mixer_open(uint32_t id, MixerNotify notify, MixerPtr* out);

// The recording-input dialog from resource 24001 (sound_dialog_win32.cpp).
int sound_input_dialog(SoundInputDialogModel& model, std::string* why);

// The folder browser with its edit box, and the boxes shown over it
// (folder_chooser_win32.cpp).
int folder_chooser(FolderChooserModel& model, void* parent, std::string* why);
bool question_box(const char* text);
void warning_box(const char* text);

}  // namespace kelmo::platform::win32
