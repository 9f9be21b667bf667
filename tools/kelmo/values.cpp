#include "values.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace kelmo::cli {
namespace {

// The number at the start of `text` and what follows it.
std::optional<double> leading_number(const std::string& text, std::string* rest) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !std::isfinite(v)) return std::nullopt;
    *rest = end;
    return v;
}

// A value scaled by its unit, when the product is still a number.
std::optional<double> finite(double v) {
    if (!std::isfinite(v)) return std::nullopt;
    return v;
}

}  // namespace

std::optional<double> parse_si(const std::string& text) {
    std::string rest;
    auto v = leading_number(text, &rest);
    if (!v) return std::nullopt;
    double scale = 1.0;
    if (!rest.empty() && (rest[0] == 'k' || rest[0] == 'K' || rest[0] == 'M' || rest[0] == 'G')) {
        scale = rest[0] == 'M' ? 1e6 : rest[0] == 'G' ? 1e9 : 1e3;
        rest.erase(0, 1);
    }
    if (!rest.empty() && rest != "Hz" && rest != "hz") return std::nullopt;
    return finite(*v * scale);
}

std::optional<int64_t> parse_count(const std::string& text) {
    const auto v = parse_si(text);
    if (!v || *v != std::floor(*v) || std::fabs(*v) > kMostCount) return std::nullopt;
    return static_cast<int64_t>(*v);
}

std::optional<double> parse_seconds(const std::string& text) {
    std::string rest;
    const auto v = leading_number(text, &rest);
    if (!v) return std::nullopt;
    if (rest.empty() || rest == "s") return *v;
    if (rest == "ms") return *v / 1e3;
    if (rest == "us") return *v / 1e6;
    if (rest == "min") return finite(*v * 60.0);
    if (rest == "h") return finite(*v * 3600.0);
    return std::nullopt;
}

std::optional<int64_t> count_of(double seconds, double rate) {
    const double n = std::round(seconds * rate);
    // Also false for NaN and infinities.
    if (!(n >= 0.0 && n <= kMostCount)) return std::nullopt;
    return static_cast<int64_t>(n);
}

std::optional<std::vector<int>> parse_channel_list(const std::string& text, int most) {
    std::vector<bool> on(static_cast<std::size_t>(std::max(most, 0)) + 1, false);
    auto number = [most](const std::string& t) -> std::optional<int> {
        if (t.empty() || t.size() > 9 || t.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
        const int v = std::stoi(t);
        if (v > most) return std::nullopt;
        return v;
    };
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = text.find(',', at);
        const std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        const std::size_t dash = item.find('-');
        const auto lo = number(item.substr(0, dash));
        const auto hi = dash == std::string::npos ? lo : number(item.substr(dash + 1));
        if (!lo || !hi || *hi < *lo) return std::nullopt;
        for (int c = *lo; c <= *hi; ++c) on[std::size_t(c)] = true;
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    std::vector<int> list;
    for (std::size_t c = 0; c < on.size(); ++c)
        if (on[c]) list.push_back(static_cast<int>(c));
    return list;
}

}  // namespace kelmo::cli
