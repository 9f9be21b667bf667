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
// The first cause of an export stands.
void record_cause(const char* format, va_list ap) {
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

bool has_cause() { return t_hasCause; }

const char* current_cause() { return t_hasCause ? t_cause : ""; }

const char* last_reason() { return t_reason; }

const char* reason_for_asking() {
    if (t_depth == 0) return t_reason;
    thread_local char now[kReasonBytes];
    now[0] = '\0';
    if (t_hasCause) std::snprintf(now, sizeof now, "%s failed: %s", t_name ? t_name : "kelmo", t_cause);
    return now;
}

std::string reason_so_far() {
    if (!t_hasCause) return std::string();
    return std::string(t_name ? t_name : "kelmo") + " failed: " + t_cause;
}

ExportScope::ExportScope(const char* name)
    : name_(name), outer_(t_depth++ == 0), outerCall_(platform::begin_call()) {
    if (outer_) {
        t_hasCause = false;
        t_cause[0] = '\0';
        t_name = name;
    }
}

ExportScope::~ExportScope() {
    platform::end_call(outerCall_);
    --t_depth;
    if (outer_) {
        t_hasCause = false;
        t_cause[0] = '\0';
        t_name = nullptr;
    }
}

void ExportScope::failed(const char* fallback) {
    if (outer_) set_reason(name_, t_hasCause ? t_cause : fallback);
}

void ExportScope::succeeded() {
    if (outer_) t_reason[0] = '\0';
}

void ExportScope::as_recorded() {
    if (!outer_) return;
    if (t_hasCause)
        set_reason(name_, t_cause);
    else
        t_reason[0] = '\0';
}

void because_no_memory(std::size_t bytes) {
    because("the system did not give the %.1f MiB of memory the samples need; ask for fewer samples or channels, "
            "or close other programs", static_cast<double>(bytes) / (1024.0 * 1024.0));
}

}  // namespace kelmo
