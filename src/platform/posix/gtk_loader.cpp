#include "platform/posix/gtk_loader.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/posix/posix.h"

namespace kelmo::platform::posix::gtk {
namespace {

constexpr const char* kLibrary = "libgtk-3.so.0";
constexpr const char* kNoDisplay = "no display: neither DISPLAY nor WAYLAND_DISPLAY is set";

// What the library knows of GTK in this process. Never destroyed: GTK
// cannot be unloaded, and a dialog may still be asked for at exit.
struct Loader {
    std::mutex m;
    void* handle = nullptr;  // libgtk-3, bound; kept for the process's life
    Api api{};
    bool loadedHere = false;  // nobody had loaded GTK before the library did
    bool initCalled = false;  // the library called gtk_init_check
    bool ours = false;        // ... and it succeeded, on thread `owner`
    std::thread::id owner;
};

Loader& loader() {
    static Loader* l = new Loader;
    return *l;
}

template <class F>
bool bind(void* handle, F*& fn, const char* name) {
    fn = reinterpret_cast<F*>(::dlsym(handle, name));
    return fn != nullptr;
}

// The first function of Api that the library lacks, or nullptr.
const char* bind_all(void* h, Api& a) {
#define KELMO_GTK_BIND(fn) \
    if (!bind(h, a.fn, #fn)) return #fn
    KELMO_GTK_BIND(g_main_context_acquire);
    KELMO_GTK_BIND(g_main_context_release);
    KELMO_GTK_BIND(g_signal_connect_data);
    KELMO_GTK_BIND(g_object_ref);
    KELMO_GTK_BIND(g_object_unref);
    KELMO_GTK_BIND(g_signal_handler_disconnect);
    KELMO_GTK_BIND(g_list_free);
    KELMO_GTK_BIND(g_free);
    KELMO_GTK_BIND(g_utf8_validate);
    KELMO_GTK_BIND(gdk_display_get_default);
    KELMO_GTK_BIND(gdk_display_sync);
    KELMO_GTK_BIND(gtk_disable_setlocale);
    KELMO_GTK_BIND(gtk_init_check);
    KELMO_GTK_BIND(gtk_events_pending);
    KELMO_GTK_BIND(gtk_main_iteration_do);
    KELMO_GTK_BIND(gtk_dialog_new);
    KELMO_GTK_BIND(gtk_dialog_add_button);
    KELMO_GTK_BIND(gtk_dialog_set_default_response);
    KELMO_GTK_BIND(gtk_dialog_get_content_area);
    KELMO_GTK_BIND(gtk_dialog_get_widget_for_response);
    KELMO_GTK_BIND(gtk_dialog_set_response_sensitive);
    KELMO_GTK_BIND(gtk_dialog_run);
    KELMO_GTK_BIND(gtk_message_dialog_new);
    KELMO_GTK_BIND(gtk_window_set_title);
    KELMO_GTK_BIND(gtk_window_set_resizable);
    KELMO_GTK_BIND(gtk_window_set_position);
    KELMO_GTK_BIND(gtk_window_set_transient_for);
    KELMO_GTK_BIND(gtk_window_set_default_size);
    KELMO_GTK_BIND(gtk_window_get_focus);
    KELMO_GTK_BIND(gtk_window_list_toplevels);
    KELMO_GTK_BIND(gtk_window_is_active);
    KELMO_GTK_BIND(gtk_container_add);
    KELMO_GTK_BIND(gtk_container_set_border_width);
    KELMO_GTK_BIND(gtk_box_new);
    KELMO_GTK_BIND(gtk_box_pack_start);
    KELMO_GTK_BIND(gtk_label_new);
    KELMO_GTK_BIND(gtk_widget_show_all);
    KELMO_GTK_BIND(gtk_widget_set_no_show_all);
    KELMO_GTK_BIND(gtk_widget_set_size_request);
    KELMO_GTK_BIND(gtk_widget_set_valign);
    KELMO_GTK_BIND(gtk_widget_set_halign);
    KELMO_GTK_BIND(gtk_widget_is_ancestor);
    KELMO_GTK_BIND(gtk_widget_grab_focus);
    KELMO_GTK_BIND(gtk_widget_destroy);
#undef KELMO_GTK_BIND
    return nullptr;
}

const char* env(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

bool display_named() { return env("DISPLAY") || env("WAYLAND_DISPLAY"); }

std::string display_names() {
    std::string r;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* v = env(name);
        if (!v) continue;
        if (!r.empty()) r += ", ";
        r += std::string(name) + "=\"" + v + "\"";
    }
    return r;
}

// GTK 2 and GTK 4 cannot share a process with GTK 3 (GTK aborts it).
const char* other_toolkit() {
    static constexpr struct {
        const char* library;
        const char* name;
    } kOthers[] = {{"libgtk-x11-2.0.so.0", "GTK 2"}, {"libgtk-4.so.1", "GTK 4"}};
    for (const auto& other : kOthers) {
        if (void* h = ::dlopen(other.library, RTLD_LAZY | RTLD_NOLOAD)) {
            ::dlclose(h);
            return other.name;
        }
    }
    return nullptr;
}

// Loads and binds GTK once; false with the reason in *why.
bool load(Loader& l, std::string* why) {
    if (l.handle) return true;
    // A host that uses GTK 3 has it loaded already.
    void* h = ::dlopen(kLibrary, RTLD_LAZY | RTLD_NOLOAD);
    if (!h) {
        // Without a display GTK would be loaded for nothing.
        if (!display_named()) {
            *why = kNoDisplay;
            return false;
        }
        if (const char* other = other_toolkit()) {
            *why = std::string("the process uses ") + other + ", and GTK 3 cannot be loaded beside it";
            return false;
        }
        h = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            *why = "GTK 3 (libgtk-3.so.0) is not installed";
            return false;
        }
        l.loadedHere = true;
    }
    if (const char* missing = bind_all(h, l.api)) {
        // Left loaded: GTK is not made to be unloaded.
        *why = std::string("the GTK 3 installed has no ") + missing;
        return false;
    }
    l.handle = h;
    return true;
}

}  // namespace

Session::Session(std::string* why) {
    Loader& l = loader();
    std::lock_guard<std::mutex> g(l.m);
    if (!load(l, why)) return;
    const Api& a = l.api;
    const std::thread::id self = std::this_thread::get_id();
    if (l.ours && l.owner != self) {
        *why = "GTK was set up on another thread of this process, and only that thread may show dialogs";
        return;
    }
    if (!a.gdk_display_get_default()) {
        // Not initialised yet (or an earlier attempt found no display).
        if (!display_named()) {
            *why = kNoDisplay;
            return;
        }
        // GTK would set the locale of the whole process from the
        // environment, changing how the host formats numbers.
        if (l.loadedHere && !l.initCalled) a.gtk_disable_setlocale();
        l.initCalled = true;
        const StdioPlugs plugs;  // the display connection stays open
        if (!a.gtk_init_check(nullptr, nullptr)) {
            *why = "GTK 3 could not open the display: " + display_names();
            return;
        }
        l.ours = true;
        l.owner = self;
    }
    if (!a.g_main_context_acquire(nullptr)) {
        *why = "GTK's main loop runs on another thread of this process, and only that thread may show dialogs";
        return;
    }
    api_ = &a;
}

Session::~Session() {
    if (api_) api_->g_main_context_release(nullptr);
}

void* Session::symbol(const char* name) const { return ::dlsym(loader().handle, name); }

Widget* Session::active_window() const {
    struct List {
        void* data;
        List* next;
        List* prev;
    };
    auto* all = static_cast<List*>(api_->gtk_window_list_toplevels());
    Widget* active = nullptr;
    for (List* i = all; i && !active; i = i->next)
        if (api_->gtk_window_is_active(i->data)) active = i->data;
    api_->g_list_free(all);
    return active;
}

void Session::destroy(Widget* window) const {
    api_->gtk_widget_destroy(window);
    // The server has removed the window once it has handled every request
    // so far; its last events are handled here rather than by whoever runs
    // GTK next. A host's own sources may keep events pending: bounded.
    if (void* display = api_->gdk_display_get_default()) api_->gdk_display_sync(display);
    for (int i = 0; i < 1000 && api_->gtk_events_pending(); ++i) api_->gtk_main_iteration_do(0);
}

std::string Session::utf8(const std::string& bytes) const {
    std::string out;
    const char* at = bytes.data();
    const char* const stop = at + bytes.size();
    for (;;) {
        const char* end = nullptr;
        const bool valid = api_->g_utf8_validate(at, static_cast<long>(stop - at), &end);
        out.append(at, end);
        if (valid || end >= stop) return out;
        out += "\xEF\xBF\xBD";  // U+FFFD
        at = end + 1;
    }
}

}  // namespace kelmo::platform::posix::gtk
