// Small files of the working folder (the settings files), and folders.
#include <algorithm>
#include <string>

#include "platform/win32/win32.h"
#include "platform/win32/wine.h"

namespace kelmo::platform::win32 {
namespace {

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
// junction), or under wine a symbolic link of the Unix file system (which
// wine follows without a word), is opened as itself and then refused, as
// is a folder or a device. The check is on the handle, so the name cannot
// change under it; *why says what was refused.
Handle open_plain_file(const char* name, DWORD access, DWORD disposition, std::string* why) {
    const auto refuse = [&](std::string text) {
        if (why) *why = std::move(text);
        return Handle(INVALID_HANDLE_VALUE);
    };
    const DWORD attributes = ::GetFileAttributesA(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return refuse("it is a symbolic link");
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return refuse("it is a folder");
    if (wine::is_unix_symbolic_link(name)) return refuse("it is a symbolic link");
    Handle h(::CreateFileA(name, access, FILE_SHARE_READ, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h) return refuse(error_text(::GetLastError()));
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(h.get()) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h.get(), &info))
        return refuse("it is not a plain file (a pipe or a device)");
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return refuse("it is a symbolic link");
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return refuse("it is a folder");
    return h;
}

}  // namespace

namespace {
class Win32Files final : public Files {
public:
    long read_small_file(const char* name, void* data, std::size_t bytes) override;
    bool write_small_file(const char* name, const void* data, std::size_t bytes, std::string* why) override;
    bool directory_exists(const std::string& path) override;
    void create_directory(const std::string& path) override;
    // Paths start with a drive.
    bool drive_paths() override { return true; }
};
}  // namespace

long Win32Files::read_small_file(const char* name, void* data, std::size_t bytes) {
    const Handle h = open_plain_file(name, GENERIC_READ, OPEN_EXISTING, nullptr);
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

bool Win32Files::write_small_file(const char* name, const void* data, std::size_t bytes, std::string* why) {
    const Handle h = open_plain_file(name, GENERIC_WRITE, OPEN_ALWAYS, why);
    if (!h) return false;
    const auto failed = [&] {
        if (why) *why = error_text(::GetLastError());
        return false;
    };
    if (!::SetEndOfFile(h.get())) return failed();
    const auto* p = static_cast<const unsigned char*>(data);
    while (bytes > 0) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes, 1u << 20));
        if (!::WriteFile(h.get(), p, want, &n, nullptr)) return failed();
        if (n == 0) {
            if (why) *why = "the disk took no more";
            return false;
        }
        p += n;
        bytes -= n;
    }
    return true;
}

bool Win32Files::directory_exists(const std::string& path) {
    const DWORD a = ::GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

void Win32Files::create_directory(const std::string& path) { ::CreateDirectoryA(path.c_str(), nullptr); }

Files& files() {
    static Win32Files instance;
    return instance;
}

}  // namespace kelmo::platform::win32
