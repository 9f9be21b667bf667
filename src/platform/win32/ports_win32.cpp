// The parallel-port registers. A process of the NT family may not execute
// port instructions (they fault); without a port driver the ports are out
// of reach.
#include "platform/win32/win32.h"

namespace kelmo::platform::win32 {

bool port_write(uint16_t, uint8_t) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

bool port_read(uint16_t, uint8_t*) {
    ::SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

}  // namespace kelmo::platform::win32
