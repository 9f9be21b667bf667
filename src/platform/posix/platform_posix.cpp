// The Linux backend.
#include <dlfcn.h>
#include <sched.h>
#include <iconv.h>
#include <locale.h>
#include <string.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <map>
#include <mutex>

#include "platform/posix/posix.h"

namespace kelmo::platform::posix {

std::string gbk_to_utf8(const char* text) {
    std::string out;
    iconv_t cd = ::iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) return text;
    std::string in(text);
    char* src = in.data();
    std::size_t left = in.size();
    char buf[256];
    while (left > 0) {
        char* dst = buf;
        std::size_t room = sizeof buf;
        const std::size_t r = ::iconv(cd, &src, &left, &dst, &room);
        out.append(buf, static_cast<std::size_t>(dst - buf));
        if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
            out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not GBK
            ++src;
            --left;
        }
    }
    ::iconv_close(cd);
    return out;
}

uint64_t monotonic_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

namespace {

// The folder this library was loaded from (where its tools are installed).
std::string library_dir() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&library_dir), &info) && info.dli_fname) {
        std::string path = info.dli_fname;
        const auto slash = path.rfind('/');
        if (slash != std::string::npos) return path.substr(0, slash);
    }
    return ".";
}

// Windows program names are case-insensitive; ours are lower case.
std::string program_name(const char* name) {
    std::string file(name);
    for (char& c : file) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return file;
}

std::string program_file(const char* name) {
    const std::string file = program_name(name);
    // Beside the library (a build tree), then in the bin folder beside its
    // lib folder (an installed copy), then on PATH.
    for (const char* sub : {"/", "/../bin/"}) {
        const std::string candidate = library_dir() + sub + file;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return file;  // found through PATH, if at all
}

// The clocks: the monotonic clock in milliseconds and microseconds.
class PosixClock final : public Clock {
public:
    uint32_t tick_count() override { return static_cast<uint32_t>(monotonic_ms()); }
    uint64_t precise_us() override {
        timespec t{};
        ::clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_nsec) / 1000u;
    }

    void sleep_us(uint32_t us) override {
        if (us == 0) {
            ::sched_yield();
            return;
        }
        timespec ts{static_cast<time_t>(us / 1000000u), static_cast<long>(us % 1000000u) * 1000L};
        while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }
};

// The process: programs, pages, errors; dispatching hands on the changes of
// the mixers this thread opened.
class PosixSystem final : public System {
public:
    void dispatch_messages() override { posix::dispatch_mixer_events(); }

    bool start_program(const char* name) override {
        // Through a shell that puts the program in the background and exits
        // at once: the program is not our child and leaves no zombie. It
        // runs in a session of its own, without the host's terminal (Ctrl-C
        // in the host's terminal does not reach it), with its standard
        // streams on /dev/null and none of the host's other descriptors.
        const std::string file = program_file(name);
        char sh[] = "/bin/sh", dashc[] = "-c";
        char script[] = "command -v \"$0\" >/dev/null 2>&1 || exit 127; \"$0\" >/dev/null 2>&1 </dev/null & exit 0";
        std::string arg0 = file;
        char* argv[] = {sh, dashc, script, arg0.data(), nullptr};
        posix_spawnattr_t attr;
        posix_spawn_file_actions_t actions;
        ::posix_spawnattr_init(&attr);
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
        ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
        pid_t pid = 0;
        const int spawned = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attr);
        if (spawned != 0) return false;
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    std::string program_search_note(const char* name) override {
        std::string note = "'";
        note += program_name(name);
        note += "' beside the library, in ../bin beside it, then on PATH";
        return note;
    }

    uint32_t process_id() override { return static_cast<uint32_t>(::getpid()); }

    void* alloc_pages(std::size_t bytes) override {
        if (bytes == 0) {
            errno = EINVAL;
            return nullptr;
        }
        void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        std::lock_guard<std::mutex> g(pagesMutex_);
        pages_[p] = bytes;
        return p;
    }

    uint32_t* low_word() override {
        static uint32_t* word = [] {
            void* p = MAP_FAILED;
#ifdef MAP_32BIT
            p = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
#endif
            return p == MAP_FAILED || reinterpret_cast<uintptr_t>(p) > UINT32_MAX ? nullptr : static_cast<uint32_t*>(p);
        }();
        return word;
    }

    bool release_pages(void* address) override {
        std::size_t bytes = 0;
        {
            std::lock_guard<std::mutex> g(pagesMutex_);
            auto it = pages_.find(address);
            if (it == pages_.end()) {
                errno = EINVAL;
                return false;
            }
            bytes = it->second;
            pages_.erase(it);
        }
        return ::munmap(address, bytes) == 0;
    }

    uint32_t version_word() override { return 0x0000000Au; }  // NT family

    // Every failing operation of this backend leaves its code in errno.
    uint32_t last_error() override { return static_cast<uint32_t>(errno); }
    std::string error_text(uint32_t code) override { return posix::error_text(static_cast<int>(code)); }

private:
    std::mutex pagesMutex_;
    std::map<void*, std::size_t> pages_;
};

// Messages and console lines go to standard error, as UTF-8.
class PosixMessages final : public Messages {
public:
    void message_box(const char* text, const std::string& words) override {
        const std::string utf8 = gbk_to_utf8(text);
        if (words.empty())
            std::fprintf(stderr, "%s\n", utf8.c_str());
        else
            std::fprintf(stderr, "%s\nkelmo: %s\n", utf8.c_str(), words.c_str());
        std::fflush(stderr);
    }

    // Standard output belongs to the host (its data may go there).
    void console(const char* text, const std::string& words) override {
        if (words.empty())
            std::fputs(gbk_to_utf8(text).c_str(), stderr);
        else
            std::fprintf(stderr, "kelmo: %s\n", words.c_str());
        std::fflush(stderr);
    }
};

}  // namespace

std::string error_text(int error) {
    // The C locale's texts are English whatever the host's locale says.
    static const locale_t c = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    const char* text = c ? ::strerror_l(error, c) : nullptr;
    return text ? text : "error " + std::to_string(error);
}

}  // namespace kelmo::platform::posix

namespace kelmo::platform {
// start_program gives the program /dev/null for its standard streams.
void detach_from_starting_host() {}

Platform& default_platform() {
    static posix::PosixClock clock;
    static posix::PosixSystem system;
    static posix::PosixMessages messages;
    static Platform p{posix::shared_memories(), clock,  system,           posix::devices(),
                      posix::settings(),        posix::files(),   posix::wave_inputs(), posix::wave_outputs(),
                      posix::mixers(),          posix::ports(),   posix::sound_dialog(), posix::folder_chooser(),
                      messages};
    return p;
}
}  // namespace kelmo::platform
