// Message texts of the library, byte for byte. Chinese texts are stored in
// the GBK code page as escapes, with their reading in a comment.
#pragma once

#include "kelmo.h"

namespace kelmo::msg {

inline constexpr const char* kHfmCreateFailure = "hfm Create Failure!";
inline constexpr const char* kWaveInCapsError = "waveInGetDevCaps error!";
// "xa 数组的值不能相同" — the values of the xa array must not be equal.
inline constexpr const char* kSplineEqualAbscissas =
    "xa \xCA\xFD\xD7\xE9\xB5\xC4\xD6\xB5\xB2\xBB\xC4\xDC\xCF\xE0\xCD\xAC";
// Sound-card capture.
inline constexpr const char* kSoundFormatUnsupported = "not support the sound format!";
// "内存不够!" — not enough memory.
inline constexpr const char* kNotEnoughMemory = "\xC4\xDA\xB4\xE6\xB2\xBB\xB9\xBB!";
inline constexpr const char* kWaveInOpenError = "not support the waveIn open!";
inline constexpr const char* kPrepareFirstError = "PrepareHeader 1st district error!";
inline constexpr const char* kAddFirstError = "AdBuffer wh error!";
inline constexpr const char* kWaveInStartError = "waveIn Starterror!";
inline constexpr const char* kUnprepareSecondError = "UnprepareHeader wh1 error!";
inline constexpr const char* kPrepareSecondError = "PrepareHeader wh1 error!";
inline constexpr const char* kAddSecondError = "AdBuffer wh1 error!";
inline constexpr const char* kUnprepareFirstError = "UnprepareHeader wh error!";
inline constexpr const char* kPrepareFirstAgainError = "PrepareHeader wh error!";
inline constexpr const char* kAddFirstAgainError = "AdBuffer  error!";  // two blanks
inline constexpr const char* kGetPositionError = "GetPosition error 1!";
// Speaker playback.
// "发声设备只支持1个通道" — the output device has only one channel.
inline constexpr const char* kSpeakerOneChannel =
    "\xB7\xA2\xC9\xF9\xC9\xE8\xB1\xB8\xD6\xBB\xD6\xA7\xB3\xD6" "1" "\xB8\xF6\xCD\xA8\xB5\xC0";
inline constexpr const char* kWaveOutOpenError = "not support the waveOut open!";
inline constexpr const char* kWaveOutVolumeError = "WaveOut Volume Control error!";
inline constexpr const char* kAddWhoutError = "AdBuffer whout error!";
inline constexpr const char* kWaveOutStartError = "waveOut Starterror!";
inline constexpr const char* kUnprepareWhout1Error = "UnprepareHeader whout1 error!";
inline constexpr const char* kPrepareWhout1Error = "PrepareHeader whout1 error!";
inline constexpr const char* kWriteWhout1Error = "WriteBuffer whout1 error!";
inline constexpr const char* kUnprepareWhoutError = "UnprepareHeader whout error!";
inline constexpr const char* kPrepareWhoutError = "PrepareHeader whout error!";
inline constexpr const char* kWriteWhoutError = "WriteBuffer whout error!";
inline constexpr const char* kWaveOutPositionError = "waveOutGetPosition error!";
inline constexpr const char* kWaveOutPauseError = "waveOutPause error!";
inline constexpr const char* kWaveOutResetError = "waveOutReset error!";
inline constexpr const char* kWaveOutCloseError = "waveOutClose error!";
inline constexpr const char* kWaveInStopError = "waveInStop error!";
inline constexpr const char* kWaveInResetError = "waveInReset error!";
inline constexpr const char* kWaveInCloseError = "waveInClose error!";
// "释放内存失败" — releasing the memory failed.
inline constexpr const char* kReleaseMemoryFailed = "\xCA\xCD\xB7\xC5\xC4\xDA\xB4\xE6\xCA\xA7\xB0\xDC";
// "声卡工作不正常!" — the sound card does not work properly.
inline constexpr const char* kSoundCardNotWorking = "\xC9\xF9\xBF\xA8\xB9\xA4\xD7\xF7\xB2\xBB\xD5\xFD\xB3\xA3!";
// The recording input's volume (printf formats; %d is the system's code).
inline constexpr const char* kMapperOpenFailed = ".InputXxxVolume: FAILURE: Could not open WaveIn Mapper. mmResult=%d\n";
inline constexpr const char* kMapperNoMixer =
    ".InputXxxVolume: FAILURE: WaveIn Mapper in Mixer is not available. mmResult=%d\n";
inline constexpr const char* kMixerOpenFailed = ".InputXxxVolume: FAILURE: Could not open Mixer. mmResult=%d\n";
inline constexpr const char* kNoWaveInDestination =
    ".InputXxxVolume: FAILURE: Could not get WaveIn Destionation Line for the requested source while enumerating. "
    "mmResult=%d\n";
inline constexpr const char* kSourceLineFailed =
    ".InputXxxVolume: FAILURE: Could not get the interated Source Line while enumerating. mmResult=%d\n";
// "不可调节 Microphone 的音量" — the microphone volume cannot be adjusted.
inline constexpr const char* kVolumeNotAdjustable =
    "\xB2\xBB\xBF\xC9\xB5\xF7\xBD\xDA Microphone \xB5\xC4\xD2\xF4\xC1\xBF";
inline constexpr const char* kWriteValueError = "Write Value Error!";
// Console lines of the device transport (printf formats).
inline constexpr const char* kDeviceOpenFailed =
    "Failed to obtain file handle to device: %s with Win32 error code: %d\n";
inline constexpr const char* kDeviceCloseFailed = "Failed on call to CloseHandle - error: %d\n";
// A request the device did not answer properly (Linux device transport).
inline constexpr const char* kDeviceRequestFailed = "Request to device %s (code 0x%06X) failed: %s (time-out %u ms)\n";
inline constexpr const char* kDeviceName = "ZEB1";

}  // namespace kelmo::msg

namespace kelmo {
// Shows a message box (or hands the text to the host's handler).
void show_message(const char* text);
// Lets the host's window procedures run: the platform dispatches what is
// pending (the thread's window messages on Windows, the mixers' change
// notices on Linux), then the host's dispatch hook runs when one is set.
void dispatch_messages();
// Prints one console line through the platform, printf-style.
void console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same for a line of the library's that speaks of Windows (the
// device's failures): where the console is a person's (Linux), the cause
// recorded for the failure (core/reason.h) stands in for it.
void failure_console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The host's hooks (kelmo_set_message_handler, kelmo_set_dispatch_hook):
// null restores the library's own behaviour.
void set_message_handler(kelmo_message_handler handler, void* context);
void set_dispatch_hook(kelmo_dispatch_hook hook, void* context);

}  // namespace kelmo
