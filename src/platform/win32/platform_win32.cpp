// The Windows backend: the clock, the process (messages, programs, pages,
// errors) and the message boxes and console, and the platform that gathers
// them with the other concerns, each a file of its own behind win32.h.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32.h"
#include "platform/win32/wine.h"

namespace kelmo::platform {
namespace {

// This process's environment with KELMO_STARTED_FOR_HOST=1 added, as
// CreateProcessA takes it (entries ending in NUL, one more at the end);
// empty when it cannot be read (the program then inherits it as it is).
std::string environment_for_started_program() {
    constexpr const char kMark[] = "KELMO_STARTED_FOR_HOST=";
    std::string block;
    char* all = ::GetEnvironmentStringsA();
    if (!all) return block;
    for (const char* e = all; *e; e += std::strlen(e) + 1)
        if (_strnicmp(e, kMark, sizeof kMark - 1) != 0) block.append(e).push_back('\0');
    ::FreeEnvironmentStringsA(all);
    block.append(kMark).append("1").push_back('\0');
    block.push_back('\0');
    return block;
}

// The clocks: the multimedia timer and the performance counter.
class Win32Clock final : public Clock {
    // The system timer runs at 1 ms once the library waits or reads time.
    static void fine_timer() {
        static const bool fine = ::timeBeginPeriod(1) == TIMERR_NOERROR;
        (void)fine;
    }

public:
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
};

// The process: its messages, the programs it starts, pages, errors.
class Win32System final : public System {
public:
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
    // into its output. No handle is inherited, and its standard handles
    // name NUL explicitly. Under wine the program's Unix standard error
    // stays its parent's all the same (wine keeps it for its own debug
    // output): the environment tells the program (KELMO_STARTED_FOR_HOST),
    // and ours let go of it (another program ignores the variable).
    bool start_program(const char* name) override {
        std::string command(name);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = SW_SHOWNORMAL;
        const HANDLE nul = ::CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (nul != INVALID_HANDLE_VALUE) {
            si.dwFlags |= STARTF_USESTDHANDLES;
            si.hStdInput = si.hStdOutput = si.hStdError = nul;
        }
        PROCESS_INFORMATION pi{};
        std::string environment = environment_for_started_program();
        const BOOL started = ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE,
                                              DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP,
                                              environment.empty() ? nullptr : environment.data(), nullptr, &si, &pi);
        const DWORD error = ::GetLastError();
        if (nul != INVALID_HANDLE_VALUE) ::CloseHandle(nul);
        if (!started) {
            ::SetLastError(error);
            return false;
        }
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

    uint32_t last_error() override { return ::GetLastError(); }
    std::string error_text(uint32_t code) override { return win32::error_text(code); }
};

// Message boxes, and console lines on standard output.
class Win32Messages final : public Messages {
public:
    void message_box(const char* text, const std::string&) override {
        std::wstring wide;
        if (win32::gbk_to_wide(text, &wide))
            ::MessageBoxW(nullptr, wide.c_str(), L"kelmo", MB_OK);
        else
            ::MessageBoxA(nullptr, text, "kelmo", MB_OK);
    }

    void console(const char* text, const std::string&) override {
        std::fputs(text, stdout);
        std::fflush(stdout);
    }
};

}  // namespace

std::string win32::error_text(uint32_t code) {
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
    char text[512];
    DWORD n = ::FormatMessageA(flags, nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text,
                               sizeof text, nullptr);
    if (n == 0) n = ::FormatMessageA(flags, nullptr, code, 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == ' ' || s.back() == '.' || s.back() == '\r' || s.back() == '\n')) s.pop_back();
    const std::string number = "system error " + std::to_string(code);
    return s.empty() ? number : s + " (" + number + ")";
}

bool win32::gbk_to_wide(const char* gbk, std::wstring* out) {
    const int n = ::MultiByteToWideChar(936, 0, gbk, -1, nullptr, 0);
    if (n <= 0) return false;
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    if (::MultiByteToWideChar(936, 0, gbk, -1, wide.data(), n) != n) return false;
    wide.resize(static_cast<std::size_t>(n - 1));
    *out = std::move(wide);
    return true;
}

void detach_from_starting_host() {
    if (const char* mark = std::getenv("KELMO_STARTED_FOR_HOST"); mark && std::strcmp(mark, "1") == 0)
        win32::wine::detach_unix_std_descriptors();
}

Platform& default_platform() {
    static Win32Clock clock;
    static Win32System system;
    static Win32Messages messages;
    static Platform p{win32::shared_memories(), clock,  system,           win32::devices(),
                      win32::settings(),        win32::files(),   win32::wave_inputs(), win32::wave_outputs(),
                      win32::mixers(),          win32::ports(),   win32::sound_dialog(), win32::folder_chooser(),
                      messages};
    return p;
}

}  // namespace kelmo::platform
