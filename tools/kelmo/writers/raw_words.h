// Raw words and the straight line that turns them into values.
#pragma once

#include <algorithm>
#include <cmath>
#include <optional>

#include "writer.h"

namespace kelmo::cli {

// Whether the card's raw words of `bytes` map onto its values by a straight
// line, read as signed or as unsigned words (over their whole range, else
// over the 12 or 24 bits some cards fill): the line, or none.
std::optional<RawWords> raw_line(int type, int bytes);

// Whether `value` is the value `line` gives `word` (to the last digits).
inline bool on_line(const RawWords& line, double word, double value) {
    const double want = word * line.scale + line.offset;
    return std::abs(value - want) <= 1e-9 * std::max(1.0, std::abs(value));
}

}  // namespace kelmo::cli
