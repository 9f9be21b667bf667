// The parallel-port registers. Only x86 has I/O ports, and only a process
// with the right to them (ioperm needs CAP_SYS_RAWIO) may touch them;
// everywhere else the ports are out of reach and every access fails.
#include <cerrno>

#include "platform/posix/posix.h"

#if defined(__i386__) || defined(__x86_64__)
#include <sys/io.h>
#define KELMO_HAVE_PORTS 1
#endif

namespace kelmo::platform::posix {

#ifdef KELMO_HAVE_PORTS
bool port_write(uint16_t port, uint8_t value) {
    if (::ioperm(port, 1, 1) != 0) return false;
    ::outb(value, port);
    return true;
}

bool port_read(uint16_t port, uint8_t* value) {
    if (!value || ::ioperm(port, 1, 1) != 0) return false;
    *value = ::inb(port);
    return true;
}
#else
bool port_write(uint16_t, uint8_t) {
    errno = EPERM;
    return false;
}

bool port_read(uint16_t, uint8_t*) {
    errno = EPERM;
    return false;
}
#endif

}  // namespace kelmo::platform::posix
