// The acquisition device "ZEB1" through its kernel driver.
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

namespace {
class Win32Devices final : public Devices {
public:
    DevicePtr open_device() override;
    std::string device_open_failure(uint32_t error) override {
        return "the driver's device \\\\.\\ZEB1 cannot be opened: " + error_text(error) +
               (error == ERROR_FILE_NOT_FOUND ? "; install the card's driver and start its service"
                : error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                    ? "; another program holds the card: end it and try again"
                    : "");
    }
};
}  // namespace

DevicePtr Win32Devices::open_device() {
    HANDLE h = ::CreateFileA("\\\\.\\ZEB1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32Device>(h);
}

Devices& devices() {
    static Win32Devices instance;
    return instance;
}

}  // namespace kelmo::platform::win32
