// The I/O ports: what was written, and reads from the test's reader.
#include "platform/fake/fake_platform.h"

namespace kelmo::platform {

bool FakePlatform::port_write(uint16_t port, uint8_t value) {
    if (portsDenied || injected()) {
        lastError = 5;
        return false;
    }
    ports[port] = value;
    portWrites.emplace_back(port, value);
    return true;
}

bool FakePlatform::port_read(uint16_t port, uint8_t* value) {
    if (portsDenied || injected()) {
        lastError = 5;
        return false;
    }
    if (onWait) onWait();
    *value = portReader ? portReader(port) : ports[port];
    return true;
}

}  // namespace kelmo::platform
