// The Linux backend.
#include <iconv.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

namespace {

class PosixPlatform final : public Platform {
public:
    SharedMemoryPtr shm_create_or_open(const std::string& name, std::size_t size, bool* created) override {
        return posix::shm_create_or_open(name, size, created);
    }
    SharedMemoryPtr shm_open_existing(const std::string& name, std::size_t size, Access access) override {
        return posix::shm_open_existing(name, size, access);
    }

    uint32_t tick_count() override {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
        return static_cast<uint32_t>(ms);
    }

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

    DevicePtr open_device() override { return posix::open_device(); }

    // Every failing operation of this backend leaves its code in errno.
    uint32_t last_error() override { return static_cast<uint32_t>(errno); }

    void message_box(const char* text) override {
        const std::string utf8 = gbk_to_utf8(text);
        std::fprintf(stderr, "%s\n", utf8.c_str());
        std::fflush(stderr);
    }

    void console(const char* text) override {
        std::fputs(text, stdout);
        std::fflush(stdout);
    }

private:
    std::mutex pagesMutex_;
    std::map<void*, std::size_t> pages_;
};

}  // namespace
}  // namespace kelmo::platform::posix

namespace kelmo::platform {
Platform& default_platform() {
    static posix::PosixPlatform p;
    return p;
}
}  // namespace kelmo::platform
