// One use of ALSA by the library: what ALSA opens lands above the standard
// descriptors (StdioPlugs), and ALSA's own error lines ("ALSA lib
// confmisc.c:855:(parse_card) cannot find card '0'" ...) do not reach
// stderr. While a guard lives, the calling thread's ALSA errors go to the
// library's thread-local handler instead of ALSA's default one, and are
// kept as the cause of the failure the library reports; the thread's
// previous handler comes back when the guard goes. A host that installed
// a process-wide handler of its own keeps getting them (ALSA asks that
// one first).
#pragma once

#include <cstdarg>
#include <string>

#include "platform/posix/posix.h"

namespace kelmo::platform::posix {

// ALSA's thread-local error handler (its header declares the function
// without C linkage, so alsa_quiet.cpp declares it itself).
using AlsaLocalHandler = void (*)(const char* file, int line, const char* function, int err, const char* fmt,
                                  va_list arg);

class AlsaCall {
public:
    AlsaCall();
    ~AlsaCall();
    AlsaCall(const AlsaCall&) = delete;
    AlsaCall& operator=(const AlsaCall&) = delete;

private:
    StdioPlugs plugs_;
    AlsaLocalHandler previous_;
};

// What ALSA said on this thread during its last library call (its error
// lines, "; " between them), or "" when it said nothing.
std::string alsa_cause();

}  // namespace kelmo::platform::posix
