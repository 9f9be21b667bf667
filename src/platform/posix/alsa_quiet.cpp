#include "platform/posix/alsa_quiet.h"

#include <cstdarg>
#include <cstdio>

extern "C" {
kelmo::platform::posix::AlsaLocalHandler snd_lib_error_set_local(kelmo::platform::posix::AlsaLocalHandler func);
const char* snd_strerror(int errnum);
}

namespace kelmo::platform::posix {
namespace {

constexpr std::size_t kMostCause = 1024;

thread_local int t_depth = 0;
thread_local std::string t_cause;

void keep_line(const char*, int, const char*, int err, const char* fmt, va_list arg) {
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, arg);
    std::string line = text;
    if (err != 0) line += std::string(": ") + snd_strerror(err);
    if (t_cause.size() + line.size() + 2 > kMostCause) return;
    if (!t_cause.empty()) t_cause += "; ";
    t_cause += line;
}

}  // namespace

AlsaCall::AlsaCall() : previous_(snd_lib_error_set_local(&keep_line)) {
    if (t_depth++ == 0) t_cause.clear();
}

AlsaCall::~AlsaCall() {
    snd_lib_error_set_local(previous_);
    --t_depth;
}

std::string alsa_cause() { return t_cause; }

}  // namespace kelmo::platform::posix
