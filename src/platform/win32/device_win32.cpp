// The acquisition device "ZEB1" through its kernel driver.
#include "core/reason.h"
#include "platform/win32/win32.h"

namespace kelmo::platform::win32 {
namespace {

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

}  // namespace

DevicePtr open_device() {
    HANDLE h = ::CreateFileA("\\\\.\\ZEB1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = ::GetLastError();
        because("the acquisition device ZEB1 cannot be opened (system error %lu); install and start its driver",
                static_cast<unsigned long>(e));
        ::SetLastError(e);
        return nullptr;
    }
    return std::make_unique<Win32Device>(h);
}

}  // namespace kelmo::platform::win32
