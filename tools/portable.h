// What the tools need from the operating system, in one place: the
// standard descriptors at start, GBK text for a UTF-8 terminal, whether
// stderr is a terminal, a pipe into a helper program, where a program
// finds its own files and others on PATH, whether the library's named
// shared memory exists, and output files as descriptors.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <iconv.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "../src/platform/posix/shm_place.h"  // where the library's shared memories are files
#endif

namespace kelmo::tools {

// The tools' first step: a program started with descriptor 0, 1 or 2
// closed would hand that number to the next file it opens (the library's
// shared memories among them), and what it then prints as its output or
// its errors would go into that file. Each closed one is opened on
// /dev/null, read-only, so that a write to a closed standard output still
// fails and is reported as such instead of vanishing. (Windows hands out
// no such numbers.)
inline void open_closed_standard_descriptors() {
#ifndef _WIN32
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower ones are open by now, so this takes `fd` itself.
        const int got = ::open("/dev/null", O_RDONLY);
        if (got >= 0 && got != fd) {
            ::dup2(got, fd);
            ::close(got);
        }
    }
#endif
}

// The library's texts are in the GBK code page; the terminal wants UTF-8.
// A text that does not convert is given as it is.
inline std::string gbk_to_utf8(const char* gbk) {
#ifdef _WIN32
    const int n = ::MultiByteToWideChar(936, 0, gbk, -1, nullptr, 0);
    if (n <= 0) return gbk;
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(936, 0, gbk, -1, wide.data(), n);
    const int m = ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (m <= 0) return gbk;
    std::string out(static_cast<std::size_t>(m), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, out.data(), m, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(m - 1));
    return out;
#else
    iconv_t cd = ::iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) return gbk;
    std::string in(gbk), out(in.size() * 3 + 1, '\0');
    char* src = in.data();
    char* dst = out.data();
    std::size_t inLeft = in.size(), outLeft = out.size();
    const bool ok = ::iconv(cd, &src, &inLeft, &dst, &outLeft) != static_cast<std::size_t>(-1);
    ::iconv_close(cd);
    if (!ok) return gbk;
    out.resize(out.size() - outLeft);
    return out;
#endif
}

// Standard output carries bytes as they are (no CR before each LF).
inline void binary_standard_output() {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

// Writes straight to descriptor 2, as a signal handler may.
inline void write_stderr_now(const char* text, std::size_t n) {
#ifdef _WIN32
    (void)::_write(2, text, static_cast<unsigned>(n));
#else
    while (n > 0) {
        const ssize_t w = ::write(2, text, n);
        if (w <= 0 && errno != EINTR) return;
        if (w > 0) text += w, n -= static_cast<std::size_t>(w);
    }
#endif
}

inline bool stderr_is_terminal() {
#ifdef _WIN32
    return ::_isatty(2) != 0;
#else
    return ::isatty(2) != 0;
#endif
}

// A helper program on PATH: whether it is there, how to install it, and a
// pipe into it with its output discarded.
struct Helper {
    bool found;
    const char* how;  // what to do when it is not
};
inline Helper find_helper(const std::string& name, const char* debianPackage) {
#ifdef _WIN32
    (void)debianPackage;
    static const std::string how = "install " + name + " and put it on PATH";
    return {std::system(("where " + name + " >NUL 2>&1").c_str()) == 0, how.c_str()};
#else
    static const std::string how = std::string("on Debian: apt-get install ") + debianPackage;
    return {std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0, how.c_str()};
#endif
}
inline FILE* pipe_into(const std::string& name) {
#ifdef _WIN32
    return ::_popen((name + " >NUL").c_str(), "w");
#else
    return ::popen((name + " >/dev/null").c_str(), "w");
#endif
}
// The lines a program prints with these arguments (its errors discarded);
// none when it cannot be run or fails.
inline std::vector<std::string> output_of(const std::string& program, const std::string& arguments) {
#ifdef _WIN32
    // cmd /c drops the first and the last quote of the line: quoted twice.
    FILE* f = ::_popen(("\"\"" + program + "\" " + arguments + " 2>NUL\"").c_str(), "r");
#else
    std::string quoted = "'";
    for (const char ch : program) quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    FILE* f = ::popen((quoted + "' " + arguments + " 2>/dev/null").c_str(), "r");
#endif
    std::vector<std::string> lines;
    if (!f) return lines;
    std::string line;
    for (int ch; (ch = std::fgetc(f)) != EOF;) {
        if (ch == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (ch != '\r') {
            line += static_cast<char>(ch);
        }
    }
    if (!line.empty()) lines.push_back(line);
#ifdef _WIN32
    if (::_pclose(f) != 0) lines.clear();
#else
    if (::pclose(f) != 0) lines.clear();
#endif
    return lines;
}
inline int close_pipe(FILE* f) {
#ifdef _WIN32
    return ::_pclose(f);
#else
    return ::pclose(f);
#endif
}

// A file the program names itself (beside one the user named), opened for
// writing without following a symbolic link in its place: another user may
// have planted one where the file goes. Null, with errno, when it cannot be
// (ELOOP: a link is there).
inline FILE* create_unfollowed(const std::string& path) {
#ifdef _WIN32
    return std::fopen(path.c_str(), "w");
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE* f = ::fdopen(fd, "w");
    if (!f) {
        const int err = errno;
        ::close(fd);
        errno = err;
    }
    return f;
#endif
}

// Output files as descriptors, for writers that check every write and
// can take back what a failed one left (cut the file back, rewrite a
// header in place). Each call gives the system's result as it is, with
// errno (Windows: the C runtime's descriptors, in binary mode).
// The end of a line in a text file of this system's own.
#ifdef _WIN32
inline constexpr const char* kLineEnd = "\r\n";
#else
inline constexpr const char* kLineEnd = "\n";
#endif
enum class FileKind { Missing, Regular, Stream, Other };  // Stream: a pipe, FIFO or socket
inline FileKind kind_of_path(const std::string& path) {
#ifdef _WIN32
    struct _stat64 st{};
    if (::_stat64(path.c_str(), &st) != 0) return FileKind::Missing;
    return (st.st_mode & _S_IFMT) == _S_IFREG ? FileKind::Regular : FileKind::Other;
#else
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return FileKind::Missing;
    if (S_ISREG(st.st_mode)) return FileKind::Regular;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ? FileKind::Stream : FileKind::Other;
#endif
}
inline FileKind kind_of_descriptor(int fd) {
#ifdef _WIN32
    struct _stat64 st{};
    if (::_fstat64(fd, &st) != 0) return FileKind::Missing;
    if ((st.st_mode & _S_IFMT) == _S_IFREG) return FileKind::Regular;
    return (st.st_mode & _S_IFMT) == _S_IFIFO ? FileKind::Stream : FileKind::Other;
#else
    struct stat st{};
    if (::fstat(fd, &st) != 0) return FileKind::Missing;
    if (S_ISREG(st.st_mode)) return FileKind::Regular;
    return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ? FileKind::Stream : FileKind::Other;
#endif
}
// Opened write-only (a FIFO then waits for its reader, as any writer of one
// does), created or emptied; `exclusive`: only a new file, and never through
// a symbolic link in its place. -1 with errno.
inline int open_for_writing(const std::string& path, bool exclusive = false) {
#ifdef _WIN32
    return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY | (exclusive ? _O_EXCL : _O_TRUNC),
                   _S_IREAD | _S_IWRITE);
#else
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL | O_NOFOLLOW : O_TRUNC), 0666);
#endif
}
// An existing file opened write-only, as it is (not through a symbolic
// link in its place); -1 with errno.
inline int open_existing_for_writing(const std::string& path) {
#ifdef _WIN32
    return ::_open(path.c_str(), _O_WRONLY | _O_BINARY);
#else
    return ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
#endif
}
// Whether a symbolic link stands at `path` (not what it points to).
inline bool is_symbolic_link(const std::string& path) {
#ifdef _WIN32
    const DWORD a = ::GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
#else
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
#endif
}
// A write that a reader going away ends with EPIPE rather than SIGPIPE:
// the signal is held on this thread for the call, and the one it raised is
// taken back, so a host's own disposition of SIGPIPE stays as it was. A
// write blocked on a full pipe when the reader goes returns what it wrote
// so far, having raised the signal all the same: it is taken back whatever
// the call returned (the next write meets EPIPE).
inline long write_some(int fd, const void* data, std::size_t n) {
#ifdef _WIN32
    return ::_write(fd, data, static_cast<unsigned>(n > 0x40000000u ? 0x40000000u : n));
#else
    sigset_t pipe, old, pending;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigemptyset(&pending);
    ::sigpending(&pending);
    const bool already = sigismember(&pending, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &pipe, &old);
    const ssize_t r = ::write(fd, data, n);
    const int err = errno;
    sigemptyset(&pending);
    ::sigpending(&pending);
    if (!already && sigismember(&pending, SIGPIPE) == 1) {
        const struct timespec none{};
        while (::sigtimedwait(&pipe, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return r;
#endif
}
inline long write_some_at(int fd, const void* data, std::size_t n, uint64_t at) {
#ifdef _WIN32
    const __int64 was = ::_lseeki64(fd, 0, SEEK_CUR);
    if (was < 0 || ::_lseeki64(fd, static_cast<__int64>(at), SEEK_SET) < 0) return -1;
    const long r = ::_write(fd, data, static_cast<unsigned>(n > 0x40000000u ? 0x40000000u : n));
    const int err = errno;
    ::_lseeki64(fd, was, SEEK_SET);
    errno = err;
    return r;
#else
    return ::pwrite(fd, data, n, static_cast<off_t>(at));
#endif
}
inline bool truncate_descriptor(int fd, uint64_t size) {
#ifdef _WIN32
    const errno_t e = ::_chsize_s(fd, static_cast<__int64>(size));
    if (e != 0) errno = e;
    return e == 0;
#else
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0;
#endif
}
// Where the descriptor is now (-1 where it cannot seek).
inline int64_t position_of(int fd) {
#ifdef _WIN32
    return ::_lseeki64(fd, 0, SEEK_CUR);
#else
    return ::lseek(fd, 0, SEEK_CUR);
#endif
}
inline bool seek_to(int fd, uint64_t at) {
#ifdef _WIN32
    return ::_lseeki64(fd, static_cast<__int64>(at), SEEK_SET) >= 0;
#else
    return ::lseek(fd, static_cast<off_t>(at), SEEK_SET) >= 0;
#endif
}
inline bool close_descriptor(int fd) {
#ifdef _WIN32
    return ::_close(fd) == 0;
#else
    return ::close(fd) == 0;
#endif
}
// `from` takes the place of `to` in one step (a reader sees the one or the
// other, never a part).
inline bool replace_file(const std::string& from, const std::string& to) {
#ifdef _WIN32
    if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    errno = EACCES;
    return false;
#else
    return ::rename(from.c_str(), to.c_str()) == 0;
#endif
}
// The calendar time of `t` in UTC.
inline std::tm utc_of(std::time_t t) {
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &t);
#else
    gmtime_r(&t, &utc);
#endif
    return utc;
}

// What a shared object of the tools exports by name.
#ifdef _WIN32
#define KELMO_TOOL_EXPORT extern "C" __declspec(dllexport)
#else
#define KELMO_TOOL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

inline int process_id() {
#ifdef _WIN32
    return static_cast<int>(::GetCurrentProcessId());
#else
    return static_cast<int>(::getpid());
#endif
}

// A program file: its name on this system, whether `path` is one, and the
// folder this program runs from (with its separator at the end).
inline std::string program_name(const std::string& stem) {
#ifdef _WIN32
    return stem + ".exe";
#else
    return stem;
#endif
}
#ifdef _WIN32
inline constexpr char kPathSeparator = ';', kSlash = '\\';
#else
inline constexpr char kPathSeparator = ':', kSlash = '/';
#endif
inline bool is_program_file(const std::string& path) {
#ifdef _WIN32
    const DWORD a = ::GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
#endif
}
inline std::string own_folder() {
#ifdef _WIN32
    char self[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self, n);
#else
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path = n > 0 ? std::string(self, std::size_t(n)) : std::string();
#endif
    return path.substr(0, path.find_last_of(kSlash) + 1);
}

// Whether the library's named shared memory `name` exists, as the library
// names it for this user (KELMO_SHM_NAMESPACE, else the user's own
// namespace), without opening it for use.
inline bool shared_memory_exists(const std::string& name) {
#ifdef _WIN32
    const char* ns = std::getenv("KELMO_SHM_NAMESPACE");
    const bool named = ns && *ns;
    const std::string object = named ? std::string(ns) + "_" + name : name;
    HANDLE h = ::OpenFileMappingA(FILE_MAP_READ, FALSE, object.c_str());
    if (h) ::CloseHandle(h);
    return h != nullptr;
#else
    // In the folder the library uses (shm_place.h).
    struct stat st{};
    return ::stat(kelmo::platform::posix::shm_file(name).c_str(), &st) == 0;
#endif
}

}  // namespace kelmo::tools
