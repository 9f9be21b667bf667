// The current user's settings file, standing in for the registry: an
// INI-style text file whose sections are registry key paths.
//
//   # kelmo settings
//   [software\KELMO\Common]
//   AdjustSmp = 1
//
// Sections and names match without regard to case, "/" and "\" alike;
// values are 32-bit numbers, decimal or 0x-hexadecimal. The file is
// $KELMO_SETTINGS_FILE, else $XDG_CONFIG_HOME/kelmo/settings.ini, else
// ~/.config/kelmo/settings.ini, read afresh on every call.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/posix/posix.h"

namespace kelmo::platform::posix {
namespace {

std::string settings_path() {
    if (const char* f = std::getenv("KELMO_SETTINGS_FILE"); f && *f) return f;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) return std::string(x) + "/kelmo/settings.ini";
    if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.config/kelmo/settings.ini";
    return {};
}

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// Case-insensitive, with "/" and "\" the same separator.
std::string folded(const std::string& s) {
    std::string r;
    r.reserve(s.size());
    for (char c : s) r.push_back(c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return r;
}

std::optional<uint32_t> number(const std::string& text) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<uint32_t>(v);
}

}  // namespace

std::optional<uint32_t> user_setting(const char* key, const char* name) {
    const std::string path = settings_path();
    if (path.empty() || !key || !name) return std::nullopt;
    std::ifstream in(path);
    if (!in) return std::nullopt;
    const std::string wantKey = folded(key), wantName = folded(name);
    bool inKey = false;
    std::optional<uint32_t> found;
    std::string line;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line.front() == '[') {
            inKey = line.back() == ']' && folded(trim(line.substr(1, line.size() - 2))) == wantKey;
            continue;
        }
        const auto eq = line.find('=');
        if (!inKey || eq == std::string::npos) continue;
        if (folded(trim(line.substr(0, eq))) == wantName) found = number(trim(line.substr(eq + 1)));  // the last one counts
    }
    return found;
}

}  // namespace kelmo::platform::posix
