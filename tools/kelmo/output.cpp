#include "output.h"

#include <cerrno>
#include <cstdio>

#include "writers/stream.h"

namespace kelmo::cli {

namespace {
int gStdoutCause = 0;  // the cause of the first failed flush_standard_output
}  // namespace

void flush_standard_output() {
    if (std::fflush(stdout) != 0 && gStdoutCause == 0) gStdoutCause = errno;
}

bool standard_output_written() {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    report_failure("standard output", errno != 0 ? errno : gStdoutCause);
    return false;
}

}  // namespace kelmo::cli
