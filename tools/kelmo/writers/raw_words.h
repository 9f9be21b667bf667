// Raw words and the straight line that turns them into values.
#pragma once

#include <optional>

#include "writer.h"

namespace kelmo::cli {

// Whether the card's raw words of `bytes` map onto its values by a straight
// line, read as signed or as unsigned words (over their whole range, else
// over the 12 or 24 bits some cards fill): the line, or none.
std::optional<RawWords> raw_line(int type, int bytes);

}  // namespace kelmo::cli
