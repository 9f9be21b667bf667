// GTK 3 for the library's dialogs, loaded at run time: the library neither
// links it nor needs its headers, and loads and works where it is missing.
// The few functions the dialogs call are declared here with opaque
// pointers (GTK's C interface is stable); a dialog that needs more binds
// them through symbol().
//
// GTK is initialised once per process, and belongs to one thread: a dialog
// runs on the thread that calls it, with a main loop of its own nested in
// whatever that thread was doing. The library initialises GTK on the first
// thread that shows a dialog, and later dialogs must come from that thread.
// In a host that uses GTK 3 itself the host's initialisation is used as it
// is, and a dialog must come from the thread that runs GTK's main loop. In
// either case GTK and its display connection then stay for the process's
// life. A process that uses GTK 2 or GTK 4 cannot load GTK 3 beside them,
// and gets no dialog.
#pragma once

#include <string>

namespace kelmo::platform::posix::gtk {

// GTK's objects, seen through opaque pointers.
using Widget = void;
using Callback = void (*)();

struct Api {
    // GLib and GObject (GTK's dependencies, reached through its handle).
    int (*g_main_context_acquire)(void* context);
    void (*g_main_context_release)(void* context);
    unsigned long (*g_signal_connect_data)(void* instance, const char* signal, Callback handler, void* data,
                                           void* destroyData, int flags);
    void* (*g_object_ref)(void* object);
    void (*g_object_unref)(void* object);
    void (*g_signal_handler_disconnect)(void* instance, unsigned long handler);
    void (*g_list_free)(void* list);
    void (*g_free)(void* memory);
    int (*g_utf8_validate)(const char* text, long bytes, const char** end);
    // GDK.
    void* (*gdk_display_get_default)();
    void (*gdk_display_sync)(void* display);
    // GTK itself.
    void (*gtk_disable_setlocale)();
    int (*gtk_init_check)(int* argc, char*** argv);
    int (*gtk_events_pending)();
    int (*gtk_main_iteration_do)(int blocking);
    Widget* (*gtk_dialog_new)();
    Widget* (*gtk_dialog_add_button)(Widget* dialog, const char* text, int response);
    void (*gtk_dialog_set_default_response)(Widget* dialog, int response);
    Widget* (*gtk_dialog_get_content_area)(Widget* dialog);
    Widget* (*gtk_dialog_get_widget_for_response)(Widget* dialog, int response);
    void (*gtk_dialog_set_response_sensitive)(Widget* dialog, int response, int sensitive);
    int (*gtk_dialog_run)(Widget* dialog);
    Widget* (*gtk_message_dialog_new)(Widget* parent, int flags, int type, int buttons, const char* format, ...);
    void (*gtk_window_set_title)(Widget* window, const char* title);
    void (*gtk_window_set_resizable)(Widget* window, int resizable);
    void (*gtk_window_set_position)(Widget* window, int position);
    void (*gtk_window_set_transient_for)(Widget* window, Widget* parent);
    void (*gtk_window_set_default_size)(Widget* window, int width, int height);
    Widget* (*gtk_window_get_focus)(Widget* window);
    void* (*gtk_window_list_toplevels)();
    int (*gtk_window_is_active)(Widget* window);
    void (*gtk_container_add)(Widget* container, Widget* child);
    void (*gtk_container_set_border_width)(Widget* container, unsigned width);
    Widget* (*gtk_box_new)(int orientation, int spacing);
    void (*gtk_box_pack_start)(Widget* box, Widget* child, int expand, int fill, unsigned padding);
    Widget* (*gtk_label_new)(const char* text);
    void (*gtk_widget_show_all)(Widget* widget);
    void (*gtk_widget_set_no_show_all)(Widget* widget, int noShowAll);
    void (*gtk_widget_set_size_request)(Widget* widget, int width, int height);
    void (*gtk_widget_set_valign)(Widget* widget, int align);
    void (*gtk_widget_set_halign)(Widget* widget, int align);
    int (*gtk_widget_is_ancestor)(Widget* widget, Widget* ancestor);
    void (*gtk_widget_grab_focus)(Widget* widget);
    void (*gtk_widget_destroy)(Widget* widget);
};

// Values of GTK's enumerations the dialogs use.
enum : int {
    kResponseOk = -5,
    kResponseCancel = -6,
    kResponseYes = -8,
    kOrientationHorizontal = 0,
    kOrientationVertical = 1,
    kWindowCenter = 1,
    kWindowCenterOnParent = 4,
    kAlignStart = 1,
    kAlignCenter = 3,
    kDialogModal = 1,
    kMessageWarning = 1,
    kMessageQuestion = 2,
    kButtonsOk = 1,
    kButtonsYesNo = 4,
};

// GTK ready for a dialog on the calling thread: loaded, initialised, and
// its main context held by this thread until the session ends (so no other
// thread iterates it meanwhile). Sessions of one thread may nest.
class Session {
public:
    // When GTK cannot be had here, ok() is false and *why says why.
    explicit Session(std::string* why);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool ok() const { return api_ != nullptr; }
    const Api& api() const { return *api_; }
    // Any other function of GTK or its dependencies; nullptr when missing.
    void* symbol(const char* name) const;
    // The host's active window, to keep a dialog above it; nullptr when
    // there is none (as where the library initialised GTK).
    Widget* active_window() const;
    // Destroys a toplevel window and runs the pending events until the
    // display server has removed it.
    void destroy(Widget* window) const;
    // `bytes` as GTK's texts must be: UTF-8, where each byte outside a
    // valid sequence becomes U+FFFD.
    std::string utf8(const std::string& bytes) const;

private:
    const Api* api_ = nullptr;
};

// Binds `fn` to GTK's function `name`; false when GTK lacks it.
template <class F>
bool bind(const Session& session, F*& fn, const char* name) {
    fn = reinterpret_cast<F*>(session.symbol(name));
    return fn != nullptr;
}

}  // namespace kelmo::platform::posix::gtk
