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

namespace {
class PosixPorts final : public Ports {
public:
    bool port_write(uint16_t port, uint8_t value) override;
    bool port_read(uint16_t port, uint8_t* value) override;
};
}  // namespace

#ifdef KELMO_HAVE_PORTS
bool PosixPorts::port_write(uint16_t port, uint8_t value) {
    if (::ioperm(port, 1, 1) != 0) return false;
    ::outb(value, port);
    return true;
}

bool PosixPorts::port_read(uint16_t port, uint8_t* value) {
    if (!value || ::ioperm(port, 1, 1) != 0) return false;
    *value = ::inb(port);
    return true;
}
#else
bool PosixPorts::port_write(uint16_t, uint8_t) {
    errno = EPERM;
    return false;
}

bool PosixPorts::port_read(uint16_t, uint8_t*) {
    errno = EPERM;
    return false;
}
#endif

Ports& ports() {
    static PosixPorts instance;
    return instance;
}

}  // namespace kelmo::platform::posix
