// The external trigger hardware of the cards that have it, on the
// parallel-port registers: armed with the level, polled until it fired,
// then one fetch of the running acquisition around the trigger.
#include <algorithm>
#include <cmath>

#include "platform/platform.h"
#include "sources/driver/driver_source.h"

namespace kelmo::driver {
namespace {

constexpr uint16_t kPortControl = 0x37A, kPortMode = 0x37B, kPortLevel = 0x37C;
constexpr uint8_t kFired = 0x10;             // in the mode register, once the hardware fired
constexpr int kBlock = 1024;                 // samples per block of the acquisition
constexpr int kTransferDoubles = 49152 / 8;  // the one channel's share of the transfer buffer

}  // namespace

// Takes pre + len + 1024 samples in one fetch and delivers len of them
// around the first sample beyond the level. For slope 0 the level is taken
// as its magnitude, in the port byte and in the search.
TriggerOutcome DriverSource::hardware_trigger(const HardwareTrigger& r) {
    using enum TriggerOutcome;
    const double level = r.slope == 0 ? std::fabs(r.level) : r.level;
    const int total = r.pre + r.len + kBlock;
    if (r.len > kTransferDoubles || total > kTransferDoubles) return Failed;
    std::fill_n(r.transfer, total, 0.0);
    auto& p = platform::current();
    // The level register takes the low byte of trunc(level x 0.051).
    const double scaled = level * 0.051;
    if (!(scaled > -2147483649.0 && scaled < 2147483648.0)) return Failed;
    const auto levelByte = static_cast<uint8_t>(static_cast<int32_t>(scaled));
    if (!p.ports.port_write(kPortControl, 4) || !p.ports.port_write(kPortMode, 0x4C) || !p.ports.port_write(kPortLevel, levelByte))
        return Failed;

    *r.handleWord = 0;
    UnitFrame f(r.type);
    if (!f.ok() || !start({f, r.handleWord, r.freqCode, r.gain, r.span, kBlock, nullptr, false})) return Failed;
    for (;;) {
        uint8_t mode = 0;
        if (!p.ports.port_read(kPortMode, &mode)) return Failed;
        if (mode & kFired) break;
        if (r.interrupted()) return Interrupted;
        p.clock.sleep_us(100);
    }
    const UnitFrame now(r.type);  // the mode word as the fetch finds it
    int status = 0;
    if (!now.ok() ||
        !fetch({now, r.handleWord, total, 1, 3 * kBlock, 0, &status, true, Delivery::Values, r.transfer}))
        return Failed;
    int from = r.pre;
    for (int i = 0; i < kBlock; ++i)
        if (std::fabs(r.transfer[i]) > level) {
            from = std::max(i - r.pre, 0);
            break;
        }
    std::copy_n(r.transfer + from, r.len, r.out);
    return Triggered;
}

}  // namespace kelmo::driver
