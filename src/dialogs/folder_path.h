// The checks of a folder path typed into the folder chooser: the syntax of
// the path and of each of its levels, and the creation of missing levels.
// Pure logic over a small directory interface, for both kinds of path:
// drive paths ("D:\data\run") on Windows, absolute paths ("/data/run")
// elsewhere, with the same rules for a level.
#pragma once

#include <cstddef>
#include <string>

namespace kelmo::dialogs {

inline constexpr std::size_t kPathChars = 260;  // the chooser's path buffer, the NUL included

enum class PathStyle { Drive, Absolute };

class Directories {
public:
    virtual ~Directories() = default;
    // A folder of that name exists.
    virtual bool exists(const std::string& path) = 0;
    // Creates it (one level; an existing folder is fine).
    virtual void create(const std::string& path) = 0;
};

// What the checks ask and tell the user.
class PathDialogs {
public:
    virtual ~PathDialogs() = default;
    // A question with Yes and No; true for Yes.
    virtual bool ask(const std::string& text) = 0;
    // A warning with OK.
    virtual void warn(const std::string& text) = 0;
};

// 1 when `t` may name one level of a path, else 0.
int IsValidPathComponent(const char* t);

// 0 valid (and, unless checkOnly, every level exists or was created), 1 bad
// syntax, 2 a level cannot be created (or, for a bare root, does not exist).
int CheckOrCreatePath(const char* p, bool checkOnly, Directories& dirs, PathStyle style);

// 0 accepted (created where it was missing and the user agreed), -1
// creation declined, 1 rejected syntax, 2 cannot be created; the user is
// asked and told as the chooser does.
int ValidateAndCreatePath(const char* p, Directories& dirs, PathDialogs& dialogs, PathStyle style);

}  // namespace kelmo::dialogs
