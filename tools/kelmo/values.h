// Numbers as people write them on a command line: "10k", "1.5M", "44100Hz"
// for rates and counts, "2s", "500ms" for durations.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelmo::cli {

// The largest count of samples the host takes: every whole number up to it
// is exact in a double, and sums of such counts stay far inside int64.
inline constexpr double kMostCount = 9e15;

// A finite number with an optional SI multiplier (k, M, G) and an optional
// unit "Hz"; nothing when the text is not such a number or the multiplied
// value is not finite.
std::optional<double> parse_si(const std::string& text);
// The same, as a whole count (1k = 1000) of at most kMostCount in
// magnitude; nothing when it is not whole or larger.
std::optional<int64_t> parse_count(const std::string& text);
// A finite duration in seconds: a number with s, ms, us, min or h (a bare
// number is seconds).
std::optional<double> parse_seconds(const std::string& text);
// The samples of `seconds` at `rate` Hz, rounded to the nearest; nothing
// when that count is not finite, negative or above kMostCount.
std::optional<int64_t> count_of(double seconds, double rate);

// Channel numbers as "0,2,5-7": single numbers and inclusive ranges,
// each from 0 to `most`; returned in ascending order, each once. Nothing
// when the text is not such a list.
std::optional<std::vector<int>> parse_channel_list(const std::string& text, int most);

}  // namespace kelmo::cli
