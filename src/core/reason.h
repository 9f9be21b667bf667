// Why the calling thread's last export failed (kelmo_last_error): one
// English sentence in UTF-8 that names what failed, its cause and what to
// do. Each export starts with an empty reason (ExportScope); the code that
// finds a failure records its cause with because(), and the first cause
// recorded during an export stands, since the innermost code knows most.
// An export that ends in success clears whatever was recorded on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelmo {

// Records the cause of the failure in progress, printf-style: "<what> ...;
// <what to do>". Ignored when a cause is already recorded for this export.
void because(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A rule a caller's argument must keep: when `condition` is false, records
// the cause (as because() does: "<the argument and what is wrong>; <the
// rule>") and returns false, so that an export refuses with
// `if (!require(...)) return <failure>;`. Every refusal of a caller's
// mistake goes through here.
bool require(bool condition, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The cause of memory that could not be had: how much, and what to do.
void because_no_memory(std::size_t bytes);
// Whether this thread's export has recorded a cause so far.
bool has_cause();
// The cause recorded so far ("" when none): what a console reader gets
// beside the system's own text.
const char* current_cause();

// The sentence the export would leave if it failed now ("<export> failed:
// <cause>"), "" when no cause is recorded: what a console reader gets
// beside the library's own text.
std::string reason_so_far();

// The reason of this thread's last export, as kelmo_last_error hands it out.
const char* last_reason();
// What kelmo_last_error hands out: during an export (a message handler or
// dispatch hook asking), that export's reason so far ("" while none is
// recorded); otherwise the last export's.
const char* reason_for_asking();

// Brackets one export on the calling thread. An export nested in another
// (the library calling its own exports) leaves the outer one's reason alone.
class ExportScope {
public:
    explicit ExportScope(const char* name);
    ~ExportScope();
    ExportScope(const ExportScope&) = delete;
    ExportScope& operator=(const ExportScope&) = delete;

    // The export gives its failure result: its reason is the recorded cause,
    // or, when none was, `fallback` (a sentence of its own).
    void failed(const char* fallback);
    // The export gives a result that is no failure.
    void succeeded();
    // Whatever the body recorded stands (exports with no failure result).
    void as_recorded();

private:
    const char* name_;
    bool outer_;
    uint64_t outerCall_;  // the call this one runs inside, 0 when none
};

// The fallback of an export that failed without recording a cause.
inline constexpr const char* kNoCause = "no cause was recorded for it (a fault of the library: please report it)";

}  // namespace kelmo
