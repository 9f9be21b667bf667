// The folder chooser on Linux, drawn with GTK 3 loaded at run time
// (gtk_loader.h): modal on the calling thread; where GTK cannot be had the
// caller is told why.
//
// The window is a GtkDialog holding, from the top: the prompt, an entry
// for the path and GTK's file chooser in folder mode (the widget a
// GtkFileChooserDialog is made of; that dialog itself is not used because
// it reviews its OK against its own location bar and moves the focus when
// it appears, which the entry could not be kept in step with). Like the
// Windows browser's edit box, the entry starts with the start folder and
// follows the selection; OK (also Enter in the entry) can be pressed
// while it is not empty, and offers its text to the model, which keeps
// the window open when it refuses. "/" and Ctrl+L in the chooser take the
// typing to the entry, where GTK's file chooser would open its own
// location bar. Cancel, Escape and closing the window end it.
//
// The host's window ("parent") is not used: a window of another toolkit
// cannot be a GTK window's parent. The chooser stays above the host's
// active GTK window where the host uses GTK 3 itself.
//
// The boxes the model shows while the chooser is open are message dialogs
// over it; without a chooser they appear wherever GTK can be used on the
// calling thread, and where it cannot their text goes to the console.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/posix/gtk_loader.h"
#include "platform/posix/posix.h"

namespace kelmo::platform::posix {
namespace {

using gtk::Widget;

constexpr std::size_t kPathBytes = 259;  // the host's buffer holds 260, the NUL included
constexpr const char* kBoxTitle = "kelmo";
constexpr const char* kFileChooserSchema = "org.gtk.Settings.FileChooser";

// GTK's values the chooser uses beside gtk_loader's.
constexpr int kActionSelectFolder = 2;
constexpr unsigned kKeySlash = 0x2F, kKeyKeypadDivide = 0xFFAF, kKeyL = 0x4C, kKeyLowerL = 0x6C;
constexpr unsigned kControlMask = 1u << 2, kOtherModifiers = (1u << 3) | (1u << 26) | (1u << 27) | (1u << 28);

// The open chooser of this thread: the boxes' parent.
thread_local Widget* tOpenChooser = nullptr;

// The functions of the chooser's own controls.
struct Controls {
    Widget* (*gtk_file_chooser_widget_new)(int action);
    void (*gtk_file_chooser_set_local_only)(Widget* chooser, int localOnly);
    int (*gtk_file_chooser_set_current_folder)(Widget* chooser, const char* folder);
    char* (*gtk_file_chooser_get_filename)(Widget* chooser);
    Widget* (*gtk_entry_new)();
    const char* (*gtk_entry_get_text)(Widget* entry);
    void (*gtk_entry_set_text)(Widget* entry, const char* text);
    void (*gtk_entry_set_activates_default)(Widget* entry, int activates);
    unsigned long (*gtk_entry_get_type)();
    int (*g_type_check_instance_is_a)(void* instance, unsigned long type);
    int (*gdk_event_get_keyval)(const void* event, unsigned* keyval);
    int (*gdk_event_get_state)(const void* event, unsigned* state);
    void* (*g_file_new_for_path)(const char* path);
    char* (*g_file_get_path)(void* file);
    void* (*g_settings_schema_source_get_default)();
    void* (*g_settings_schema_source_lookup)(void* source, const char* id, int recursive);
    void (*g_settings_schema_unref)(void* schema);
};

const char* bind_controls(const gtk::Session& s, Controls& c) {
#define KELMO_GTK_BIND(fn) \
    if (!gtk::bind(s, c.fn, #fn)) return #fn
    KELMO_GTK_BIND(gtk_file_chooser_widget_new);
    KELMO_GTK_BIND(gtk_file_chooser_set_local_only);
    KELMO_GTK_BIND(gtk_file_chooser_set_current_folder);
    KELMO_GTK_BIND(gtk_file_chooser_get_filename);
    KELMO_GTK_BIND(gtk_entry_new);
    KELMO_GTK_BIND(gtk_entry_get_text);
    KELMO_GTK_BIND(gtk_entry_set_text);
    KELMO_GTK_BIND(gtk_entry_set_activates_default);
    KELMO_GTK_BIND(gtk_entry_get_type);
    KELMO_GTK_BIND(g_type_check_instance_is_a);
    KELMO_GTK_BIND(gdk_event_get_keyval);
    KELMO_GTK_BIND(gdk_event_get_state);
    KELMO_GTK_BIND(g_file_new_for_path);
    KELMO_GTK_BIND(g_file_get_path);
    KELMO_GTK_BIND(g_settings_schema_source_get_default);
    KELMO_GTK_BIND(g_settings_schema_source_lookup);
    KELMO_GTK_BIND(g_settings_schema_unref);
#undef KELMO_GTK_BIND
    return nullptr;
}

// GTK's file chooser ends the process where its settings schema is missing.
bool schema_installed(const Controls& c) {
    void* source = c.g_settings_schema_source_get_default();
    void* schema = source ? c.g_settings_schema_source_lookup(source, kFileChooserSchema, 1) : nullptr;
    if (schema) c.g_settings_schema_unref(schema);
    return schema != nullptr;
}

bool is_folder(const std::string& path) {
    struct stat st{};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string current_directory() {
    char buf[PATH_MAX];
    return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string("/");
}

// What the callbacks of one open chooser share. No exception leaves a
// callback; once `closing` is set the model hears of nothing more.
struct Dialog {
    const gtk::Session* session = nullptr;
    const Controls* c = nullptr;
    FolderChooserModel* model = nullptr;
    Widget* window = nullptr;
    Widget* chooser = nullptr;
    Widget* entry = nullptr;
    std::string followed;  // the selection the entry last followed
    bool closing = false;
    bool destroyed = false;

    const gtk::Api& api() const { return session->api(); }

    // GTK's name for a path, as its selection reports it.
    std::string canonical(const std::string& path) const {
        void* file = c->g_file_new_for_path(path.c_str());
        char* name = file ? c->g_file_get_path(file) : nullptr;
        std::string r = name ? name : path;
        api().g_free(name);
        if (file) api().g_object_unref(file);
        return r;
    }

    // The selected folder (the chooser's current folder while nothing is
    // selected); empty where it is not a local path.
    std::string selected() const {
        char* name = c->gtk_file_chooser_get_filename(chooser);
        std::string r = name ? name : "";
        api().g_free(name);
        return r;
    }

    std::string text() const {
        const char* t = c->gtk_entry_get_text(entry);
        return t ? t : "";
    }

    void follow_selection() {
        std::string path = selected();
        if (path.empty() || path == followed) return;
        followed = path;
        bool offered = false;
        try {
            offered = model->selectable(path);
        } catch (...) {
        }
        c->gtk_entry_set_text(entry, offered ? session->utf8(path).c_str() : "");
    }
};

// "selection-changed" of the chooser. The chooser reports its opening
// folder some time after it appears; the entry already holds it then, and
// may hold what the user typed since.
void on_selection_changed(Widget*, void* data) {
    auto& d = *static_cast<Dialog*>(data);
    if (d.closing) return;
    try {
        d.follow_selection();
    } catch (...) {
    }
}

// "changed" of the entry: OK only with a path to offer.
void on_entry_changed(Widget* entry, void* data) {
    auto& d = *static_cast<Dialog*>(data);
    if (d.closing) return;
    const char* t = d.c->gtk_entry_get_text(entry);
    d.api().gtk_dialog_set_response_sensitive(d.window, gtk::kResponseOk, t && *t);
}

// "key-press-event" of the window, before the focused control sees it.
int on_key_press(Widget* window, void* event, void* data) {
    auto& d = *static_cast<Dialog*>(data);
    if (d.closing) return 0;
    const gtk::Api& a = d.api();
    Widget* focus = a.gtk_window_get_focus(window);
    if (!focus || focus == d.entry || !a.gtk_widget_is_ancestor(focus, d.chooser)) return 0;
    unsigned key = 0, state = 0;
    if (!d.c->gdk_event_get_keyval(event, &key) || !d.c->gdk_event_get_state(event, &state)) return 0;
    const unsigned modifiers = state & (kControlMask | kOtherModifiers);
    if ((key == kKeyL || key == kKeyLowerL) && modifiers == kControlMask) {
        a.gtk_widget_grab_focus(d.entry);
        return 1;
    }
    // A "/" typed into GTK's location bar or search field stays there;
    // elsewhere it starts a new path in the entry (the entry selects its
    // text on taking the focus, and the key then goes to it).
    const bool typing = d.c->g_type_check_instance_is_a(focus, d.c->gtk_entry_get_type());
    if ((key == kKeySlash || key == kKeyKeypadDivide) && modifiers == 0 && !typing) a.gtk_widget_grab_focus(d.entry);
    return 0;
}

void on_destroy(Widget*, void* data) { static_cast<Dialog*>(data)->destroyed = true; }

// The open window: on leaving, however that happens, the callbacks are cut
// off and the window is destroyed.
class Shown {
public:
    Shown(const gtk::Session& session, Dialog& d) : session_(session), d_(d), outer_(tOpenChooser) {
        tOpenChooser = d.window;
    }
    ~Shown() {
        d_.closing = true;
        tOpenChooser = outer_;
        const gtk::Api& a = session_.api();
        // A destroyed window has lost its handlers, and its controls are gone.
        if (!d_.destroyed) {
            for (int i = 0; i < count_; ++i) a.g_signal_handler_disconnect(handlers_[i].first, handlers_[i].second);
            session_.destroy(d_.window);
        }
        a.g_object_unref(d_.window);
    }
    Shown(const Shown&) = delete;
    Shown& operator=(const Shown&) = delete;

    template <class F>
    void connect(Widget* instance, const char* signal, F* handler) {
        const unsigned long id = session_.api().g_signal_connect_data(
            instance, signal, reinterpret_cast<gtk::Callback>(handler), &d_, nullptr, 0);
        if (id && count_ < kHandlers) handlers_[count_++] = {instance, id};
    }

private:
    const gtk::Session& session_;
    Dialog& d_;
    Widget* outer_;
    static constexpr int kHandlers = 8;
    std::pair<Widget*, unsigned long> handlers_[kHandlers] = {};
    int count_ = 0;
};

int show(FolderChooserModel& model, std::string* why) {
    gtk::Session session(why);
    if (!session.ok()) return 0;
    Controls c{};
    if (const char* missing = bind_controls(session, c)) {
        *why = std::string("the GTK 3 installed has no ") + missing;
        return 0;
    }
    if (!schema_installed(c)) {
        *why = std::string("GTK 3's file chooser lacks its settings schema ") + kFileChooserSchema;
        return 0;
    }
    const gtk::Api& a = session.api();
    const char* caption = model.title();
    const char* prompt = model.prompt();
    const std::string title = session.utf8(gbk_to_utf8(caption ? caption : ""));
    const std::string instruction = session.utf8(gbk_to_utf8(prompt ? prompt : ""));
    std::string start = model.start_path();
    if (start.empty()) start = current_directory();
    // A start folder that is missing still stands in the entry; the
    // chooser, which cannot show it, shows the current directory.
    const std::string shownFolder = is_folder(start) ? start : current_directory();

    Dialog d;
    d.session = &session;
    d.c = &c;
    d.model = &model;
    d.window = a.gtk_dialog_new();
    a.g_object_ref(d.window);  // still ours if something destroys it while it runs
    Shown shown(session, d);
    shown.connect(d.window, "destroy", &on_destroy);

    a.gtk_window_set_title(d.window, title.c_str());
    a.gtk_window_set_default_size(d.window, 640, 480);
    if (Widget* parent = session.active_window()) a.gtk_window_set_transient_for(d.window, parent);
    else a.gtk_window_set_position(d.window, gtk::kWindowCenter);

    Widget* column = a.gtk_box_new(gtk::kOrientationVertical, 6);
    a.gtk_container_set_border_width(column, 8);
    Widget* label = a.gtk_label_new(instruction.c_str());
    a.gtk_widget_set_halign(label, gtk::kAlignStart);
    a.gtk_box_pack_start(column, label, 0, 0, 0);
    d.entry = c.gtk_entry_new();
    c.gtk_entry_set_activates_default(d.entry, 1);
    a.gtk_box_pack_start(column, d.entry, 0, 0, 0);
    d.chooser = c.gtk_file_chooser_widget_new(kActionSelectFolder);
    c.gtk_file_chooser_set_local_only(d.chooser, 1);
    c.gtk_file_chooser_set_current_folder(d.chooser, shownFolder.c_str());
    a.gtk_box_pack_start(column, d.chooser, 1, 1, 0);
    a.gtk_box_pack_start(a.gtk_dialog_get_content_area(d.window), column, 1, 1, 0);
    a.gtk_widget_show_all(column);

    a.gtk_dialog_add_button(d.window, "_Cancel", gtk::kResponseCancel);
    a.gtk_dialog_add_button(d.window, "_OK", gtk::kResponseOk);
    a.gtk_dialog_set_default_response(d.window, gtk::kResponseOk);

    shown.connect(d.entry, "changed", &on_entry_changed);
    c.gtk_entry_set_text(d.entry, session.utf8(start.substr(0, kPathBytes)).c_str());
    a.gtk_dialog_set_response_sensitive(d.window, gtk::kResponseOk, !d.text().empty());
    d.followed = d.canonical(shownFolder);
    shown.connect(d.chooser, "selection-changed", &on_selection_changed);
    shown.connect(d.window, "key-press-event", &on_key_press);
    a.gtk_widget_grab_focus(d.entry);

    for (;;) {
        if (a.gtk_dialog_run(d.window) != gtk::kResponseOk || d.destroyed) return 2;
        std::string path = d.text();
        if (path.empty()) path = d.selected();
        if (path.empty()) continue;
        bool confirmed = false;
        try {
            confirmed = model.confirm(path);
        } catch (...) {
            // Counts as a refusal: the user may try again or cancel.
        }
        if (confirmed) return 1;
        if (d.destroyed) return 2;
    }
}

// A message dialog with `text`: 1 for Yes, 0 for any other answer; -1 when
// none can be shown here, with the reason in *why.
int message(const char* text, bool question, std::string* why) {
    gtk::Session session(why);
    if (!session.ok()) return -1;
    const gtk::Api& a = session.api();
    const std::string shown = session.utf8(text);
    Widget* parent = tOpenChooser ? tOpenChooser : session.active_window();
    Widget* box = a.gtk_message_dialog_new(parent, gtk::kDialogModal,
                                           question ? gtk::kMessageQuestion : gtk::kMessageWarning,
                                           question ? gtk::kButtonsYesNo : gtk::kButtonsOk, "%s", shown.c_str());
    a.g_object_ref(box);
    a.gtk_window_set_title(box, kBoxTitle);
    a.gtk_window_set_position(box, parent ? gtk::kWindowCenterOnParent : gtk::kWindowCenter);
    // As on Windows, the first button (Yes, OK) has the focus.
    const int first = question ? gtk::kResponseYes : gtk::kResponseOk;
    a.gtk_dialog_set_default_response(box, first);
    if (Widget* button = a.gtk_dialog_get_widget_for_response(box, first)) a.gtk_widget_grab_focus(button);
    const int response = a.gtk_dialog_run(box);
    session.destroy(box);
    a.g_object_unref(box);
    return response == gtk::kResponseYes ? 1 : 0;
}

int message_or_failure(const char* text, bool question, std::string* why) {
    try {
        return message(text, question, why);
    } catch (...) {
        *why = "the box failed";
        return -1;
    }
}

}  // namespace

namespace {
class PosixFolderChooser final : public FolderChooser {
public:
    int folder_chooser(FolderChooserModel& model, void* parent, std::string* why) override;
    bool question_box(const char* text) override;
    void warning_box(const char* text) override;
};
}  // namespace

int PosixFolderChooser::folder_chooser(FolderChooserModel& model, void*, std::string* why) {
    std::string unwanted;
    if (!why) why = &unwanted;
    try {
        return show(model, why);
    } catch (...) {
        *why = "the dialog failed";
        return 0;
    }
}

bool PosixFolderChooser::question_box(const char* text) {
    if (!text) text = "";
    std::string why;
    const int answer = message_or_failure(text, true, &why);
    if (answer >= 0) return answer == 1;
    std::fprintf(stderr, "%s (answered No, since no dialog can be shown: %s)\n", text, why.c_str());
    std::fflush(stderr);
    return false;
}

void PosixFolderChooser::warning_box(const char* text) {
    if (!text) text = "";
    std::string why;
    if (message_or_failure(text, false, &why) >= 0) return;
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}

FolderChooser& folder_chooser() {
    static PosixFolderChooser instance;
    return instance;
}

}  // namespace kelmo::platform::posix
