#include "dialogs/folder_chooser.h"

#include <cstdio>
#include <cstring>

#include "core/messages.h"
#include "core/reason.h"

namespace kelmo::dialogs {
namespace {

// The checks' view of the platform.
struct PlatformDirs final : Directories {
    bool exists(const std::string& p) override { return platform::current().directory_exists(p); }
    void create(const std::string& p) override { platform::current().create_directory(p); }
};
struct PlatformDialogs final : PathDialogs {
    bool ask(const std::string& t) override { return platform::current().question_box(t.c_str()); }
    void warn(const std::string& t) override { platform::current().warning_box(t.c_str()); }
};

PathStyle system_paths() { return platform::current().drive_paths() ? PathStyle::Drive : PathStyle::Absolute; }

}  // namespace

bool FolderChooser::selectable(const std::string& path) const {
    if (system_paths() == PathStyle::Drive) return path.size() >= 2 && path[1] == ':';
    return !path.empty() && path[0] == '/';
}

bool FolderChooser::confirm(const std::string& typed) {
    const std::string p = typed.substr(0, kPathChars - 1);
    PlatformDirs dirs;
    PlatformDialogs dialogs;
    if (ValidateAndCreatePath(p.c_str(), dirs, dialogs, system_paths()) != 0) return false;
    path_ = p;
    return true;
}

int change_path(char* path, std::size_t bytes, void* parent) {
    if (!require(path && bytes != 0, "the path is a null pointer; pass a buffer of %d bytes", static_cast<int>(bytes)))
        return 0;
    FolderChooser chooser(std::string(path, strnlen(path, bytes)));
    std::string why;
    const int r = platform::current().folder_chooser(chooser, parent, &why);
    if (r == 0) {
        console_printf("ChangePath: the folder chooser cannot be shown (%s)\n", why.c_str());
        because("the folder chooser cannot be shown (%s)", why.c_str());
    }
    if (r != 1 || chooser.path().empty()) {
        because("the user closed the folder chooser without confirming a folder; the path is unchanged");
        return 0;
    }
    std::snprintf(path, bytes, "%s", chooser.path().c_str());
    return 1;
}

}  // namespace kelmo::dialogs
