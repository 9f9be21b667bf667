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

using SaySink = std::function<void(const std::string&)>;

// Every line goes to `sink` from now on (from any thread without a sink of
// its own); an empty sink puts standard error back.
void set_say_sink(SaySink sink);

// The lines said on the calling thread go to `sink` while this lives (an
// empty sink: where the process's go), so that a host of several writers
// can tell whose lines they are. A thread started on a writer's behalf
// takes its starter's sink over (thread_say_sink()).
class SayOnThisThread {
public:
    explicit SayOnThisThread(SaySink sink);
    ~SayOnThisThread();
    SayOnThisThread(const SayOnThisThread&) = delete;
    SayOnThisThread& operator=(const SayOnThisThread&) = delete;

private:
    SaySink previous_;
};

// The calling thread's own sink; empty when it has none.
SaySink thread_say_sink();

}  // namespace kelmo::cli
