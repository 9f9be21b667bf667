// Message texts of the library, byte for byte. Chinese texts are stored in
// the GBK code page as escapes, with their reading in a comment.
#pragma once

namespace kelmo::msg {

inline constexpr const char* kHfmCreateFailure = "hfm Create Failure!";
inline constexpr const char* kWaveInCapsError = "waveInGetDevCaps error!";
// "xa 数组的值不能相同" — the values of the xa array must not be equal.
inline constexpr const char* kSplineEqualAbscissas =
    "xa \xCA\xFD\xD7\xE9\xB5\xC4\xD6\xB5\xB2\xBB\xC4\xDC\xCF\xE0\xCD\xAC";
// Console lines of the device transport (printf formats).
inline constexpr const char* kDeviceOpenFailed =
    "Failed to obtain file handle to device: %s with Win32 error code: %d\n";
inline constexpr const char* kDeviceCloseFailed = "Failed on call to CloseHandle - error: %d\n";
inline constexpr const char* kDeviceName = "ZEB1";

}  // namespace kelmo::msg

namespace kelmo {
// Shows a message box (or hands the text to the host's handler).
void show_message(const char* text);
// Lets the host's window procedures run: the thread's pending window
// messages are dispatched, or the host's dispatch hook is called.
void dispatch_messages();
// Prints one console line through the platform, printf-style.
void console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
}  // namespace kelmo
