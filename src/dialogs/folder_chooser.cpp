#include "dialogs/folder_chooser.h"

#include <cstdio>
#include <cstring>

#include "core/messages.h"
#include "core/reason.h"

namespace kelmo::dialogs {
namespace {

// The checks' view of the platform.
struct PlatformDirs final : Directories {
    bool exists(const std::string& p) override { return platform::current().files.directory_exists(p); }
    void create(const std::string& p) override { platform::current().files.create_directory(p); }
};
struct PlatformDialogs final : PathDialogs {
    bool ask(const std::string& t) override { return platform::current().chooser.question_box(t.c_str()); }
    void warn(const std::string& t) override { platform::current().chooser.warning_box(t.c_str()); }
};

PathStyle system_paths() { return platform::current().files.drive_paths() ? PathStyle::Drive : PathStyle::Absolute; }

}  // namespace

bool FolderChooser::selectable(const std::string& path) const {
    if (system_paths() == PathStyle::Drive) return path.size() >= 2 && path[1] == ':';
    return !path.empty() && path[0] == '/';
}

// A path that does not fit the host's buffer is refused whole: cut, it
// would name (and create) a folder the user did not type.
bool FolderChooser::confirm(const std::string& typed) {
    PlatformDialogs dialogs;
    if (typed.size() > kPathChars - 1 || typed.find('\0') != std::string::npos) {
        refusal_ = "the folder typed is " + std::to_string(typed.size()) + " bytes long, and a data folder's path " +
                   "holds at most " + std::to_string(kPathChars - 1);
        dialogs.warn("The folder:\n\n" + typed.substr(0, typed.find('\0')) + "\n\nis longer than " +
                     std::to_string(kPathChars - 1) + " characters. Please choose a shorter path.");
        return false;
    }
    PlatformDirs dirs;
    const int r = ValidateAndCreatePath(typed.c_str(), dirs, dialogs, system_paths());
    if (r == 0) {
        path_ = typed;
        return true;
    }
    refusal_ = r == 1 ? "the folder typed, " + typed + ", is not a valid path"
             : r == 2 ? "the folder typed, " + typed + ", cannot be created"
                      : "the user declined to create the folder typed, " + typed;
    return false;
}

void FolderChooser::unrepresentable(const std::string& shown) {
    refusal_ = "the folder typed has characters that the system's code page (in which ChangePath returns it) "
               "cannot hold: " + shown;
    PlatformDialogs dialogs;
    dialogs.warn("The folder:\n\n" + shown + "\n\nhas characters that the system's code page cannot hold. Please "
                 "choose a folder whose name it can.");
}

int change_path(char* path, std::size_t bytes, void* parent) {
    if (!require(path && bytes != 0, "the path is a null pointer; pass a buffer of %d bytes", static_cast<int>(bytes)))
        return 0;
    FolderChooser chooser(std::string(path, strnlen(path, bytes)));
    std::string why;
    const int r = platform::current().chooser.folder_chooser(chooser, parent, &why);
    if (r == 0) {
        console_printf("ChangePath: the folder chooser cannot be shown (%s)\n", why.c_str());
        because("the folder chooser cannot be shown (%s)", why.c_str());
    }
    if (r != 1 || chooser.path().empty()) {
        if (r == 0) return 0;
        if (chooser.refusal().empty())
            because("the user cancelled the folder chooser; the path is unchanged");
        else
            because("the user cancelled the folder chooser after %s; the path is unchanged",
                    chooser.refusal().c_str());
        return 0;
    }
    std::snprintf(path, bytes, "%s", chooser.path().c_str());
    return 1;
}

}  // namespace kelmo::dialogs
