// The Windows backend: the real Win32 APIs.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32.h"

namespace kelmo::platform {
namespace {

// KELMO_SHM_NAMESPACE, when set, prefixes every name (test isolation);
// unset, the names are the system's own.
std::string object_name(const std::string& name) {
    const char* ns = std::getenv("KELMO_SHM_NAMESPACE");
    if (ns && *ns) return std::string(ns) + "_" + name;
    return name;
}

class Win32SharedMemory final : public SharedMemory {
public:
    Win32SharedMemory(HANDLE h, void* view, std::size_t size, bool writable)
        : h_(h), view_(view), size_(size), writable_(writable) {}
    ~Win32SharedMemory() override {
        ::UnmapViewOfFile(view_);
        ::CloseHandle(h_);
    }
    void* data() const override { return view_; }
    std::size_t size() const override { return size_; }
    bool writable() const override { return writable_; }

private:
    HANDLE h_;
    void* view_;
    std::size_t size_;
    bool writable_;
};

SharedMemoryPtr map_view(HANDLE h, std::size_t size, bool writable) {
    void* view = ::MapViewOfFile(h, writable ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ, 0, 0, size);
    if (!view) {
        const DWORD e = ::GetLastError();
        ::CloseHandle(h);
        ::SetLastError(e);
        return nullptr;
    }
    return std::make_unique<Win32SharedMemory>(h, view, size, writable);
}

class Win32Device final : public Device {
public:
    explicit Win32Device(HANDLE h) : h_(h) {}
    ~Win32Device() override {
        if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
    }
    // The kernel driver answers every request itself; a synchronous request
    // cannot be bounded from here, so the time-out is not used.
    bool ioctl(uint32_t code, const platform::RequestRecord& record, void* out, uint32_t outSize,
               uint32_t* status, uint32_t /*timeoutMs*/) override {
        DWORD returned = 0;
        platform::RequestRecord in = record;
        // The driver writes the status word itself, through the address in
        // the record: *status is left to it.
        (void)status;
        const BOOL ok = ::DeviceIoControl(h_, code, &in, sizeof in, out, out ? outSize : 0, &returned, nullptr);
        return ok != FALSE;
    }
    bool close() override {
        const HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return ::CloseHandle(h) != FALSE;
    }

private:
    HANDLE h_;
};

WAVEFORMATEX wave_format(const WaveFormat& f) {
    WAVEFORMATEX w{};
    w.wFormatTag = WAVE_FORMAT_PCM;
    w.nChannels = f.channels;
    w.nSamplesPerSec = f.rate;
    w.nAvgBytesPerSec = f.bytesPerSecond;
    w.nBlockAlign = f.blockAlign;
    w.wBitsPerSample = f.bitsPerSample;
    w.cbSize = 0;
    return w;
}

// The winmm calls of one direction of waveform device.
template <class H>
struct WaveCalls {
    MMRESULT(WINAPI* prepare)(H, LPWAVEHDR, UINT);
    MMRESULT(WINAPI* unprepare)(H, LPWAVEHDR, UINT);
    MMRESULT(WINAPI* queue)(H, LPWAVEHDR, UINT);  // add (input) or write (output)
    MMRESULT(WINAPI* reset)(H);
    MMRESULT(WINAPI* position)(H, LPMMTIME, UINT);
    MMRESULT(WINAPI* close)(H);
};
const WaveCalls<HWAVEIN> kWaveInCalls{::waveInPrepareHeader, ::waveInUnprepareHeader, ::waveInAddBuffer,
                                      ::waveInReset,         ::waveInGetPosition,     ::waveInClose};
const WaveCalls<HWAVEOUT> kWaveOutCalls{::waveOutPrepareHeader, ::waveOutUnprepareHeader, ::waveOutWrite,
                                        ::waveOutReset,         ::waveOutGetPosition,     ::waveOutClose};

// An open waveform device of either direction with one header per slot;
// what is still prepared is given back when it goes.
template <class H>
class WaveHeaders {
public:
    WaveHeaders(H h, uint16_t blockAlign, const WaveCalls<H>& calls)
        : h_(h), blockAlign_(blockAlign ? blockAlign : 1), calls_(calls) {}
    ~WaveHeaders() {
        if (!h_) return;
        calls_.reset(h_);
        for (WAVEHDR& hdr : hdr_)
            if (hdr.dwFlags & WHDR_PREPARED) calls_.unprepare(h_, &hdr, sizeof hdr);
        calls_.close(h_);
    }
    WaveHeaders(const WaveHeaders&) = delete;
    WaveHeaders& operator=(const WaveHeaders&) = delete;

    H handle() const { return h_; }
    uint32_t prepare(int slot, void* data, uint32_t bytes) {
        if (!valid(slot)) return kWaveError;
        WAVEHDR& hdr = hdr_[slot];
        hdr = WAVEHDR{};
        hdr.lpData = static_cast<LPSTR>(data);
        hdr.dwBufferLength = bytes;
        return calls_.prepare(h_, &hdr, sizeof hdr);
    }
    uint32_t unprepare(int slot) { return valid(slot) ? calls_.unprepare(h_, &hdr_[slot], sizeof(WAVEHDR)) : kWaveError; }
    uint32_t queue(int slot) { return valid(slot) ? calls_.queue(h_, &hdr_[slot], sizeof(WAVEHDR)) : kWaveError; }
    uint32_t reset() { return calls_.reset(h_); }
    uint32_t position(uint32_t* frames) {
        MMTIME t{};
        t.wType = TIME_SAMPLES;
        const MMRESULT r = calls_.position(h_, &t, sizeof t);
        if (r != MMSYSERR_NOERROR) return r;
        *frames = t.wType == TIME_SAMPLES ? t.u.sample : t.wType == TIME_BYTES ? t.u.cb / blockAlign_ : 0;
        return MMSYSERR_NOERROR;
    }
    uint32_t close() {
        const MMRESULT r = calls_.close(h_);
        if (r == MMSYSERR_NOERROR) h_ = nullptr;
        return r;
    }

private:
    static bool valid(int slot) { return slot == 0 || slot == 1; }
    H h_;
    uint16_t blockAlign_;
    const WaveCalls<H>& calls_;
    WAVEHDR hdr_[2]{};
};

class Win32WaveIn final : public WaveIn {
public:
    Win32WaveIn(HWAVEIN h, uint16_t blockAlign) : d_(h, blockAlign, kWaveInCalls) {}
    HWAVEIN handle() const { return d_.handle(); }
    uint32_t prepare(int slot, void* data, uint32_t bytes) override { return d_.prepare(slot, data, bytes); }
    uint32_t unprepare(int slot) override { return d_.unprepare(slot); }
    uint32_t add(int slot) override { return d_.queue(slot); }
    uint32_t start() override { return ::waveInStart(d_.handle()); }
    uint32_t stop() override { return ::waveInStop(d_.handle()); }
    uint32_t reset() override { return d_.reset(); }
    uint32_t position(uint32_t* frames) override { return d_.position(frames); }
    uint32_t close() override { return d_.close(); }

private:
    WaveHeaders<HWAVEIN> d_;
};

class Win32WaveOut final : public WaveOut {
public:
    Win32WaveOut(HWAVEOUT h, uint16_t blockAlign) : d_(h, blockAlign, kWaveOutCalls) {}
    uint32_t prepare(int slot, void* data, uint32_t bytes) override { return d_.prepare(slot, data, bytes); }
    uint32_t unprepare(int slot) override { return d_.unprepare(slot); }
    uint32_t write(int slot) override { return d_.queue(slot); }
    uint32_t pause() override { return ::waveOutPause(d_.handle()); }
    uint32_t restart() override { return ::waveOutRestart(d_.handle()); }
    uint32_t reset() override { return d_.reset(); }
    uint32_t position(uint32_t* frames) override { return d_.position(frames); }
    uint32_t set_volume(uint32_t volume) override { return ::waveOutSetVolume(d_.handle(), volume); }
    uint32_t close() override { return d_.close(); }

private:
    WaveHeaders<HWAVEOUT> d_;
};

// An owned file handle; false when nothing was opened.
class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(Handle&& o) noexcept : h_(o.h_) { o.h_ = INVALID_HANDLE_VALUE; }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
    }
    explicit operator bool() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

// A file of the working folder, opened for `access` only where it is a
// plain file on a disk: a name that is a reparse point (a symbolic link, a
// junction) is opened as itself and then refused, as is a folder or a
// device. The check is on the handle, so the name cannot change under it.
Handle open_plain_file(const char* name, DWORD access, DWORD disposition) {
    Handle h(::CreateFileA(name, access, FILE_SHARE_READ, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h) return h;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool plain = ::GetFileType(h.get()) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h.get(), &info) &&
                       !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    if (plain) return h;
    return Handle(INVALID_HANDLE_VALUE);
}

class Win32Platform final : public Platform {
    // The system timer runs at 1 ms once the library waits or reads time.
    static void fine_timer() {
        static const bool fine = ::timeBeginPeriod(1) == TIMERR_NOERROR;
        (void)fine;
    }

public:
    SharedMemoryPtr shm_create_or_open(const std::string& name, std::size_t size, bool* created) override {
        if (created) *created = false;
        HANDLE h = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(size), object_name(name).c_str());
        if (!h) return nullptr;
        if (created) *created = ::GetLastError() != ERROR_ALREADY_EXISTS;
        return map_view(h, size, true);
    }

    SharedMemoryPtr shm_open_existing(const std::string& name, std::size_t size, Access access) override {
        const bool rw = access == Access::ReadWrite;
        HANDLE h = ::OpenFileMappingA(rw ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ, FALSE, object_name(name).c_str());
        if (!h) return nullptr;
        return map_view(h, size, rw);
    }

    // The system's millisecond count since start, wrapping at 2^32 like
    // GetTickCount, but read from the multimedia timer: GetTickCount moves
    // in steps of 10 to 16 ms, which no deadline could be kept to.
    uint32_t tick_count() override {
        fine_timer();
        return ::timeGetTime();
    }
    uint64_t precise_us() override {
        static const LONGLONG frequency = [] {
            LARGE_INTEGER f{};
            ::QueryPerformanceFrequency(&f);
            return f.QuadPart > 0 ? f.QuadPart : 1;
        }();
        LARGE_INTEGER c{};
        ::QueryPerformanceCounter(&c);
        return static_cast<uint64_t>(c.QuadPart / frequency) * 1000000u +
               static_cast<uint64_t>(c.QuadPart % frequency) * 1000000u / static_cast<uint64_t>(frequency);
    }

    void sleep_us(uint32_t us) override {
        fine_timer();
        // Sleep(0) only yields: slices of half a millisecond or more sleep
        // a whole timer tick instead of spinning.
        ::Sleep(us < 500 ? 0 : (us + 500) / 1000);
    }

    void dispatch_messages() override {
        MSG m;
        while (::PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&m);
            ::DispatchMessageA(&m);
        }
    }

    // As WinExec does (same search, shown normally), but without a console
    // of its own and without the caller's standard handles: a program
    // started for a host must not keep the host's pipes open, nor write
    // into its output.
    bool start_program(const char* name) override {
        std::string command(name);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = SW_SHOWNORMAL;
        PROCESS_INFORMATION pi{};
        if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE,
                              DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &pi))
            return false;
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
        return true;
    }

    std::string program_search_note(const char* name) override {
        return std::string(name) + ".exe in the host's folder, the current folder, the system folders and on PATH";
    }

    uint32_t process_id() override { return ::GetCurrentProcessId(); }

    void* alloc_pages(std::size_t bytes) override {
        if (bytes == 0) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    }

    bool release_pages(void* address) override { return ::VirtualFree(address, 0, MEM_RELEASE) != FALSE; }

    uint32_t* low_word() override {
        // The first free allocation unit below 4 GiB; a 64-bit process
        // keeps most of that range free. Kept for the process's life.
        static uint32_t* word = [] {
            for (uintptr_t at = 0x10000; at < 0xFFFF0000u; at += 0x10000)
                if (void* p = ::VirtualAlloc(reinterpret_cast<void*>(at), 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE))
                    return static_cast<uint32_t*>(p);
            return static_cast<uint32_t*>(nullptr);
        }();
        return word;
    }

    uint32_t version_word() override {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        return ::GetVersion();
#pragma GCC diagnostic pop
    }

    DevicePtr open_device() override {
        HANDLE h = ::CreateFileA("\\\\.\\ZEB1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return nullptr;
        return std::make_unique<Win32Device>(h);
    }

    uint32_t last_error() override { return ::GetLastError(); }

    std::optional<uint32_t> user_setting(const char* key, const char* name) override {
        HKEY k = nullptr;
        if (::RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) return std::nullopt;
        DWORD type = 0, value = 0, size = sizeof value;
        const LONG r = ::RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
        ::RegCloseKey(k);
        if (r != ERROR_SUCCESS || size != sizeof value) return std::nullopt;
        return static_cast<uint32_t>(value);
    }

    std::optional<std::string> user_setting_text(const char* key, const char* name) override {
        HKEY k = nullptr;
        if (::RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) return std::nullopt;
        char text[101] = {};
        DWORD type = 0, size = 100;
        const LONG r = ::RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
        ::RegCloseKey(k);
        if (r != ERROR_SUCCESS) return std::nullopt;
        text[99] = '\0';
        return std::string(text);
    }
    bool set_user_setting_text(const char* key, const char* name, const std::string& value) override {
        HKEY k = nullptr;
        if (::RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) !=
            ERROR_SUCCESS)
            return false;
        // The text in a zeroed 100-byte buffer, stored whole.
        char text[100] = {};
        value.copy(text, sizeof text - 1);
        const LONG r = ::RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
        ::RegCloseKey(k);
        return r == ERROR_SUCCESS;
    }

    uint32_t mixer_count() override { return ::mixerGetNumDevs(); }
    uint32_t mixer_of(WaveIn& device, uint32_t* mixerId) override {
        auto* in = dynamic_cast<Win32WaveIn*>(&device);
        if (!in) return MMSYSERR_INVALHANDLE;
        UINT id = 0;
        const MMRESULT r = ::mixerGetID(reinterpret_cast<HMIXEROBJ>(in->handle()), &id, MIXER_OBJECTF_HWAVEIN);
        if (r == MMSYSERR_NOERROR) *mixerId = id;
        return r;
    }
    uint32_t mixer_open(uint32_t id, MixerNotify notify, MixerPtr* out) override {
        return win32::mixer_open(id, std::move(notify), out);
    }

    uint32_t wave_in_caps(uint32_t device, uint32_t* formats) override {
        WAVEINCAPSA caps{};
        const MMRESULT r = ::waveInGetDevCapsA(device, &caps, sizeof caps);
        if (r == MMSYSERR_NOERROR) *formats = caps.dwFormats;
        return r;
    }
    uint32_t wave_in_query(uint32_t device, const WaveFormat& format) override {
        WAVEFORMATEX w = wave_format(format);
        return ::waveInOpen(nullptr, device, &w, 0, 0, WAVE_FORMAT_QUERY);
    }
    uint32_t wave_in_open(uint32_t device, const WaveFormat& format, WaveInPtr* out) override {
        WAVEFORMATEX w = wave_format(format);
        HWAVEIN h = nullptr;
        const MMRESULT r = ::waveInOpen(&h, device, &w, 0, 0, CALLBACK_NULL);
        if (r == MMSYSERR_NOERROR) *out = std::make_unique<Win32WaveIn>(h, format.blockAlign);
        return r;
    }

    uint32_t wave_out_count() override { return ::waveOutGetNumDevs(); }
    uint32_t wave_out_caps(uint32_t device, WaveOutCaps* caps) override {
        WAVEOUTCAPSA c{};
        const MMRESULT r = ::waveOutGetDevCapsA(device, &c, sizeof c);
        if (r == MMSYSERR_NOERROR) *caps = WaveOutCaps{c.dwFormats, c.wChannels, (c.dwSupport & WAVECAPS_VOLUME) != 0};
        return r;
    }
    uint32_t wave_out_query(uint32_t device, const WaveFormat& format) override {
        WAVEFORMATEX w = wave_format(format);
        return ::waveOutOpen(nullptr, device, &w, 0, 0, WAVE_FORMAT_QUERY);
    }
    uint32_t wave_out_open(uint32_t device, const WaveFormat& format, WaveOutPtr* out) override {
        WAVEFORMATEX w = wave_format(format);
        HWAVEOUT h = nullptr;
        const MMRESULT r = ::waveOutOpen(&h, device, &w, 0, 0, CALLBACK_NULL);
        if (r == MMSYSERR_NOERROR) *out = std::make_unique<Win32WaveOut>(h, format.blockAlign);
        return r;
    }

    // A process of the NT family may not execute port instructions (they
    // fault); without a port driver the ports are out of reach.
    bool port_write(uint16_t, uint8_t) override {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    bool port_read(uint16_t, uint8_t*) override {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }

    // The texts are GBK bytes: shown through code page 936 whatever the
    // system's ANSI code page is, so that they read the same everywhere.
    int sound_input_dialog(SoundInputDialogModel& model, std::string* why) override {
        return win32::sound_input_dialog(model, why);
    }
    int folder_chooser(FolderChooserModel& model, void* parent, std::string* why) override {
        return win32::folder_chooser(model, parent, why);
    }
    // Over the chooser, which is the thread's active window while it is up.
    bool question_box(const char* text) override {
        return ::MessageBoxA(::GetActiveWindow(), text, "kelmo", MB_YESNO | MB_ICONQUESTION) == IDYES;
    }
    void warning_box(const char* text) override {
        ::MessageBoxA(::GetActiveWindow(), text, "kelmo", MB_OK | MB_ICONEXCLAMATION);
    }
    bool drive_paths() override { return true; }
    long read_small_file(const char* name, void* data, std::size_t bytes) override {
        const Handle h = open_plain_file(name, GENERIC_READ, OPEN_EXISTING);
        if (!h) return -1;
        auto* p = static_cast<unsigned char*>(data);
        std::size_t got = 0;
        while (got < bytes) {
            DWORD n = 0;
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes - got, 1u << 20));
            if (!::ReadFile(h.get(), p + got, want, &n, nullptr) || n == 0) break;
            got += n;
        }
        return static_cast<long>(got);
    }
    bool write_small_file(const char* name, const void* data, std::size_t bytes) override {
        const Handle h = open_plain_file(name, GENERIC_WRITE, OPEN_ALWAYS);
        if (!h || !::SetEndOfFile(h.get())) return false;
        const auto* p = static_cast<const unsigned char*>(data);
        while (bytes > 0) {
            DWORD n = 0;
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes, 1u << 20));
            if (!::WriteFile(h.get(), p, want, &n, nullptr) || n == 0) return false;
            p += n;
            bytes -= n;
        }
        return true;
    }
    bool directory_exists(const std::string& path) override {
        const DWORD a = ::GetFileAttributesA(path.c_str());
        return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
    }
    void create_directory(const std::string& path) override { ::CreateDirectoryA(path.c_str(), nullptr); }

    void message_box(const char* text) override {
        const int n = ::MultiByteToWideChar(936, 0, text, -1, nullptr, 0);
        if (n > 0) {
            std::wstring wide(static_cast<std::size_t>(n), L'\0');
            if (::MultiByteToWideChar(936, 0, text, -1, wide.data(), n) == n) {
                ::MessageBoxW(nullptr, wide.c_str(), L"kelmo", MB_OK);
                return;
            }
        }
        ::MessageBoxA(nullptr, text, "kelmo", MB_OK);
    }

    void console(const char* text) override {
        std::fputs(text, stdout);
        std::fflush(stdout);
    }
};

}  // namespace

Platform& default_platform() {
    static Win32Platform p;
    return p;
}

}  // namespace kelmo::platform
