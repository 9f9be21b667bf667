// Descriptors 0, 1 and 2 belong to the host's standard input, output and
// error even while they are closed: a descriptor the library keeps there
// would receive whatever the host (or the library) prints.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/posix.h"

namespace kelmo::platform::posix {

int keep_above_stdio(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int e = errno;
    ::close(fd);
    errno = e;
    return moved;
}

StdioPlugs::StdioPlugs() {
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int plug = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (plug < 0) continue;
        if (plug != fd) {
            // Another thread took the slot meanwhile: it is not ours to fill.
            ::close(plug);
            continue;
        }
        plugged_[fd] = true;
    }
}

StdioPlugs::~StdioPlugs() {
    for (int fd = 0; fd < 3; ++fd)
        if (plugged_[fd]) ::close(fd);
}

}  // namespace kelmo::platform::posix
