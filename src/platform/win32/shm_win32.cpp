// Named shared memory on Windows: file mappings backed by the paging file,
// which the system removes once the last handle on them is closed.
#include <cstdlib>
#include <string>

#include "platform/win32/win32.h"

namespace kelmo::platform::win32 {
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

}  // namespace

namespace {
class Win32SharedMemories final : public SharedMemories {
public:
    SharedMemoryPtr shm_create_or_open(const std::string& name, std::size_t size, bool* created) override;
    SharedMemoryPtr shm_open_existing(const std::string& name, std::size_t size, Access access) override;
    std::string shm_where(const std::string& name) override { return "the named file mapping \"" + name + "\""; }
};
}  // namespace

SharedMemoryPtr Win32SharedMemories::shm_create_or_open(const std::string& name, std::size_t size, bool* created) {
    if (created) *created = false;
    HANDLE h = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                    static_cast<DWORD>(size), object_name(name).c_str());
    if (!h) return nullptr;
    if (created) *created = ::GetLastError() != ERROR_ALREADY_EXISTS;
    return map_view(h, size, true);
}

SharedMemoryPtr Win32SharedMemories::shm_open_existing(const std::string& name, std::size_t size, Access access) {
    const bool rw = access == Access::ReadWrite;
    HANDLE h = ::OpenFileMappingA(rw ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ, FALSE, object_name(name).c_str());
    if (!h) return nullptr;
    return map_view(h, size, rw);
}

SharedMemories& shared_memories() {
    static Win32SharedMemories instance;
    return instance;
}

}  // namespace kelmo::platform::win32
