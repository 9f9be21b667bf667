// kelmo_set_message_handler, kelmo_set_dispatch_hook: where a host takes
// over the library's messages and its waits' dispatch; kelmo_version: which
// library it loaded; kelmo_last_error: why the thread's last export failed.
#include <algorithm>
#include <cstring>

#include "core/messages.h"
#include "core/reason.h"
#include "exports/guard.h"
#include "kelmo.h"

using namespace kelmo;

extern "C" {

KELMO_API void KELMO_CALL kelmo_set_message_handler(kelmo_message_handler handler, void* context) {
    guarded_void("kelmo_set_message_handler", [&] { set_message_handler(handler, context); });
}

KELMO_API void KELMO_CALL kelmo_set_dispatch_hook(kelmo_dispatch_hook hook, void* context) {
    guarded_void("kelmo_set_dispatch_hook", [&] { set_dispatch_hook(hook, context); });
}

KELMO_API const char* KELMO_CALL kelmo_version(void) { return KELMO_VERSION_TEXT; }

// Asking leaves the reason as it is: it belongs to the last export that
// acquired, converted or stored something, not to this question. A message
// handler asking while an export runs gets that export's reason so far.
KELMO_API int KELMO_CALL kelmo_last_error(char* buf, int size) {
    const char* reason = reason_for_asking();
    const std::size_t length = std::strlen(reason);
    if (buf && size > 0) {
        std::size_t n = std::min(length, static_cast<std::size_t>(size) - 1);
        // A shortened reason ends before a whole character, never inside one.
        while (n > 0 && n < length && (static_cast<unsigned char>(reason[n]) & 0xC0) == 0x80) --n;
        std::memcpy(buf, reason, n);
        buf[n] = '\0';
    }
    return static_cast<int>(length);
}

}  // extern "C"
