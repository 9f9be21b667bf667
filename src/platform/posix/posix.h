// Pieces of the POSIX backend shared between its files.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace kelmo::platform::posix {

// A descriptor the library keeps, moved to 3 or above (close-on-exec) when
// it took 0, 1 or 2, which a host started with them closed left free; -1
// (and the original closed) when it cannot be moved.
int keep_above_stdio(int fd);
// While it lives, closed descriptors among 0, 1 and 2 hold /dev/null, so
// that what a system library opens meanwhile and keeps (ALSA's sockets,
// GTK's display connection) lands above them.
class StdioPlugs {
public:
    StdioPlugs();
    ~StdioPlugs();
    StdioPlugs(const StdioPlugs&) = delete;
    StdioPlugs& operator=(const StdioPlugs&) = delete;

private:
    bool plugged_[3] = {false, false, false};
};

SharedMemoryPtr shm_create_or_open(const std::string& name, std::size_t size, bool* created);
SharedMemoryPtr shm_open_existing(const std::string& name, std::size_t size, Access access);
SharedMemoryPtr shm_use_existing(const std::string& name, std::size_t size, Access access);
DevicePtr open_device();
// The device on a connected socket, which it takes over: reads the greeting
// and returns the device, or nullptr with the socket closed: errno EBUSY
// when another client holds the device, ENODEV when it closed the
// connection during its greeting, ETIMEDOUT when the greeting did not come
// in time, EPROTO when it is not the device's.
DevicePtr greet_device(int fd);
// The socket path of the device "ZEB1": $KELMO_DEVICE_DIR/ZEB1, by default
// in $XDG_RUNTIME_DIR/kelmo, else /tmp/kelmo-<uid>.
std::string device_path();
std::string device_open_failure(int error);
std::string shm_where(const std::string& name);
// strerror for this thread, in the C locale's English.
std::string error_text(int error);
// GBK bytes to UTF-8 (invalid sequences become U+FFFD).
std::string gbk_to_utf8(const char* text);
// Milliseconds of the monotonic clock (not wrapped).
uint64_t monotonic_ms();
// The user's settings file (settings_posix.cpp) and the I/O ports.
std::optional<uint32_t> user_setting(const char* key, const char* name);
std::optional<std::string> user_setting_text(const char* key, const char* name);
bool set_user_setting_text(const char* key, const char* name, const std::string& value);
bool port_write(uint16_t port, uint8_t value);
bool port_read(uint16_t port, uint8_t* value);
// The settings files of the working folder, and folders (files_posix.cpp).
long read_small_file(const char* name, void* data, std::size_t bytes);
bool write_small_file(const char* name, const void* data, std::size_t bytes, std::string* why);
bool directory_exists(const std::string& path);
void create_directory(const std::string& path);
// Waveform input through ALSA (wave_in_posix.cpp).
uint32_t wave_in_caps(uint32_t device, uint32_t* formats);
uint32_t wave_in_query(uint32_t device, const WaveFormat& format);
uint32_t wave_in_open(uint32_t device, const WaveFormat& format, WaveInPtr* out);
// The mixer through ALSA (mixer_posix.cpp); dispatching messages hands on
// the changes of the mixers this thread opened.
uint32_t mixer_count();
uint32_t mixer_of(WaveIn& device, uint32_t* mixerId);
uint32_t mixer_open(uint32_t id, MixerNotify notify, MixerPtr* out);
void dispatch_mixer_events();
// The recording-input dialog (sound_dialog_posix.cpp).
int sound_input_dialog(SoundInputDialogModel& model, std::string* why);
// The folder chooser and its boxes (folder_chooser_posix.cpp).
int folder_chooser(FolderChooserModel& model, void* parent, std::string* why);
bool question_box(const char* text);
void warning_box(const char* text);
// Waveform output through ALSA (wave_out_posix.cpp).
uint32_t wave_out_count();
uint32_t wave_out_caps(uint32_t device, WaveOutCaps* caps);
uint32_t wave_out_query(uint32_t device, const WaveFormat& format);
uint32_t wave_out_open(uint32_t device, const WaveFormat& format, WaveOutPtr* out);

}  // namespace kelmo::platform::posix
