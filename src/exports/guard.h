// Every export body runs inside one of these guards: nothing thrown inside
// the library crosses the C interface (the export returns its failure value
// instead), and the calling thread's reason (kelmo_last_error) is set when
// the export fails and cleared when it does not.
#pragma once

#include <exception>
#include <new>
#include <utility>

#include "core/reason.h"

namespace kelmo {

namespace detail {
inline void record_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        because("the library could not get the memory it needs; free memory or ask for a smaller block");
    } catch (const std::exception& e) {
        because("an internal error stopped it (%s); please report it", e.what());
    } catch (...) {
        because("an internal error stopped it; please report it");
    }
}
}  // namespace detail

// An export whose result `failure` means it failed (any other result: it
// did not), or, with a predicate, whose results failed(r) tells.
template <class R, class IsFailure, class F>
R guarded_by(const char* name, R failure, IsFailure failed, F&& body) noexcept {
    ExportScope scope(name);
    try {
        R r = std::forward<F>(body)();
        if (failed(r))
            scope.failed(kNoCause);
        else
            scope.succeeded();
        return r;
    } catch (...) {
        detail::record_exception();
        scope.failed(kNoCause);
        return failure;
    }
}

template <class R, class F>
R guarded(const char* name, R failure, F&& body) noexcept {
    return guarded_by(name, failure, [failure](const R& r) { return r == failure; }, std::forward<F>(body));
}

// An export whose every result is an answer (or that has none): it failed
// only where its body recorded a cause; `fallback` is its result when
// something was thrown.
template <class R, class F>
R answered(const char* name, R fallback, F&& body) noexcept {
    ExportScope scope(name);
    try {
        R r = std::forward<F>(body)();
        scope.as_recorded();
        return r;
    } catch (...) {
        detail::record_exception();
        scope.failed(kNoCause);
        return fallback;
    }
}

template <class F>
void guarded_void(const char* name, F&& body) noexcept {
    ExportScope scope(name);
    try {
        std::forward<F>(body)();
        scope.as_recorded();
    } catch (...) {
        detail::record_exception();
        scope.failed(kNoCause);
    }
}

}  // namespace kelmo
