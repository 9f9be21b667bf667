#include "say.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <utility>

namespace kelmo::cli {
namespace {

std::mutex gMutex;
SaySink gSink;
thread_local SaySink tSink;

}  // namespace

void say(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string line(n > 0 ? std::size_t(n) : 0, '\0');
    if (n > 0) std::vsnprintf(line.data(), line.size() + 1, format, again);
    va_end(again);
    if (tSink) {
        tSink(line);
        return;
    }
    std::lock_guard<std::mutex> lock(gMutex);
    if (gSink) {
        gSink(line);
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    }
}

void set_say_sink(SaySink sink) {
    std::lock_guard<std::mutex> lock(gMutex);
    gSink = std::move(sink);
}

SayOnThisThread::SayOnThisThread(SaySink sink) : previous_(std::move(tSink)) { tSink = std::move(sink); }
SayOnThisThread::~SayOnThisThread() { tSink = std::move(previous_); }

SaySink thread_say_sink() { return tSink; }

}  // namespace kelmo::cli
