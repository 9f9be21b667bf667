// The current user's settings file, standing in for the registry: an
// INI-style text file whose sections are registry key paths.
//
//   # kelmo settings
//   [software\KELMO\Common]
//   AdjustSmp = 1
//
// Sections and names match without regard to case, "/" and "\" alike;
// numeric values are 32-bit numbers, decimal or 0x-hexadecimal. The file
// is $KELMO_SETTINGS_FILE, else $XDG_CONFIG_HOME/kelmo/settings.ini, else
// ~/.config/kelmo/settings.ini, read afresh on every call. Only a regular
// file is read; storing a value rewrites the file through a temporary one
// beside it, keeping every other line as it was.
#include <cctype>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

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

// Pieces appended in order (GCC's -O3 warns wrongly on chains of +).
std::string joined(std::initializer_list<std::string_view> parts) {
    std::string r;
    for (std::string_view p : parts) r.append(p);
    return r;
}

// The file's lines; nothing when it is missing or not a regular file.
std::optional<std::vector<std::string>> read_lines(const std::string& path) {
    struct stat st{};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

bool is_section(const std::string& line, std::string* key) {
    if (line.size() < 2 || line.front() != '[' || line.back() != ']') return false;
    *key = folded(trim(line.substr(1, line.size() - 2)));
    return true;
}

// The value's text (the last one counts).
std::optional<std::string> text_of(const char* key, const char* name) {
    if (!key || !name) return std::nullopt;
    const auto lines = read_lines(settings_path());
    if (!lines) return std::nullopt;
    const std::string wantKey = folded(key), wantName = folded(name);
    bool inKey = false;
    std::optional<std::string> found;
    for (const std::string& raw : *lines) {
        const std::string line = trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        std::string k;
        if (is_section(line, &k)) {
            inKey = k == wantKey;
            continue;
        }
        const auto eq = line.find('=');
        if (inKey && eq != std::string::npos && folded(trim(line.substr(0, eq))) == wantName)
            found = trim(line.substr(eq + 1));
    }
    return found;
}

}  // namespace

namespace {
class PosixSettings final : public Settings {
public:
    std::optional<uint32_t> user_setting(const char* key, const char* name) override;
    std::optional<std::string> user_setting_text(const char* key, const char* name) override;
    bool set_user_setting_text(const char* key, const char* name, const std::string& value) override;
};
}  // namespace

std::optional<uint32_t> PosixSettings::user_setting(const char* key, const char* name) {
    const auto text = text_of(key, name);
    if (!text) return std::nullopt;
    return number(*text);
}

std::optional<std::string> PosixSettings::user_setting_text(const char* key, const char* name) {
    auto text = text_of(key, name);
    if (text && text->size() > 99) text->resize(99);
    return text;
}

bool PosixSettings::set_user_setting_text(const char* key, const char* name, const std::string& value) {
    const std::string path = settings_path();
    if (path.empty() || !key || !name || value.find_first_of("\r\n") != std::string::npos) return false;
    struct stat st{};
    std::vector<std::string> lines;
    if (::stat(path.c_str(), &st) == 0) {
        auto existing = read_lines(path);
        if (!existing) return false;  // something other than a regular file: leave it alone
        lines = std::move(*existing);
    } else {
        // A missing file and the folders above it are created.
        for (std::size_t i = path.find('/', 1); i != std::string::npos; i = path.find('/', i + 1))
            ::mkdir(path.substr(0, i).c_str(), 0700);
        lines.push_back("# kelmo settings");
    }
    const std::string wantKey = folded(key), wantName = folded(name), entry = joined({name, " = ", value});
    bool inKey = false, done = false;
    std::size_t sectionEnd = std::string::npos;
    for (std::size_t i = 0; i < lines.size() && !done; ++i) {
        const std::string line = trim(lines[i]);
        std::string k;
        if (is_section(line, &k)) {
            if (inKey) break;
            inKey = k == wantKey;
            if (inKey) sectionEnd = i + 1;
            continue;
        }
        if (!inKey) continue;
        if (!line.empty()) sectionEnd = i + 1;
        const auto eq = line.find('=');
        if (line[0] != '#' && line[0] != ';' && eq != std::string::npos &&
            folded(trim(line.substr(0, eq))) == wantName) {
            lines[i] = entry;
            done = true;
        }
    }
    if (!done && sectionEnd != std::string::npos) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(sectionEnd), entry);
    } else if (!done) {
        lines.push_back(joined({"[", key, "]"}));
        lines.push_back(entry);
    }
    const std::string temp = joined({path, ".new"});
    {
        std::ofstream out(temp, std::ios::trunc);
        for (const std::string& l : lines) out << l << '\n';
        out.flush();
        if (!out) {
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

Settings& settings() {
    static PosixSettings instance;
    return instance;
}

}  // namespace kelmo::platform::posix
