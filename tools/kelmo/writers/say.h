// Where the writers' lines go: standard error, unless a host of the writers
// (the recording interface of the Python package) takes them itself.
#pragma once

#include <functional>
#include <string>

namespace kelmo::cli {

// One line, printf-style, without its newline ("kelmo: writing X failed: …").
#ifdef __MINGW32__
void say(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif

// Every line goes to `sink` from now on (from any thread); an empty sink
// puts standard error back.
void set_say_sink(std::function<void(const std::string&)> sink);

}  // namespace kelmo::cli
