// A deterministic platform for unit tests: shared memories in process
// memory with the same lifetime rules, a clock that moves only when told, a
// scripted acquisition device and captured messages. One object plays every
// concern, so that one count of calls can fail any of them in turn.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/wave_slots.h"

namespace kelmo::platform {

class FakePlatform final : public SharedMemories,
                           public Clock,
                           public System,
                           public Devices,
                           public Settings,
                           public Files,
                           public WaveInputs,
                           public WaveOutputs,
                           public Mixers,
                           public Ports,
                           public SoundDialog,
                           public FolderChooser,
                           public Messages {
public:
    struct Object {
        std::vector<unsigned char> bytes;
        int handles = 0;
    };
    struct Request {
        uint32_t code;
        platform::RequestRecord record;
        uint32_t outSize;
        uint32_t timeoutMs;
    };
    using DeviceHandler =
        std::function<bool(uint32_t code, const platform::RequestRecord&, void* out, uint32_t outSize, uint32_t* status)>;

    // The platform in use while it lives; when it goes, the one in use
    // before it is again (an outer fake, or the default).
    FakePlatform();
    ~FakePlatform() override;

    // --- injected failures ---------------------------------------------
    // Every call that can fail is counted: shared memory, pages, programs,
    // the device and its requests, user settings, ports, the waveform
    // devices and each of their calls, the mixer and each of its calls.
    // The one numbered failAt (from 0) fails as that call fails.
    int failAt = -1;
    int fallibleCalls = 0;
    std::string failedCall;  // the function of the call that failed
    bool injected(const char* at = __builtin_FUNCTION()) {
        if (fallibleCalls++ != failAt) return false;
        failedCall = at;
        return true;
    }

    // --- shared memory ---------------------------------------------------
    std::map<std::string, std::shared_ptr<Object>> objects;
    std::set<std::string> foreignNames;  // held by another kind of named object
    bool exists(const std::string& name) const { return objects.count(name) != 0; }
    // Bytes of a live object (nullptr when absent).
    unsigned char* bytes(const std::string& name);
    int32_t word(const std::string& name, std::size_t index);
    void set_word(const std::string& name, std::size_t index, int32_t v);

    // --- clock -------------------------------------------------------------
    // The tick count; sleeping moves it on by the time slept (in whole ms,
    // carrying the remainder), so waits finish at exact ticks.
    uint32_t now = 0;
    uint64_t sleptUs = 0;
    int sleeps = 0;
    // Called on every sleep and every message dispatch (for example to set
    // a flag from "outside" while a call waits).
    std::function<void()> onWait;
    int dispatches = 0;

    // --- programs -----------------------------------------------------------
    std::vector<std::string> startedPrograms;
    bool programMissing = false;                            // start_program fails
    std::function<void(const std::string&)> onStartProgram;  // e.g. publish a block
    uint32_t processId = 4242;

    // --- pages -------------------------------------------------------------
    bool failAlloc = false;
    std::map<void*, std::size_t> livePages;

    // --- device --------------------------------------------------------------
    bool deviceMissing = true;
    uint32_t openError = 2;
    bool closeFails = false;
    uint32_t closeError = 6;
    DeviceHandler handler;
    // When set, a request the handler fails counts as a transport failure
    // with this cause (a device that did not answer in time, ...).
    std::string transportFailure;
    std::vector<Request> requests;
    int openDevices = 0;

    // --- user settings and I/O ports ------------------------------------------
    std::map<std::string, uint32_t> settings;  // "key|name"
    std::map<std::string, std::string> textSettings;  // "key|name"
    bool settingWriteFails = false;
    int settingReads = 0;
    bool portsDenied = false;
    std::map<uint16_t, uint8_t> ports;                  // what was written last
    std::vector<std::pair<uint16_t, uint8_t>> portWrites;
    std::function<uint8_t(uint16_t)> portReader;       // reads; default: the last value written

    // --- waveform input ----------------------------------------------------------
    // One capture device. Every position query records up to
    // `framesPerPoll` frames (none while `stalled`) into the queued
    // buffers, in order; with none queued they wait. Frame f of channel c
    // carries signal(f, c).
    struct Sound {
        uint32_t capsResult = 0;
        uint32_t formats = 0xFFF;
        uint32_t queryResult = 0;
        uint32_t openResult = 0;
        std::map<std::string, uint32_t> fail;  // "prepare0", "add1", "start", "stop", "reset", "close", "position", ...
        bool open = false;
        int opens = 0;
        WaveFormat format{};
        uint32_t framesPerPoll = 256;
        bool stalled = false;
        uint64_t frames = 0;  // recorded since the start
        std::function<int16_t(uint64_t frame, int channel)> signal = [](uint64_t f, int c) {
            return static_cast<int16_t>((f * 7 + static_cast<uint64_t>(c) * 1000) % 30000);
        };
        std::vector<std::string> calls;
        WaveSlots buffers;
        bool running = false;
    } sound;

    // --- waveform output -------------------------------------------------------
    // One playback device. Every position query plays `framesPerPoll`
    // frames (none while `stalled` or paused) of the written buffers, in
    // order, appending them to `played`.
    struct Speaker {
        uint32_t count = 1;
        uint32_t capsResult = 0;
        WaveOutCaps caps{0xFFF, 2, true};
        uint32_t queryResult = 0;
        uint32_t openResult = 0;
        std::map<std::string, uint32_t> fail;  // "prepare0", "write1", "restart", "volume", "pause", ...
        bool open = false;
        int opens = 0;
        WaveFormat format{};
        uint32_t volume = 0;
        uint32_t framesPerPoll = 512;
        bool stalled = false, paused = false;
        bool signals = false;  // the device can wake a wait for its position (wait_position)
        uint64_t frames = 0;
        std::vector<int16_t> played;
        std::vector<std::string> calls;
        WaveSlots buffers;
    } speaker;

    // --- mixer ------------------------------------------------------------------
    // One mixer, belonging to every capture device: a wave-in destination
    // whose source lines are `sources` (ids 0x10000 + s, volume control
    // 0x100 + s) and, with `mux`, one multiplexer control (id 0x10).
    struct MixerFake {
        uint32_t count = 1;
        uint32_t idResult = 0;
        uint32_t openResult = 0;
        uint32_t destinationResult = 0;
        uint32_t destinationChannels = 2;
        struct Source {
            uint32_t component = kMixerSourceMicrophone;
            uint32_t channels = 2;
            bool volume = true;
            uint32_t flags = 0;
            uint32_t minimum = 0, maximum = 65535, steps = 65535;
            std::vector<uint32_t> value = {65535, 65535};
            uint32_t lineResult = 0;
        };
        std::vector<Source> sources = {Source{}, Source{kMixerSourceLine}};
        bool mux = true;
        uint32_t muxFlags = kMixerControlUniform | kMixerControlMultiple;
        std::vector<uint32_t> muxValues;  // what the multiplexer was set to last
        std::map<std::string, uint32_t> fail;  // "controls", "control", "get", "set"
        int open = 0;
        int opens = 0;
        MixerNotify notify;  // the last opened mixer's
        std::vector<std::string> calls;
    } mixer;

    uint32_t versionWord = 0x0A;
    uint32_t lastError = 0;

    std::vector<std::string> messages;
    std::vector<std::string> consoleLines;
    // The English sentences that came with them (the library's reasons).
    std::vector<std::string> messageWords;
    std::vector<std::string> consoleWords;

    // The fake as the platform: every concern is this object.
    Platform& platform() { return view_; }

    // The concerns
    SharedMemoryPtr shm_create_or_open(const std::string& name, std::size_t size, bool* created) override;
    SharedMemoryPtr shm_open_existing(const std::string& name, std::size_t size, Access access) override;
    uint32_t tick_count() override { return now; }
    // The tick count and what was slept of the current millisecond.
    uint64_t precise_us() override { return uint64_t{now} * 1000u + sleptUs % 1000u; }
    void sleep_us(uint32_t us) override;
    void dispatch_messages() override;
    bool start_program(const char* name) override;
    std::string program_search_note(const char*) override { return "in the fake's list"; }
    uint32_t process_id() override { return processId; }
    void* alloc_pages(std::size_t bytes) override;
    bool release_pages(void* address) override;
    // The real backend's: its address is what the tests check.
    uint32_t* low_word() override { return default_platform().system.low_word(); }
    uint32_t version_word() override { return versionWord; }
    DevicePtr open_device() override;
    uint32_t last_error() override { return lastError; }
    std::string error_text(uint32_t code) override { return "injected failure " + std::to_string(code); }
    std::string shm_where(const std::string& name) override { return "fake:" + name; }
    std::string device_open_failure(uint32_t error) override {
        return "the fake device ZEB1 is " + std::string(deviceMissing ? "missing" : "failing") + " (" +
               error_text(error) + ")";
    }
    std::optional<uint32_t> user_setting(const char* key, const char* name) override;
    std::optional<std::string> user_setting_text(const char* key, const char* name) override;
    bool set_user_setting_text(const char* key, const char* name, const std::string& value) override;
    bool port_write(uint16_t port, uint8_t value) override;
    bool port_read(uint16_t port, uint8_t* value) override;
    uint32_t wave_in_caps(uint32_t device, uint32_t* formats) override;
    uint32_t wave_in_query(uint32_t device, const WaveFormat& format) override;
    uint32_t wave_in_open(uint32_t device, const WaveFormat& format, WaveInPtr* out) override;
    uint32_t mixer_count() override { return mixer.count; }
    uint32_t mixer_of(WaveIn& device, uint32_t* mixerId) override;
    uint32_t mixer_open(uint32_t id, MixerNotify notify, MixerPtr* out) override;
    uint32_t wave_out_count() override { return speaker.count; }
    uint32_t wave_out_caps(uint32_t device, WaveOutCaps* caps) override;
    uint32_t wave_out_query(uint32_t device, const WaveFormat& format) override;
    uint32_t wave_out_open(uint32_t device, const WaveFormat& format, WaveOutPtr* out) override;
    // The recording-input dialog: plays the user's part (0: no dialog).
    std::function<int(SoundInputDialogModel&)> dialog;
    int sound_input_dialog(SoundInputDialogModel& model, std::string* why) override;
    // The folder chooser: plays the user's part (0: no chooser), and the
    // boxes it shows (questions answered from `answers`, No when it runs out).
    std::function<int(FolderChooserModel&, void* parent)> chooser;
    int folder_chooser(FolderChooserModel& model, void* parent, std::string* why) override;
    std::vector<bool> answers;
    std::vector<std::string> questions, warnings;
    bool question_box(const char* text) override;
    void warning_box(const char* text) override;
    // Folders: a set of paths; creating one whose parent is missing fails.
    std::set<std::string> directories;
    bool drivePaths = false;
    bool drive_paths() override { return drivePaths; }
    // The settings files are real files of the working folder.
    long read_small_file(const char* name, void* data, std::size_t bytes) override;
    bool write_small_file(const char* name, const void* data, std::size_t bytes, std::string* why) override;
    bool directory_exists(const std::string& path) override;
    void create_directory(const std::string& path) override;
    void message_box(const char* text, const std::string& words) override {
        messages.emplace_back(text);
        messageWords.push_back(words);
    }
    void console(const char* text, const std::string& words) override {
        consoleLines.emplace_back(text);
        consoleWords.push_back(words);
    }

private:
    Platform view_{*this, *this, *this, *this, *this, *this, *this, *this, *this, *this, *this, *this, *this};
    // Declared last: made after every other member and gone before them, so
    // the fake is in use only while it is whole.
    Installed installed_{view_};
};

}  // namespace kelmo::platform
