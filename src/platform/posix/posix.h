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

// The concerns, each implemented in its file (<concern>_posix.cpp); the
// clock, the process and the messages are platform_posix.cpp's.
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

// The device on a connected socket, which it takes over: reads the greeting
// and returns the device, or nullptr with the socket closed: errno EBUSY
// when another client holds the device, ENODEV when it closed the
// connection during its greeting, ETIMEDOUT when the greeting did not come
// in time, EPROTO when it is not the device's.
DevicePtr greet_device(int fd);
// The socket path of the device "ZEB1": $KELMO_DEVICE_DIR/ZEB1, by default
// in $XDG_RUNTIME_DIR/kelmo, else /tmp/kelmo-<uid>.
std::string device_path();
// strerror for this thread, in the C locale's English.
std::string error_text(int error);
// GBK bytes to UTF-8 (invalid sequences become U+FFFD).
std::string gbk_to_utf8(const char* text);
// Milliseconds of the monotonic clock (not wrapped).
uint64_t monotonic_ms();
// Dispatching messages hands on the changes of the mixers this thread
// opened (mixer_posix.cpp).
void dispatch_mixer_events();

}  // namespace kelmo::platform::posix
