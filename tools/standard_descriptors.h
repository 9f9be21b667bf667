// The tools' first step: a program started with descriptor 0, 1 or 2
// closed would hand that number to the next file it opens (the library's
// shared memories among them), and what it then prints as its output or
// its errors would go into that file. Each closed one is opened on
// /dev/null, read-only, so that a write to a closed standard output still
// fails and is reported as such instead of vanishing.
#pragma once

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace kelmo::tools {

inline void open_closed_standard_descriptors() {
#ifndef _WIN32
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower ones are open by now, so this takes `fd` itself.
        const int got = ::open("/dev/null", O_RDONLY);
        if (got >= 0 && got != fd) {
            ::dup2(got, fd);
            ::close(got);
        }
    }
#endif
}

}  // namespace kelmo::tools
