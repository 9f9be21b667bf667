// The parallel-port registers. A process of the NT family may not execute
// port instructions (they fault); without a port driver the ports are out
// of reach.
#include "platform/win32/win32.h"

namespace kelmo::platform::win32 {

namespace {
class Win32Ports final : public Ports {
public:
    bool port_write(uint16_t port, uint8_t value) override;
    bool port_read(uint16_t port, uint8_t* value) override;
};
}  // namespace

bool Win32Ports::port_write(uint16_t, uint8_t) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

bool Win32Ports::port_read(uint16_t, uint8_t*) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

Ports& ports() {
    static Win32Ports instance;
    return instance;
}

}  // namespace kelmo::platform::win32
