// kelmo_set_message_handler, kelmo_set_dispatch_hook: where a host takes
// over the library's messages and its waits' dispatch; kelmo_version: which
// library it loaded.
#include "core/messages.h"
#include "exports/guard.h"
#include "kelmo.h"

using namespace kelmo;

extern "C" {

KELMO_API void KELMO_CALL kelmo_set_message_handler(kelmo_message_handler handler, void* context) {
    guarded_void([&] { set_message_handler(handler, context); });
}

KELMO_API void KELMO_CALL kelmo_set_dispatch_hook(kelmo_dispatch_hook hook, void* context) {
    guarded_void([&] { set_dispatch_hook(hook, context); });
}

KELMO_API const char* KELMO_CALL kelmo_version(void) { return KELMO_VERSION_TEXT; }

}  // extern "C"
