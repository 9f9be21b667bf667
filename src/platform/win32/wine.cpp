#include "platform/win32/wine.h"

#include "platform/win32/win32.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace kelmo::platform::win32::wine {
namespace {

// Linux system calls, made directly: wine passes them to the kernel as a
// native program's. The numbers are the kernel's for each architecture.
#if defined(__x86_64__)
constexpr std::intptr_t kOpen = 2, kClose = 3, kDup2 = 33, kSymlink = 88, kReadlink = 89;
std::intptr_t linux_call(std::intptr_t number, std::intptr_t a, std::intptr_t b, std::intptr_t c) {
    std::intptr_t r;
    __asm__ volatile("syscall" : "=a"(r) : "a"(number), "D"(a), "S"(b), "d"(c) : "rcx", "r11", "memory");
    return r;
}
#elif defined(__i386__)
constexpr std::intptr_t kOpen = 5, kClose = 6, kDup2 = 63, kSymlink = 83, kReadlink = 85;
std::intptr_t linux_call(std::intptr_t number, std::intptr_t a, std::intptr_t b, std::intptr_t c) {
    std::intptr_t r;
    __asm__ volatile("int $0x80" : "=a"(r) : "a"(number), "b"(a), "c"(b), "d"(c) : "memory");
    return r;
}
#else
constexpr std::intptr_t kOpen = -1, kClose = -1, kDup2 = -1, kSymlink = -1, kReadlink = -1;
std::intptr_t linux_call(std::intptr_t, std::intptr_t, std::intptr_t, std::intptr_t) { return -38; }  // ENOSYS
#endif

// wine's own ntdll tells the system it runs on.
bool linux_host() {
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    if (!ntdll || !::GetProcAddress(ntdll, "wine_get_version")) return false;
    using HostVersion = void(__cdecl*)(const char** sysname, const char** release);
    const auto host = reinterpret_cast<HostVersion>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "wine_get_host_version")));
    if (!host) return false;
    const char* sysname = nullptr;
    const char* release = nullptr;
    host(&sysname, &release);
    return sysname && std::strcmp(sysname, "Linux") == 0 && kOpen >= 0;
}

// The Unix path of a Windows one, as wine maps it; empty when it cannot.
std::string unix_path(const char* name) {
    const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    if (!kernel) return {};
    using UnixName = char*(__cdecl*)(const wchar_t*);
    const auto convert =
        reinterpret_cast<UnixName>(reinterpret_cast<void*>(::GetProcAddress(kernel, "wine_get_unix_file_name")));
    if (!convert) return {};
    const int n = ::MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, name, -1, wide.data(), n);
    char* p = convert(wide.c_str());
    if (!p) return {};
    std::string out(p);
    ::HeapFree(::GetProcessHeap(), 0, p);
    return out;
}

}  // namespace

bool on_linux() {
    static const bool linux = linux_host();
    return linux;
}

bool is_unix_symbolic_link(const char* name) {
    if (!name || !on_linux()) return false;
    const std::string path = unix_path(name);
    if (path.empty()) return false;
    char target[8];
    // readlink succeeds on a symbolic link only (EINVAL for anything else).
    return linux_call(kReadlink, reinterpret_cast<std::intptr_t>(path.c_str()), reinterpret_cast<std::intptr_t>(target),
                      static_cast<std::intptr_t>(sizeof target)) >= 0;
}

bool make_unix_symbolic_link(const char* target, const char* name) {
    if (!target || !name || !on_linux()) return false;
    const std::string path = unix_path(name);
    return !path.empty() &&
           linux_call(kSymlink, reinterpret_cast<std::intptr_t>(target), reinterpret_cast<std::intptr_t>(path.c_str()),
                      0) == 0;
}

bool detach_unix_std_descriptors() {
    if (!on_linux()) return false;
    constexpr std::intptr_t kReadWrite = 2;  // O_RDWR
    const std::intptr_t fd = linux_call(kOpen, reinterpret_cast<std::intptr_t>("/dev/null"), kReadWrite, 0);
    if (fd < 0) return false;
    for (std::intptr_t to = 0; to <= 2; ++to)
        if (fd != to) linux_call(kDup2, fd, to, 0);
    if (fd > 2) linux_call(kClose, fd, 0, 0);
    return true;
}

}  // namespace kelmo::platform::win32::wine
