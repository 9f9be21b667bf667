// A second process for the integration tests: started through the shell,
// its first output line read, and killed or waited for.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <iterator>

#include "../../src/platform/posix/shm_place.h"  // where the shared memories are files
#endif

// What the integration tests need of the system beyond the library: the
// only place in them that differs between Windows and Linux.
namespace kelmo::test {

#ifdef _WIN32
inline constexpr bool kConsoleIsStdout = true;
#else
inline constexpr bool kConsoleIsStdout = false;
#endif

// The command that runs one of the test programs built beside the test.
inline std::string program_command(const std::string& name) {
#ifdef _WIN32
    return name == "genwave" ? std::string("GENWAVE.exe") : name + ".exe";
#else
    return "exec ./" + name;
#endif
}

inline void set_env(const char* name, const char* value) {
#ifdef _WIN32
    ::_putenv_s(name, value ? value : "");
#else
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
#endif
}

#ifndef _WIN32
// Descriptors this process has open (and the one that reads the count).
inline int open_descriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}
#endif

// CPU time of this process so far, in milliseconds.
inline double process_cpu_ms() {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& f) {
        return static_cast<double>((static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
#else
    return 1000.0 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
#endif
}

// Ends every running genwave of this run's shared-memory namespace (such as
// one the library started).
inline void stop_genwave() {
#ifdef _WIN32
    HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 e{};
    e.dwSize = sizeof e;
    for (BOOL more = ::Process32First(snap, &e); more; more = ::Process32Next(snap, &e)) {
        if (_stricmp(e.szExeFile, "GENWAVE.exe") != 0) continue;
        if (HANDLE h = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, e.th32ProcessID)) {
            ::TerminateProcess(h, 0);
            ::WaitForSingleObject(h, 5000);
            ::CloseHandle(h);
        }
    }
    ::CloseHandle(snap);
#else
    const char* ns = std::getenv("KELMO_SHM_NAMESPACE");
    const bool unset = !ns || !*ns;
    const std::string mine = std::string("KELMO_SHM_NAMESPACE=") + (unset ? "" : ns) + '\0';
    DIR* proc = ::opendir("/proc");
    while (dirent* d = proc ? ::readdir(proc) : nullptr) {
        const std::string dir = std::string("/proc/") + d->d_name;
        std::ifstream comm(dir + "/comm");
        std::string name;
        if (!(comm >> name) || name != "genwave") continue;
        std::ifstream env(dir + "/environ", std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(env)), std::istreambuf_iterator<char>());
        const bool same = unset ? all.find("KELMO_SHM_NAMESPACE=") == std::string::npos
                                : all.find(mine) != std::string::npos;
        if (same) ::kill(std::atoi(d->d_name), SIGTERM);
    }
    if (proc) ::closedir(proc);
#endif
}

// The current user's settings where the library reads them, for the
// lifetime of this object: on Windows the registry under HKEY_CURRENT_USER,
// as it is; elsewhere the settings file `file` of the test's own
// (KELMO_SETTINGS_FILE names it while this lives; it goes with this).
class UserSettings {
public:
    explicit UserSettings(const std::string& file) {
#ifdef _WIN32
        (void)file;
#else
        file_ = file;
        set_env("KELMO_SETTINGS_FILE", file_.c_str());
#endif
    }
    ~UserSettings() {
#ifndef _WIN32
        std::remove(file_.c_str());
        set_env("KELMO_SETTINGS_FILE", "");
#endif
    }
    UserSettings(const UserSettings&) = delete;
    UserSettings& operator=(const UserSettings&) = delete;

    // Where the settings are a file, its path; empty where they are not
    // (the registry).
    const std::string& file() const { return file_; }

    // Stores a 32-bit value the way the system stores one: a REG_DWORD
    // value (the key created where it is missing), or a file that holds the
    // key's section with only this value. False when it could not.
    bool set_number(const char* key, const char* name, uint32_t value) {
#ifdef _WIN32
        HKEY k = nullptr;
        if (::RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) !=
            ERROR_SUCCESS)
            return false;
        const DWORD v = value;
        const bool ok =
            ::RegSetValueExA(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v) == ERROR_SUCCESS;
        ::RegCloseKey(k);
        return ok;
#else
        std::ofstream out(file_, std::ios::trunc);
        out << '[' << key << "]\n" << name << " = " << value << '\n';
        return static_cast<bool>(out.flush());
#endif
    }

    // Removes value `name` of `key`; on a file, everything this wrote.
    void remove(const char* key, const char* name) {
#ifdef _WIN32
        HKEY k = nullptr;
        if (::RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) return;
        ::RegDeleteValueA(k, name);
        ::RegCloseKey(k);
#else
        (void)key, (void)name;
        std::remove(file_.c_str());
#endif
    }

    // Removes `key` with its values (a key without subkeys); on a file,
    // the file.
    void remove_key(const char* key) {
#ifdef _WIN32
        ::RegDeleteKeyA(HKEY_CURRENT_USER, key);
#else
        (void)key;
        std::remove(file_.c_str());
#endif
    }

private:
    std::string file_;
};

// Where named shared memory objects are files (Linux: the user's runtime
// folder, else /dev/shm), the file of this run's namespace's object `name`
// (without KELMO_SHM_NAMESPACE each user has a namespace of their own);
// empty where they are not files.
inline std::string shm_object_file(const std::string& name) {
#ifdef _WIN32
    (void)name;
    return {};
#else
    return platform::posix::shm_file(name);
#endif
}

// The folder of those files (empty where they are not files).
inline std::string shm_folder() {
#ifdef _WIN32
    return {};
#else
    return platform::posix::shm_place().folder;
#endif
}

// Whether the file system has FIFOs (named pipes among the files, whose
// open() for reading waits for a writer).
#ifdef _WIN32
inline constexpr bool kFileSystemHasFifos = false;
#else
inline constexpr bool kFileSystemHasFifos = true;
#endif

// Makes a FIFO at `path` (false where it could not), and lets a reader
// that waits on one see its end.
inline bool make_fifo(const std::string& path) {
#ifdef _WIN32
    (void)path;
    return false;
#else
    return ::mkfifo(path.c_str(), 0600) == 0;
#endif
}
inline void release_fifo_reader(const std::string& path) {
#ifdef _WIN32
    (void)path;
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
#endif
}

// The sound server the sound card's tests capture from, whose default
// source is a 1000 Hz sine: on Linux a PulseAudio server of the test's own
// with its runtime folder `dir` (XDG_RUNTIME_DIR points there from then
// on), a null sink "out" and the sine as source "sine"; under wine the one
// the test run started, reached through wine's waveform input. False when
// there is none (PulseAudio could not be started, or wine has no capture
// device).
inline bool start_sound_server(const std::string& dir) {
#ifdef _WIN32
    (void)dir;
    WAVEINCAPSA caps{};
    return ::waveInGetDevCapsA(0, &caps, sizeof caps) == MMSYSERR_NOERROR;
#else
    if (std::system("command -v pulseaudio >/dev/null 2>&1 && command -v pactl >/dev/null 2>&1") != 0) return false;
    ::mkdir(dir.c_str(), 0700);
    set_env("XDG_RUNTIME_DIR", dir.c_str());
    set_env("PULSE_SERVER", nullptr);
    const std::string start =
        "pulseaudio --daemonize=yes --exit-idle-time=-1 -n --load=module-native-protocol-unix "
        "--load='module-null-sink sink_name=out' "
        "--load='module-sine-source source_name=sine rate=44100 frequency=1000' >/dev/null 2>&1 && "
        "pactl set-default-source sine";
    return std::system(start.c_str()) == 0;
#endif
}

// Stops the server start_sound_server started with `dir`, and waits (five
// seconds at most) until it has gone; the test run's own is left alone.
inline void stop_sound_server(const std::string& dir) {
#ifdef _WIN32
    (void)dir;
#else
    std::ifstream pid(dir + "/pulse/pid");
    long p = 0;
    if (pid >> p && p > 0) ::kill(static_cast<pid_t>(p), SIGTERM);
    for (int i = 0; i < 50 && p > 0 && ::kill(static_cast<pid_t>(p), 0) == 0; ++i) ::usleep(100000);
#endif
}

class PeerProcess {
public:
    // Runs `command`; its first line must tell its process id, as
    // "ready <pid>" or "... (pid <pid>)", once it is set up.
    explicit PeerProcess(const std::string& command) {
        pipe_ = ::popen(command.c_str(), "r");
        if (!pipe_) return;
        char line[512] = {};
        if (!std::fgets(line, sizeof line, pipe_)) return;
        const char* at = std::strstr(line, "(pid ");
        ready_ = std::sscanf(line, "ready %ld", &pid_) == 1 || (at && std::sscanf(at, "(pid %ld)", &pid_) == 1);
    }
    ~PeerProcess() { wait(); }

    bool ready() const { return ready_; }

    long pid() const { return pid_; }

    // Asks the peer to stop (SIGTERM; on Windows there is no such request
    // and the peer is ended).
    void terminate() {
        if (!ready_) return;
#ifdef _WIN32
        kill();
#else
        ::kill(static_cast<pid_t>(pid_), SIGTERM);
#endif
    }

    // Ends the peer the hard way: no chance to close anything itself.
    void kill() {
        if (!ready_) return;
#ifdef _WIN32
        if (HANDLE h = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid_))) {
            ::TerminateProcess(h, 9);
            ::WaitForSingleObject(h, 5000);
            ::CloseHandle(h);
        }
#else
        ::kill(static_cast<pid_t>(pid_), SIGKILL);
#endif
    }

    // Waits until the peer has exited; returns its exit status.
    int wait() {
        if (!pipe_) return -1;
        char sink[256];
        while (std::fgets(sink, sizeof sink, pipe_)) {
        }
        const int rc = ::pclose(pipe_);
        pipe_ = nullptr;
        return rc;
    }

private:
    FILE* pipe_ = nullptr;
    long pid_ = 0;
    bool ready_ = false;
};

}  // namespace kelmo::test
