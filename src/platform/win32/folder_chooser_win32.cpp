// The folder browser on Windows. Not available yet: the caller is told so.
#include "platform/win32/win32.h"

namespace kelmo::platform::win32 {

int folder_chooser(FolderChooserModel&, void*, std::string* why) {
    *why = "the folder browser is not available";
    return 0;
}

}  // namespace kelmo::platform::win32
