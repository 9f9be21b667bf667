// The recording-input dialog on Linux, drawn with GTK 3 loaded at run time
// (gtk_loader.h): it runs modally on the calling thread, and where GTK
// cannot be had the caller is told why and nothing is changed.
//
// It has the Windows dialog's controls: a frame "通过" with the radio
// buttons MicroPhone and LineIn; a vertical slider labelled "量程", whose
// top end is the minimum ("小") and bottom end the maximum ("大"); the
// buttons "完成" (Done, also Enter) and "撤消" (Cancel, also Escape and
// closing the window). A GTK radio group always has one button checked, so
// the group has a third button, never shown, that is checked while neither
// input is. The slider steps as a Windows trackbar does: 1 for an arrow
// key, a fifth of its range for Page Up and Page Down.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include "platform/posix/gtk_loader.h"
#include "platform/posix/posix.h"

namespace kelmo::platform::posix {
namespace {

using gtk::Widget;

// "设置声卡采集" — set up the sound card's recording.
constexpr const char* kTitle = "\xE8\xAE\xBE\xE7\xBD\xAE\xE5\xA3\xB0\xE5\x8D\xA1\xE9\x87\x87\xE9\x9B\x86";
// "通过" — through.
constexpr const char* kThrough = "\xE9\x80\x9A\xE8\xBF\x87";
// "小", "大" — small, large.
constexpr const char* kSmall = "\xE5\xB0\x8F";
constexpr const char* kLarge = "\xE5\xA4\xA7";
// "量程" — range.
constexpr const char* kRange = "\xE9\x87\x8F\xE7\xA8\x8B";
// "完成", "撤消" — done, cancel.
constexpr const char* kDone = "\xE5\xAE\x8C\xE6\x88\x90";
constexpr const char* kCancel = "\xE6\x92\xA4\xE6\xB6\x88";

// The functions of this dialog's own controls.
struct Controls {
    Widget* (*gtk_frame_new)(const char* label);
    Widget* (*gtk_radio_button_new_with_label)(void* group, const char* label);
    Widget* (*gtk_radio_button_new_with_label_from_widget)(Widget* member, const char* label);
    int (*gtk_toggle_button_get_active)(Widget* button);
    void (*gtk_toggle_button_set_active)(Widget* button, int active);
    Widget* (*gtk_scale_new_with_range)(int orientation, double minimum, double maximum, double step);
    void (*gtk_scale_set_draw_value)(Widget* scale, int draw);
    void (*gtk_scale_set_digits)(Widget* scale, int digits);
    void (*gtk_range_set_range)(Widget* range, double minimum, double maximum);
    void (*gtk_range_set_increments)(Widget* range, double step, double page);
    void (*gtk_range_set_value)(Widget* range, double value);
    double (*gtk_range_get_value)(Widget* range);
    void (*gtk_box_pack_end)(Widget* box, Widget* child, int expand, int fill, unsigned padding);
};

const char* bind_controls(const gtk::Session& s, Controls& c) {
#define KELMO_GTK_BIND(fn) \
    if (!gtk::bind(s, c.fn, #fn)) return #fn
    KELMO_GTK_BIND(gtk_frame_new);
    KELMO_GTK_BIND(gtk_radio_button_new_with_label);
    KELMO_GTK_BIND(gtk_radio_button_new_with_label_from_widget);
    KELMO_GTK_BIND(gtk_toggle_button_get_active);
    KELMO_GTK_BIND(gtk_toggle_button_set_active);
    KELMO_GTK_BIND(gtk_scale_new_with_range);
    KELMO_GTK_BIND(gtk_scale_set_draw_value);
    KELMO_GTK_BIND(gtk_scale_set_digits);
    KELMO_GTK_BIND(gtk_range_set_range);
    KELMO_GTK_BIND(gtk_range_set_increments);
    KELMO_GTK_BIND(gtk_range_set_value);
    KELMO_GTK_BIND(gtk_range_get_value);
    KELMO_GTK_BIND(gtk_box_pack_end);
#undef KELMO_GTK_BIND
    return nullptr;
}

// What the callbacks of one open dialog share.
struct Dialog {
    const Controls* c = nullptr;
    SoundInputDialogModel* model = nullptr;
    Widget* radios[2] = {};
    Widget* scale = nullptr;
    bool closing = false;  // ended: the model hears of nothing more but Done

    void set_range(double minimum, double maximum) {
        c->gtk_range_set_range(scale, minimum, maximum);
        c->gtk_range_set_increments(scale, 1.0, std::max(1.0, std::floor((maximum - minimum) / 5.0)));
    }

    // The slider as the model has it for the input `radio`. No exception
    // of the model's reaches GTK: one counts as a refusal.
    void refresh(int radio) {
        uint32_t minimum = 0, maximum = 0, position = 0;
        bool got = false;
        try {
            got = model->refresh(radio, &minimum, &maximum, &position);
        } catch (...) {
            got = false;
        }
        if (!got) return;
        set_range(minimum, maximum < minimum ? minimum : maximum);
        c->gtk_range_set_value(scale, position);
    }

    // The checked input: 0, 1, or `none` when neither is.
    int radio(int none) const {
        for (int i = 0; i < 2; ++i)
            if (c->gtk_toggle_button_get_active(radios[i])) return i;
        return none;
    }

    uint32_t position() const {
        const double v = std::round(c->gtk_range_get_value(scale));
        if (!(v > 0)) return 0;
        return v >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
    }
};

// "toggled" of both radio buttons: the one that became checked counts.
void on_toggled(Widget* button, void* data) {
    auto& d = *static_cast<Dialog*>(data);
    if (d.closing || !d.c->gtk_toggle_button_get_active(button)) return;
    d.refresh(button == d.radios[0] ? 0 : 1);
}

Widget* label(const gtk::Api& a, const char* text) {
    Widget* l = a.gtk_label_new(text);
    a.gtk_widget_set_valign(l, gtk::kAlignCenter);
    return l;
}

int show(SoundInputDialogModel& model, std::string* why) {
    gtk::Session session(why);
    if (!session.ok()) return 0;
    Controls c{};
    if (const char* missing = bind_controls(session, c)) {
        *why = std::string("the GTK 3 installed has no ") + missing;
        return 0;
    }
    const gtk::Api& a = session.api();
    int opening = -1;  // neither, should the model fail to say
    try {
        opening = model.radio();
    } catch (...) {
    }

    Widget* window = a.gtk_dialog_new();
    a.g_object_ref(window);  // still ours if something destroys it while it runs
    a.gtk_window_set_title(window, kTitle);
    a.gtk_window_set_resizable(window, 0);
    if (Widget* parent = session.active_window()) a.gtk_window_set_transient_for(window, parent);
    else a.gtk_window_set_position(window, gtk::kWindowCenter);

    Dialog d;
    d.c = &c;
    d.model = &model;

    Widget* row = a.gtk_box_new(gtk::kOrientationHorizontal, 12);
    a.gtk_container_set_border_width(row, 12);
    Widget* frame = c.gtk_frame_new(kThrough);
    Widget* inputs = a.gtk_box_new(gtk::kOrientationVertical, 6);
    a.gtk_container_set_border_width(inputs, 8);
    d.radios[0] = c.gtk_radio_button_new_with_label(nullptr, "MicroPhone");
    d.radios[1] = c.gtk_radio_button_new_with_label_from_widget(d.radios[0], "LineIn");
    Widget* neither = c.gtk_radio_button_new_with_label_from_widget(d.radios[0], "");
    a.gtk_widget_set_no_show_all(neither, 1);
    for (Widget* w : {d.radios[0], d.radios[1], neither}) a.gtk_box_pack_start(inputs, w, 0, 0, 0);
    a.gtk_container_add(frame, inputs);
    a.gtk_box_pack_start(row, frame, 0, 1, 0);

    // As on Windows: "量程", the slider, and beside its ends "小" and "大".
    a.gtk_box_pack_start(row, label(a, kRange), 0, 0, 0);
    d.scale = c.gtk_scale_new_with_range(gtk::kOrientationVertical, 1.0, 65535.0, 1.0);
    c.gtk_scale_set_draw_value(d.scale, 0);
    c.gtk_scale_set_digits(d.scale, 0);
    a.gtk_widget_set_size_request(d.scale, -1, 140);
    a.gtk_box_pack_start(row, d.scale, 0, 1, 0);
    Widget* ends = a.gtk_box_new(gtk::kOrientationVertical, 0);
    a.gtk_box_pack_start(ends, a.gtk_label_new(kSmall), 0, 0, 0);
    c.gtk_box_pack_end(ends, a.gtk_label_new(kLarge), 0, 0, 0);
    a.gtk_box_pack_start(row, ends, 0, 1, 0);
    a.gtk_box_pack_start(a.gtk_dialog_get_content_area(window), row, 1, 1, 0);
    a.gtk_widget_show_all(row);

    a.gtk_dialog_add_button(window, kDone, gtk::kResponseOk);
    a.gtk_dialog_add_button(window, kCancel, gtk::kResponseCancel);
    a.gtk_dialog_set_default_response(window, gtk::kResponseOk);

    // Checked before the buttons are watched: the opening refresh is the
    // one below.
    Widget* checked = opening == 0 ? d.radios[0] : opening == 1 ? d.radios[1] : neither;
    c.gtk_toggle_button_set_active(checked, 1);
    for (Widget* r : d.radios)
        a.g_signal_connect_data(r, "toggled", reinterpret_cast<gtk::Callback>(&on_toggled), &d, nullptr, 0);
    d.set_range(1.0, 65535.0);
    d.refresh(opening);
    a.gtk_widget_grab_focus(checked == neither ? d.radios[0] : checked);

    const bool done = a.gtk_dialog_run(window) == gtk::kResponseOk;
    d.closing = true;
    const int radio = done ? d.radio(opening) : opening;
    const uint32_t position = done ? d.position() : 0;
    session.destroy(window);
    a.g_object_unref(window);
    if (!done) return 2;
    try {
        model.done(radio, position);
    } catch (...) {
        // The dialog ended with Done all the same.
    }
    return 1;
}

}  // namespace

namespace {
class PosixSoundDialog final : public SoundDialog {
public:
    int sound_input_dialog(SoundInputDialogModel& model, std::string* why) override;
};
}  // namespace

int PosixSoundDialog::sound_input_dialog(SoundInputDialogModel& model, std::string* why) {
    std::string unwanted;
    if (!why) why = &unwanted;
    try {
        return show(model, why);
    } catch (...) {
        *why = "the dialog failed";
        return 0;
    }
}

SoundDialog& sound_dialog() {
    static PosixSoundDialog instance;
    return instance;
}

}  // namespace kelmo::platform::posix
