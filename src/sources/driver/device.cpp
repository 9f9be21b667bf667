#include "sources/driver/device.h"

#include <cstdio>
#include <cstdlib>

#include "core/messages.h"

namespace kelmo::driver {
namespace {
bool tracing() {
    static const bool on = [] {
        const char* v = std::getenv("KELMO_DRIVER_TRACE");
        return v && *v && *v != '0';
    }();
    return on;
}
}  // namespace

DeviceSession DeviceSession::open() {
    auto& p = platform::current();
    platform::DevicePtr d = p.open_device();
    if (!d) console_printf(msg::kDeviceOpenFailed, msg::kDeviceName, static_cast<int>(p.last_error()));
    return DeviceSession(std::move(d));
}

bool DeviceSession::request(uint32_t code, const RequestRecord& record, void* out, uint32_t outSize,
                            uint32_t* status) {
    if (!dev_) return false;
    const bool ok = dev_->ioctl(code, record, out, outSize, status);
    if (tracing())
        std::fprintf(stderr, "kelmo: request 0x%06X type %d divider %d samples %d gain %u channel %d out %u -> %s\n",
                     static_cast<unsigned>(code), record.cardType, record.divider, record.samples,
                     static_cast<unsigned>(record.gainCode), record.channel, static_cast<unsigned>(outSize),
                     ok ? "ok" : "failed");
    return ok;
}

bool DeviceSession::close() {
    if (!dev_) return false;
    const bool ok = dev_->close();
    if (!ok) console_printf(msg::kDeviceCloseFailed, static_cast<int>(platform::current().last_error()));
    dev_.reset();
    return ok;
}

}  // namespace kelmo::driver
