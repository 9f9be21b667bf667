// Every export body runs inside guarded(): nothing thrown inside the library
// crosses the C interface; the export returns its failure value instead.
#pragma once

#include <utility>

namespace kelmo {

template <class R, class F>
R guarded(R failure, F&& body) noexcept {
    try {
        return std::forward<F>(body)();
    } catch (...) {
        return failure;
    }
}

template <class F>
void guarded_void(F&& body) noexcept {
    try {
        std::forward<F>(body)();
    } catch (...) {
    }
}

}  // namespace kelmo
