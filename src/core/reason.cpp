#include "core/reason.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace kelmo {
namespace {

// Plain arrays: a thread's storage needs no destructor, so threads may
// end in any order against the library's unloading.
constexpr std::size_t kCauseBytes = 768;
constexpr std::size_t kReasonBytes = 1024;
thread_local char t_cause[kCauseBytes];
thread_local bool t_hasCause = false;
thread_local int t_depth = 0;
thread_local const char* t_name = nullptr;  // of the outermost export
thread_local char t_reason[kReasonBytes];

void set_reason(const char* name, const char* cause) {
    std::snprintf(t_reason, sizeof t_reason, "%s failed: %s", name, cause);
}

}  // namespace

namespace {
// A backend's note comes before anything recorded after it.
void take_note() {
    if (t_hasCause) return;
    const char* note = platform::noted_cause();
    if (!*note) return;
    std::snprintf(t_cause, sizeof t_cause, "%s", note);
    platform::forget_noted_cause();
    t_hasCause = true;
}

// The first cause of an export stands.
void record_cause(const char* format, va_list ap) {
    take_note();
    if (t_hasCause) return;
    std::vsnprintf(t_cause, sizeof t_cause, format, ap);
    t_hasCause = t_cause[0] != '\0';
}
}  // namespace

void because(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    record_cause(format, ap);
    va_end(ap);
}

bool require(bool condition, const char* format, ...) {
    if (condition) return true;
    va_list ap;
    va_start(ap, format);
    record_cause(format, ap);
    va_end(ap);
    return false;
}

bool has_cause() {
    take_note();
    return t_hasCause;
}

const char* current_cause() {
    take_note();
    return t_hasCause ? t_cause : "";
}

const char* last_reason() { return t_reason; }

const char* reason_for_asking() {
    if (t_depth == 0) return t_reason;
    take_note();
    thread_local char now[kReasonBytes];
    now[0] = '\0';
    if (t_hasCause) std::snprintf(now, sizeof now, "%s failed: %s", t_name ? t_name : "kelmo", t_cause);
    return now;
}

std::string reason_so_far() {
    take_note();
    if (!t_hasCause) return std::string();
    return std::string(t_name ? t_name : "kelmo") + " failed: " + t_cause;
}

ExportScope::ExportScope(const char* name)
    : name_(name), outer_(t_depth++ == 0), outerCall_(platform::begin_call()) {
    if (outer_) {
        t_hasCause = false;
        t_cause[0] = '\0';
        t_name = name;
        platform::forget_noted_cause();
    }
}

ExportScope::~ExportScope() {
    platform::end_call(outerCall_);
    --t_depth;
    if (outer_) {
        t_hasCause = false;
        t_cause[0] = '\0';
        t_name = nullptr;
        platform::forget_noted_cause();
    }
}

void ExportScope::failed(const char* fallback) {
    take_note();
    if (outer_) set_reason(name_, t_hasCause ? t_cause : fallback);
}

void ExportScope::succeeded() {
    if (outer_) t_reason[0] = '\0';
}

void ExportScope::as_recorded() {
    take_note();
    if (!outer_) return;
    if (t_hasCause)
        set_reason(name_, t_cause);
    else
        t_reason[0] = '\0';
}

void because_no_memory(std::size_t bytes) { because("%s", platform::no_memory_text(bytes).c_str()); }

}  // namespace kelmo
