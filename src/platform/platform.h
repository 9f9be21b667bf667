// What the library asks of the operating system.
//
// The core never includes system headers; everything it needs from the
// system goes through the interfaces below, one per concern, gathered in a
// Platform. There are three implementations of each: win32/ (the real
// Windows APIs), posix/ (Linux) and fake/ (deterministic, for unit tests).
// The build picks win32 or posix as the default; a test may put another
// Platform in its place for a while with a platform::Installed guard.
//
// Contract, shared by every implementation:
//  - No operation throws. Failures come back as empty handles, false or 0,
//    and last_error() tells the system's error code where one exists.
//  - Handles are RAII objects: destroying one releases what it holds, so a
//    caller that returns early releases everything without further code.
//  - Names of shared memories are the system's own ("USB_samp", ...). An
//    implementation may prefix them with the namespace from the environment
//    variable KELMO_SHM_NAMESPACE, so that parallel runs do not meet.
//
// What the callers (the core and the sources) have checked before they
// call, so that an implementation need not check it again:
//  - Every `const char*` is non-null and NUL-terminated. Names of shared
//    memories, settings keys and values, programs and files are the
//    library's own constants, never a host's text; message and console
//    texts are the library's (GBK) or formatted by it, at most 512 bytes.
//  - Sizes of shared memories are the fixed sizes of their layouts (> 0).
//  - A device request's output buffer holds at least its output size, and
//    its input (the D/A buffer) at least its input size; the record is
//    whole.
//  - Waveform formats are 16-bit PCM with 1 or 2 channels at the rates the
//    sound card's dividers give (8000 .. 44100 Hz); buffers handed to
//    prepare() are page buffers or rings of the library, live until they
//    are unprepared, in slots 0 and 1.
//  - Mixer values are arrays of channels x max(items, 1) words.
//  - Ports are the three trigger registers 0x37A .. 0x37C.
//  - Buffers of read_small_file / write_small_file hold `bytes` bytes.
// What the implementation must still check is what comes from outside the
// process: objects another process created or shrank, replies of a device,
// what the user or the system answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/device_request.h"

namespace kelmo::platform {

// One open handle on a named shared memory, with a mapped view of `size()`
// bytes. The object lives while any process holds a handle on it; when the
// last handle anywhere is closed it disappears. A newly created object is
// zero-filled.
class SharedMemory {
public:
    virtual ~SharedMemory() = default;
    virtual void* data() const = 0;
    virtual std::size_t size() const = 0;
    virtual bool writable() const = 0;
    // False when another process has made the object smaller than the view
    // (possible on Linux, where writing past its end would fault). A view
    // kept between calls is checked before it is used.
    virtual bool intact() const { return true; }
    // Plain 32-bit loads and stores of word `index` (views are page-aligned).
    // Other processes may change the words at any time, so every access
    // goes to memory.
    int32_t word(std::size_t index) const {
        return __atomic_load_n(static_cast<const int32_t*>(data()) + index, __ATOMIC_RELAXED);
    }
    void set_word(std::size_t index, int32_t v) {
        __atomic_store_n(static_cast<int32_t*>(data()) + index, v, __ATOMIC_RELAXED);
    }
};
using SharedMemoryPtr = std::unique_ptr<SharedMemory>;

// An open acquisition device ("ZEB1"). Closing happens explicitly through
// close() so that its failure can be reported; the destructor closes
// quietly if close() was not called.
class Device {
public:
    virtual ~Device() = default;
    // One I/O control request: the 56-byte record as input, `out` (may be
    // null with outSize 0) as output; for the D/A requests, whose driver
    // may read the buffer as well, `out` is sent to the device too. *status, when not null, receives the
    // status word the device reports with the reply (continuous fetch); a
    // Windows driver writes it itself, through the address in the record.
    // A device that has not answered within `timeoutMs` fails the request
    // with a time-out error (where the system lets a request be bounded);
    // after a time-out or a broken reply the device refuses every further
    // request, since its replies can no longer be matched to requests.
    virtual bool ioctl(uint32_t code, const RequestRecord& record, void* out,
                       uint32_t outSize, uint32_t* status, uint32_t timeoutMs) = 0;
    // True on success; on failure last_error() has the code.
    virtual bool close() = 0;
    // After a failed ioctl: why the transport failed ("no reply within the
    // time-out", "reply cut off", ...), or nullptr when the device itself
    // answered with a failure.
    virtual const char* failure_cause() const { return nullptr; }
};
using DevicePtr = std::unique_ptr<Device>;

// 16-bit PCM waveform format.
struct WaveFormat {
    uint16_t channels;
    uint32_t rate;  // samples per second and channel
    uint16_t bitsPerSample;
    uint16_t blockAlign;
    uint32_t bytesPerSecond;
};

// Results of the waveform calls: 0 on success, else the system's code
// (the same values everywhere).
enum WaveResult : uint32_t {
    kWaveOk = 0,
    kWaveError = 1,          // unspecified failure
    kWaveBadDevice = 2,      // no such device
    kWaveAllocated = 4,      // the device is in use
    kWaveBadHandle = 5,      // no open device
    kWaveNoMemory = 7,
    kWaveBadFormat = 32,     // the device does not take the format
    kWaveStillPlaying = 33,  // a buffer is still queued
    kWaveUnprepared = 34,    // the buffer was not prepared
    kMixerBadLine = 1024,     // no such mixer line
    kMixerBadControl = 1025,  // no such mixer control
};

// An open waveform-input device. It fills the buffers it is given in the
// order they were queued and keeps recording between calls; a buffer is
// the caller's memory, which must stay valid until it is unprepared, the
// device reset or closed. Two buffer slots (0 and 1) are enough for the
// library's two-half ring.
class WaveIn {
public:
    virtual ~WaveIn() = default;
    virtual uint32_t prepare(int slot, void* data, uint32_t bytes) = 0;
    virtual uint32_t unprepare(int slot) = 0;
    virtual uint32_t add(int slot) = 0;
    virtual uint32_t start() = 0;
    virtual uint32_t stop() = 0;
    // Stops and returns every queued buffer.
    virtual uint32_t reset() = 0;
    // Sample frames recorded into the buffers since the start.
    virtual uint32_t position(uint32_t* frames) = 0;
    virtual uint32_t close() = 0;
};
using WaveInPtr = std::unique_ptr<WaveIn>;

// An open waveform-output device. It plays the buffers it is given in the
// order they were written, as long as it is not paused; a buffer is the
// caller's memory until it is unprepared, the device reset or closed.
class WaveOut {
public:
    virtual ~WaveOut() = default;
    virtual uint32_t prepare(int slot, void* data, uint32_t bytes) = 0;
    virtual uint32_t unprepare(int slot) = 0;
    virtual uint32_t write(int slot) = 0;
    virtual uint32_t pause() = 0;
    virtual uint32_t restart() = 0;
    // Stops and returns every queued buffer.
    virtual uint32_t reset() = 0;
    // Sample frames played since the device was opened.
    virtual uint32_t position(uint32_t* frames) = 0;
    // Waits until the position has reached `frames` (counted as position()
    // counts, wrapping at 32 bits), the device failed or `timeoutUs` passed;
    // false at once where the device cannot signal its progress, and the
    // caller sleeps instead.
    virtual bool wait_position(uint32_t /*frames*/, uint32_t /*timeoutUs*/) { return false; }
    // Left volume in the low 16 bits, right in the high 16.
    virtual uint32_t set_volume(uint32_t volume) = 0;
    virtual uint32_t close() = 0;
};
using WaveOutPtr = std::unique_ptr<WaveOut>;

// What a waveform-output device offers: the standard format flags, its
// channel count and whether it has a volume control.
struct WaveOutCaps {
    uint32_t formats = 0;
    uint16_t channels = 0;
    bool volume = false;
};

// The waveform-input device that stands for the system's choice (on
// Windows the wave mapper; elsewhere the same as device 0).
constexpr uint32_t kWaveMapper = 0xFFFFFFFF;

// Mixer line component types and control types, as the system numbers them.
enum MixerType : uint32_t {
    kMixerWaveInDestination = 7,
    kMixerSourceUndefined = 0x1000,
    kMixerSourceDigital = 0x1001,
    kMixerSourceLine = 0x1002,
    kMixerSourceMicrophone = 0x1003,
    kMixerSourceCompactDisc = 0x1005,
    kMixerSourceAuxiliary = 0x1009,
    kMixerSourceAnalog = 0x100A,
    kMixerVolumeControl = 0x50030001,
    kMixerMuxControl = 0x70010001,  // one source of a list at a time
    kMixerBooleanUnits = 0x10000,
    kMixerControlUniform = 0x1,
    kMixerControlMultiple = 0x2,
    kMixerControlDisabled = 0x80000000,
};

// A mixer line: a destination (such as the wave-in recording line) or one
// of the source lines that feed it.
struct MixerLine {
    uint32_t destination = 0;
    uint32_t source = 0;
    uint32_t id = 0;
    uint32_t componentType = 0;
    uint32_t channels = 0;
    uint32_t connections = 0;  // source lines of a destination
    uint32_t controls = 0;
};

// One control of a line. Volumes run from minimum to maximum (usually
// 0 .. 65535); a multiple-item control has `items` entries per channel.
struct MixerControl {
    uint32_t id = 0;
    uint32_t type = 0;
    uint32_t flags = 0;
    uint32_t items = 0;
    uint32_t minimum = 0;
    uint32_t maximum = 0;
    uint32_t steps = 0;
};

// An open mixer. Control values travel as 32-bit values, one per channel
// (times the items of a multiple-item control).
class Mixer {
public:
    virtual ~Mixer() = default;
    virtual uint32_t line_by_component(uint32_t componentType, MixerLine* line) = 0;
    virtual uint32_t line_by_source(uint32_t destination, uint32_t source, MixerLine* line) = 0;
    virtual uint32_t control_by_type(uint32_t lineId, uint32_t type, MixerControl* control) = 0;
    virtual uint32_t controls(uint32_t lineId, std::vector<MixerControl>* controls) = 0;
    virtual uint32_t get_details(uint32_t controlId, uint32_t channels, uint32_t items, uint32_t* values) = 0;
    virtual uint32_t set_details(uint32_t controlId, uint32_t channels, uint32_t items, const uint32_t* values) = 0;
    virtual uint32_t close() = 0;
};
using MixerPtr = std::unique_ptr<Mixer>;
// Told the id of a control whose value changed. Notifications reach the
// thread that opened the mixer while it dispatches messages.
using MixerNotify = std::function<void(uint32_t controlId)>;

// What the recording-input dialog asks of the library while it is open.
class SoundInputDialogModel {
public:
    virtual ~SoundInputDialogModel() = default;
    // The radio button checked when the dialog opens: 0 microphone, 1 line
    // in, anything else none.
    virtual int radio() const = 0;
    // The dialog opened, or radio button `radio` was clicked: the slider's
    // range and position for the input it stands for; false leaves the
    // slider as it is (a message has told the user why).
    virtual bool refresh(int radio, uint32_t* minimum, uint32_t* maximum, uint32_t* position) = 0;
    // Done was pressed with `radio` checked and the slider at `position`.
    virtual void done(int radio, uint32_t position) = 0;
};

// What the folder chooser asks of the library while it is open.
class FolderChooserModel {
public:
    virtual ~FolderChooserModel() = default;
    // The window's caption and the instruction text (GBK code page).
    virtual const char* title() const = 0;
    virtual const char* prompt() const = 0;
    // The folder selected when the chooser opens; empty for the process's
    // current directory.
    virtual std::string start_path() const = 0;
    // Whether a folder may be offered for OK (a selected item that is not
    // a path of the system's kind may not).
    virtual bool selectable(const std::string& path) const = 0;
    // OK was pressed with `path` typed or selected (the whole text, however
    // long): true closes the chooser with it; false keeps it open (the
    // model has told the user why).
    virtual bool confirm(const std::string& path) = 0;
    // OK was pressed with a text that the process's code page cannot hold
    // (`shown` as it can: '?' for what it cannot); the chooser stays open.
    virtual void unrepresentable(const std::string& shown) { (void)shown; }
};

// Committed read-write pages, released whole by the destructor.
class PageBuffer {
public:
    virtual ~PageBuffer() = default;
    virtual void* data() = 0;
    virtual std::size_t size() const = 0;
};
using PageBufferPtr = std::unique_ptr<PageBuffer>;

enum class Access { ReadOnly, ReadWrite };

// What the library asks of the system, one small interface per concern;
// each backend implements each in its file of that concern
// (<concern>_posix.cpp, <concern>_win32.cpp, <concern>_fake.cpp).

// Named shared memory (shm_*).
class SharedMemories {
public:
    virtual ~SharedMemories() = default;
    // create_or_open creates a zero-filled object of `size` bytes, or
    // opens the existing one; `created` (optional) tells which.
    // open_existing fails when no live object of that name exists. Both
    // fail when the name is held by another kind of object or the object is
    // smaller than `size`.
    virtual SharedMemoryPtr shm_create_or_open(const std::string& name, std::size_t size,
                                               bool* created) = 0;
    virtual SharedMemoryPtr shm_open_existing(const std::string& name, std::size_t size,
                                              Access access) = 0;
    // As open_existing, for the length of one of the library's calls: the
    // view may hold nothing, so that the object goes when its holders do
    // even while the view is in use (its memory stays readable and
    // writable, and the next call finds the object gone). Much cheaper
    // than a holder where views are kept between calls.
    virtual SharedMemoryPtr shm_use_existing(const std::string& name, std::size_t size, Access access) {
        return shm_open_existing(name, size, access);
    }
    // Where the shared memory of that name lives, for a person to look
    // ("/run/user/1000/kelmo.default-1000.USB_samp").
    virtual std::string shm_where(const std::string& name) = 0;
};

// The clocks and waiting.
class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary system-wide origin, wrapping at 2^32.
    virtual uint32_t tick_count() = 0;
    // A monotonic clock in microseconds, finer than the tick count (the
    // waits use it so that they never end before their time).
    virtual uint64_t precise_us() = 0;
    // Gives up the processor for about `us` microseconds (0: just yield).
    virtual void sleep_us(uint32_t us) = 0;
};

// The process and its system: messages, programs, pages, errors.
class System {
public:
    virtual ~System() = default;
    // Removes, translates and dispatches the messages waiting in the calling
    // thread's queue, so the host's window procedures run (Windows); on
    // other systems it hands on the change notices of the mixers this
    // thread opened. The host's dispatch hook, if any, runs after it (the
    // core calls it).
    virtual void dispatch_messages() = 0;
    // Starts a program by name, the way WinExec(name, SW_SHOWNORMAL) does,
    // but detached from the caller's standard input, output and error; does
    // not wait for it. False when it could not be started.
    virtual bool start_program(const char* name) = 0;
    // Where start_program looks for a program of that name, in words, for
    // a message (for example "beside the library, then on PATH").
    virtual std::string program_search_note(const char* name) = 0;
    // This process's identifier.
    virtual uint32_t process_id() = 0;
    // Committed read-write memory of `bytes` bytes (0 fails), zero-filled.
    // The raw pair is for ZebAlloc/ZebFree, whose memory outlives a call;
    // release_pages returns false for an address it did not hand out.
    virtual void* alloc_pages(std::size_t bytes) = 0;
    virtual bool release_pages(void* address) = 0;
    // A 32-bit word of this process whose address fits in the 32-bit
    // address field of a request record, zero-filled at first and the same
    // on every call (its users take turns on it); nullptr where none can be
    // had. In a 32-bit process any word fits, and callers need not ask.
    virtual uint32_t* low_word() = 0;
    // The system's version word (high bit set: not the NT family).
    virtual uint32_t version_word() = 0;
    // The system error code of the last failed operation of this thread.
    virtual uint32_t last_error() = 0;
    // The system's words for such a code ("No such file or directory"), in
    // English where the system has them.
    virtual std::string error_text(uint32_t code) = 0;
};

// The acquisition device "ZEB1" (device_*).
class Devices {
public:
    virtual ~Devices() = default;
    // The device, opened read-write, unshared.
    virtual DevicePtr open_device() = 0;
    // Why open_device failed with `error`, for a person: where the device
    // was looked for, the cause in words and what to do.
    virtual std::string device_open_failure(uint32_t error) = 0;
};

// The current user's settings (settings_*).
class Settings {
public:
    virtual ~Settings() = default;
    // A 32-bit value, read afresh: on Windows the registry value `name`
    // under HKEY_CURRENT_USER\`key` (the key opened with full access);
    // elsewhere the same key and name in the user's settings file. Nothing
    // when the key or the value is missing.
    virtual std::optional<uint32_t> user_setting(const char* key, const char* name) = 0;
    // A text value of the same settings (at most 100 bytes of it), and
    // storing one; the key is created when it is missing.
    virtual std::optional<std::string> user_setting_text(const char* key, const char* name) = 0;
    virtual bool set_user_setting_text(const char* key, const char* name, const std::string& value) = 0;
};

// Files and folders (files_*).
class Files {
public:
    virtual ~Files() = default;
    // Folders of the file system; their paths start with a drive ("D:\\")
    // where drive_paths() says so, else with "/".
    virtual bool drive_paths() = 0;
    // A small file by a name relative to the working folder (the settings
    // files): reading up to `bytes` bytes of it (the count read, -1 when it
    // cannot be opened), and replacing its contents (false when it cannot
    // be written, with *why saying why: "it is a symbolic link", "it is a
    // folder", or the system's words). Only a regular file is used, and a
    // name that is a symbolic link (on Windows a reparse point, and under
    // wine a link of the Unix file system too) is never followed: it counts
    // as a file that cannot be opened.
    virtual long read_small_file(const char* name, void* data, std::size_t bytes) = 0;
    virtual bool write_small_file(const char* name, const void* data, std::size_t bytes, std::string* why) = 0;
    // Whether a folder exists, and creating one (one level).
    virtual bool directory_exists(const std::string& path) = 0;
    virtual void create_directory(const std::string& path) = 0;
};

// Waveform input devices (wave_in_*). Device `device` (0: the system's
// default): the standard format flags it reports (0x1 .. 0x800: 11025,
// 22050 and 44100 Hz, mono and stereo, 8 and 16 bits), whether it takes a
// format (without opening it), and opening it.
class WaveInputs {
public:
    virtual ~WaveInputs() = default;
    virtual uint32_t wave_in_caps(uint32_t device, uint32_t* formats) = 0;
    virtual uint32_t wave_in_query(uint32_t device, const WaveFormat& format) = 0;
    virtual uint32_t wave_in_open(uint32_t device, const WaveFormat& format, WaveInPtr* out) = 0;
};

// Waveform output devices (wave_out_*): the number of devices, then as for
// input.
class WaveOutputs {
public:
    virtual ~WaveOutputs() = default;
    virtual uint32_t wave_out_count() = 0;
    virtual uint32_t wave_out_caps(uint32_t device, WaveOutCaps* caps) = 0;
    virtual uint32_t wave_out_query(uint32_t device, const WaveFormat& format) = 0;
    virtual uint32_t wave_out_open(uint32_t device, const WaveFormat& format, WaveOutPtr* out) = 0;
};

// The mixers of the system (mixer_*), and the one that belongs to an open
// waveform-input device.
class Mixers {
public:
    virtual ~Mixers() = default;
    virtual uint32_t mixer_count() = 0;
    virtual uint32_t mixer_of(WaveIn& device, uint32_t* mixerId) = 0;
    // Opens mixer `id`; `notify` (may be empty) hears of changed controls.
    virtual uint32_t mixer_open(uint32_t id, MixerNotify notify, MixerPtr* out) = 0;
};

// The I/O ports of the parallel-port register block, for the external
// trigger hardware (ports_*). False where this process may not touch them.
class Ports {
public:
    virtual ~Ports() = default;
    virtual bool port_write(uint16_t port, uint8_t value) = 0;
    virtual bool port_read(uint16_t port, uint8_t* value) = 0;
};

// The recording-input dialog (sound_dialog_*).
class SoundDialog {
public:
    virtual ~SoundDialog() = default;
    // Shows it modally (no parent): 1 when it ended with Done, 2 with
    // Cancel; 0 when no dialog can be shown here, with the reason in *why.
    virtual int sound_input_dialog(SoundInputDialogModel& model, std::string* why) = 0;
};

// The folder chooser and the boxes shown over it (folder_chooser_*).
class FolderChooser {
public:
    virtual ~FolderChooser() = default;
    // Shows the chooser modally over `parent` (a window of the host, or
    // none): 1 when a folder was confirmed, 2 when the chooser was closed
    // otherwise; 0 when none can be shown here, with the reason in *why.
    virtual int folder_chooser(FolderChooserModel& model, void* parent, std::string* why) = 0;
    // Modal boxes over its window: a question with Yes and No (true for
    // Yes) and a warning with OK; the texts hold paths as the system's file
    // functions take them.
    virtual bool question_box(const char* text) = 0;
    virtual void warning_box(const char* text) = 0;
};

// Messages for the user (messages_*).
class Messages {
public:
    virtual ~Messages() = default;
    // A modal message with an OK button; `text` is in the GBK code page.
    // `words` (UTF-8, may be empty) is the library's English sentence about
    // the failure behind it: where messages go to a console (Linux) it
    // follows the text there; a window shows the text alone.
    virtual void message_box(const char* text, const std::string& words) = 0;
    // One line of console output where a console line belongs on this
    // system (standard output on Windows, standard error as UTF-8
    // elsewhere, so that it never mixes with a host's data on standard
    // output). Windows prints `text` exactly as given; elsewhere `words`
    // (the English sentence about the same failure) replaces it when it is
    // not empty, since the text speaks of Windows.
    virtual void console(const char* text, const std::string& words) = 0;
};

// The platform: one implementation of each concern. A test may put a fake
// in place of any of them and keep the backend's for the rest.
struct Platform {
    SharedMemories& shm;
    Clock& clock;
    System& system;
    Devices& device;
    Settings& settings;
    Files& files;
    WaveInputs& wave_in;
    WaveOutputs& wave_out;
    Mixers& mixer;
    Ports& ports;
    SoundDialog& sound_dialog;
    FolderChooser& chooser;
    Messages& messages;
};

// The platform in use: the build's default unless a test installed another.
Platform& current();
// While it lives, `p` is the platform in use; when it goes, the one that
// was in use before it is again (the default where none was installed),
// so that installations nest. One that goes out of turn is taken out of
// the nesting and leaves the others as they are. Not thread-safe: tests
// install platforms between calls into the library.
class Installed {
public:
    explicit Installed(Platform& p);
    ~Installed();
    Installed(const Installed&) = delete;
    Installed& operator=(const Installed&) = delete;

private:
    friend Platform& current();
    Platform& platform_;
    Installed* below_;  // installed before this one, still living
};
// The build's default backend.
Platform& default_platform();

// The library's calls, for checks that hold for the whole of one call and
// need be made only once in it: begin_call marks the calling thread as in
// a new call and returns what end_call needs to restore the one it was in
// (calls nest when a host's code that a call runs calls in again).
// call_epoch is 0 outside any call, else a number no other call had.
uint64_t begin_call();
void end_call(uint64_t before);
uint64_t call_epoch();

// A line for a person about something a backend refused on its own, for
// example a shared memory that another user planted: handed to the route
// the library set (its message handler), else to console(). The line ends
// with its newline.
using NoticeRoute = void (*)(const char* line);
void set_notice_route(NoticeRoute route);
void notice(const std::string& line);

// A backend's own words on why a call failed (the cause of the export,
// unless the export found one first): kept for the calling thread until
// the core takes it. The core depends on the platform, never the other
// way round, so a backend notes what it knows here.
void note_cause(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The note of the calling thread (empty when none), and forgetting it.
const char* noted_cause();
void forget_noted_cause();
// The sentence for memory that the system did not give.
std::string no_memory_text(std::size_t bytes);

// Called first by a program the library starts for a host (genwave): where
// it was started so (KELMO_STARTED_FOR_HOST=1 in its environment) it lets
// go of what it still holds of the host's standard streams (under wine, the
// host's Unix standard error, which would keep the host's pipe open).
// Nothing where the system gave it none of them.
void detach_from_starting_host();

// Pages from the current platform; where they cannot be had, nullptr and
// a note that says how much was asked for.
void* take_pages(std::size_t bytes);

// Convenience: an owned page buffer from the current platform.
PageBufferPtr make_page_buffer(std::size_t bytes);

}  // namespace kelmo::platform
