// Numbers as people write them on a command line: "10k", "1.5M", "44100Hz"
// for rates and counts, "2s", "500ms" for durations.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelmo::cli {

// A number with an optional SI multiplier (k, M, G) and an optional unit
// "Hz"; nothing when the text is not such a number.
std::optional<double> parse_si(const std::string& text);
// The same, as a whole count (1k = 1000); nothing when it is not whole.
std::optional<int64_t> parse_count(const std::string& text);
// A duration in seconds: a number with s, ms, us, min or h (a bare number
// is seconds).
std::optional<double> parse_seconds(const std::string& text);

}  // namespace kelmo::cli
