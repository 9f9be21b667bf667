#include "core/messages.h"

#include <cstdarg>
#include <cstdio>

#include "core/reason.h"
#include "kelmo.h"
#include "platform/platform.h"

namespace kelmo {
namespace {
kelmo_message_handler g_handler = nullptr;
void* g_context = nullptr;
kelmo_dispatch_hook g_dispatch = nullptr;
void* g_dispatchContext = nullptr;
}  // namespace

void dispatch_messages() {
    // The platform's own dispatch always runs (on Linux it hands on the
    // mixers' change notices); the host's hook comes on top of it.
    platform::current().system.dispatch_messages();
    if (g_dispatch) g_dispatch(g_dispatchContext);
}

void show_message(const char* text) {
    if (g_handler) {
        g_handler(text, g_context);
        return;
    }
    platform::current().messages.message_box(text, reason_so_far());
}

namespace {
void print_line(const char* format, va_list ap, const std::string& words) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, ap);
    if (g_handler) {
        g_handler(line, g_context);
        return;
    }
    platform::current().messages.console(line, words);
}
}  // namespace

void console_printf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    print_line(format, ap, std::string());
    va_end(ap);
}

void failure_console_printf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    print_line(format, ap, reason_so_far());
    va_end(ap);
}

void set_message_handler(kelmo_message_handler handler, void* context) {
    g_handler = handler;
    g_context = context;
    // What the backends say on their own goes where the console lines go.
    platform::NoticeRoute route = [](const char* line) { console_printf("%s", line); };
    platform::set_notice_route(handler ? route : nullptr);
}

void set_dispatch_hook(kelmo_dispatch_hook hook, void* context) {
    g_dispatch = hook;
    g_dispatchContext = context;
}

}  // namespace kelmo
