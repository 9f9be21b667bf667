#include "dialogs/folder_path.h"

#include <cstring>

namespace kelmo::dialogs {
namespace {

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_edge(char c) { return c == '\t' || c == ' ' || c == '.'; }

std::string message(const char* format, const char* path) {
    // The formats hold one %s, the path.
    const char* at = std::strstr(format, "%s");
    std::string s(format, at);
    s.append(path);
    s.append(at + 2);
    return s;
}

}  // namespace

int IsValidPathComponent(const char* t) {
    if (!t || !*t) return 0;
    const std::size_t n = std::strlen(t);
    if (is_edge(t[0]) || is_edge(t[n - 1])) return 0;
    return std::strpbrk(t, "\"*/:<>?\\|") ? 0 : 1;
}

int CheckOrCreatePath(const char* p, bool checkOnly, Directories& dirs, PathStyle style) {
    if (!p) return 1;
    std::string copy(p);
    const char sep = style == PathStyle::Drive ? '\\' : '/';
    std::size_t root;  // the length of the root, separator included
    if (style == PathStyle::Drive) {
        if (copy.size() < 3 || !is_letter(copy[0]) || copy[1] != ':' || copy[2] != '\\') return 1;
        root = 3;
    } else {
        if (copy.empty() || copy[0] != '/') return 1;
        root = 1;
    }
    if (copy.size() == root) {
        if (checkOnly) return 0;
        return dirs.exists(copy) ? 0 : 2;
    }
    for (std::size_t from = root;;) {
        const std::size_t end = copy.find(sep, from);
        const std::size_t cut = end == std::string::npos ? copy.size() : end;
        const std::string level = copy.substr(from, cut - from);
        if (!IsValidPathComponent(level.c_str())) return 1;  // an empty level too
        if (!checkOnly) {
            const std::string sofar = copy.substr(0, cut);
            dirs.create(sofar);
            if (!dirs.exists(sofar)) return 2;
        }
        if (end == std::string::npos) return 0;
        if (end + 1 == copy.size()) return 1;  // a trailing separator
        from = end + 1;
    }
}

int ValidateAndCreatePath(const char* p, Directories& dirs, PathDialogs& dialogs, PathStyle style) {
    int r = CheckOrCreatePath(p, true, dirs, style);
    if (r == 0 && !dirs.exists(p)) {
        if (!dialogs.ask(message("The folder:\n\n%s\n\ndoes not exist. Do you want the folder to be created?", p)))
            return -1;
        r = CheckOrCreatePath(p, false, dirs, style);
    }
    if (r == 0) return 0;
    dialogs.warn(message(r == 1 ? "The folder:\n\n%s\n\nis invalid. Please reenter."
                                : "The folder:\n\n%s\n\ncan not be created. Please double check.",
                         p ? p : ""));
    return r;
}

}  // namespace kelmo::dialogs
