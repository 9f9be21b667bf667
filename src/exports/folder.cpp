// ChangePath: the user chooses a data folder.
#include "dialogs/folder_chooser.h"
#include "exports/guard.h"
#include "kelmo.h"

extern "C" KELMO_API int KELMO_CALL ChangePath(char* path, void* parent) {
    return kelmo::guarded("ChangePath", 0, [&] { return kelmo::dialogs::change_path(path, kelmo::dialogs::kPathChars, parent); });
}
