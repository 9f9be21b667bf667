#include "sources/driver/device.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "core/messages.h"
#include "core/presamp.h"
#include "core/reason.h"

namespace kelmo::driver {
namespace {

bool tracing() {
    static const bool on = [] {
        const char* v = std::getenv("KELMO_DRIVER_TRACE");
        return v && *v && *v != '0';
    }();
    return on;
}

// What every request may take beyond the real time of its block, in ms.
uint32_t margin_ms() {
    const char* v = std::getenv("KELMO_DEVICE_TIMEOUT_MS");
    const long n = v ? std::strtol(v, nullptr, 10) : 0;
    return n > 0 && n < 86400000 ? static_cast<uint32_t>(n) : 5000u;
}

}  // namespace

uint32_t request_timeout_ms(uint32_t code, const platform::RequestRecord& record, uint32_t divider) {
    double blockMs = 0.0;
    if (code == platform::kSingleChannel || code == platform::kMultiChannel || code == platform::kContinuousFetch) {
        const int32_t n = code == platform::kSingleChannel ? 1 : std::max<int32_t>(1, std::abs(int32_t{record.channel}));
        const uint32_t d = std::max<uint32_t>(1, divider);
        double hz = 0.0;
        // A card type without a read-back formula: assume a slow 1 MHz clock.
        if (!read_back_frequency(record.cardType, d, n, 0, 1.0, &hz) || !(hz > 0.0)) hz = 1e6 / d / n;
        blockMs = static_cast<double>(std::max<int32_t>(0, record.samples)) * 1000.0 / hz;
    }
    const double total = blockMs + margin_ms();
    return total >= 86400000.0 ? 86400000u : static_cast<uint32_t>(total);
}

DeviceSession DeviceSession::open() {
    auto& p = platform::current();
    platform::DevicePtr d = p.device.open_device();
    if (!d) {
        const uint32_t error = p.system.last_error();
        because("%s", p.device.device_open_failure(error).c_str());
        failure_console_printf(msg::kDeviceOpenFailed, msg::kDeviceName, static_cast<int>(error));
    }
    return DeviceSession(std::move(d));
}

bool DeviceSession::request(uint32_t code, const platform::RequestRecord& record, void* out, uint32_t outSize,
                            uint32_t* status) {
    if (!dev_) return false;
    // The fetch carries no divider: its blocks come at the start's rate.
    if (code == platform::kContinuousStart) divider_ = static_cast<uint32_t>(record.divider);
    const uint32_t divider = code == platform::kContinuousFetch ? divider_ : static_cast<uint32_t>(record.divider) & 0xFFFF;
    const uint32_t timeout = request_timeout_ms(code, record, divider);
    const bool ok = dev_->ioctl(code, record, out, outSize, status, timeout);
    if (tracing())
        std::fprintf(stderr, "kelmo: request 0x%06X type %d divider %d samples %d gain %u channel %d out %u -> %s\n",
                     static_cast<unsigned>(code), record.cardType, record.divider, record.samples,
                     static_cast<unsigned>(record.gainCode), record.channel, static_cast<unsigned>(outSize),
                     ok ? "ok" : "failed");
    if (!ok) {
        if (const char* cause = dev_->failure_cause()) {
            because("Request to device ZEB1 (code 0x%06X) failed: %s (time-out %u ms); restart zebsim or the "
                    "driver service, or set KELMO_DEVICE_TIMEOUT_MS for a slower device",
                    static_cast<unsigned>(code), cause, static_cast<unsigned>(timeout));
            failure_console_printf(msg::kDeviceRequestFailed, msg::kDeviceName, static_cast<unsigned>(code), cause,
                           static_cast<unsigned>(timeout));
        } else {
            because("the acquisition device ZEB1 refused request 0x%06X of card type %d; check that the card "
                    "type, divider, gain and channels suit the card",
                    static_cast<unsigned>(code), static_cast<int>(record.cardType));
        }
    }
    return ok;
}

bool DeviceSession::close() {
    if (!dev_) return false;
    const bool ok = dev_->close();
    if (!ok) {
        auto& p = platform::current();
        const uint32_t error = p.system.last_error();
        because("closing the acquisition device ZEB1 failed: %s", p.system.error_text(error).c_str());
        failure_console_printf(msg::kDeviceCloseFailed, static_cast<int>(error));
    }
    dev_.reset();
    return ok;
}

}  // namespace kelmo::driver
