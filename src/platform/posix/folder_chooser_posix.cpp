// The folder chooser on Linux. Not available yet: the caller is told so,
// and its boxes go to the console (a question is answered No).
#include <cstdio>

#include "platform/posix/posix.h"

namespace kelmo::platform::posix {

int folder_chooser(FolderChooserModel&, void*, std::string* why) {
    *why = "no folder dialog is available";
    return 0;
}

bool question_box(const char* text) {
    std::fprintf(stderr, "%s (answered No: no dialog)\n", text);
    return false;
}

void warning_box(const char* text) { std::fprintf(stderr, "%s\n", text); }

}  // namespace kelmo::platform::posix
