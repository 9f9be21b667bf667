// The mixer through winmm. Change notifications arrive as window messages
// at a hidden window of the opening thread.
#include <windows.h>

#include <mmsystem.h>

#include <memory>
#include <vector>

#include "platform/win32/win32.h"

namespace kelmo::platform::win32 {
namespace {

constexpr const char* kWindowClass = "Input Volume Msg Wnd Class";
constexpr const char* kWindowName = "Input Volume Msg Wnd";

LRESULT CALLBACK notification_proc(HWND w, UINT message, WPARAM wp, LPARAM lp) {
    if (message == MM_MIXM_CONTROL_CHANGE) {
        if (auto* notify = reinterpret_cast<MixerNotify*>(::GetWindowLongPtrA(w, GWLP_USERDATA)); notify && *notify)
            (*notify)(static_cast<uint32_t>(lp));
    }
    return ::DefWindowProcA(w, message, wp, lp);
}

HWND notification_window() {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = notification_proc;
    wc.hInstance = this_module();
    wc.lpszClassName = kWindowClass;
    ::RegisterClassExA(&wc);  // already registered: the same class serves
    HWND w = ::CreateWindowExA(0, kWindowClass, kWindowName, WS_POPUP | WS_DISABLED, 0, 0, 0, 0, nullptr, nullptr,
                               wc.hInstance, nullptr);
    if (w) ::ShowWindow(w, SW_HIDE);
    return w;
}

MIXERLINEA empty_line() {
    MIXERLINEA l{};
    l.cbStruct = sizeof l;
    return l;
}

void copy_line(const MIXERLINEA& l, MixerLine* out) {
    *out = MixerLine{l.dwDestination, l.dwSource, l.dwLineID, l.dwComponentType, l.cChannels, l.cConnections, l.cControls};
}

void copy_control(const MIXERCONTROLA& c, MixerControl* out) {
    *out = MixerControl{c.dwControlID, c.dwControlType,       c.fdwControl,   c.cMultipleItems,
                        c.Bounds.dwMinimum, c.Bounds.dwMaximum, c.Metrics.cSteps};
}

class Win32Mixer final : public Mixer {
public:
    Win32Mixer(HMIXER h, HWND window, std::unique_ptr<MixerNotify> notify)
        : h_(h), window_(window), notify_(std::move(notify)) {}
    ~Win32Mixer() override { close(); }

    uint32_t line_by_component(uint32_t componentType, MixerLine* line) override {
        MIXERLINEA l = empty_line();
        l.dwComponentType = componentType;
        const MMRESULT r = ::mixerGetLineInfoA(object(), &l, MIXER_GETLINEINFOF_COMPONENTTYPE);
        if (r == MMSYSERR_NOERROR) copy_line(l, line);
        return r;
    }
    uint32_t line_by_source(uint32_t destination, uint32_t source, MixerLine* line) override {
        MIXERLINEA l = empty_line();
        l.dwDestination = destination;
        l.dwSource = source;
        const MMRESULT r = ::mixerGetLineInfoA(object(), &l, MIXER_GETLINEINFOF_SOURCE);
        if (r == MMSYSERR_NOERROR) copy_line(l, line);
        return r;
    }
    uint32_t control_by_type(uint32_t lineId, uint32_t type, MixerControl* control) override {
        MIXERCONTROLA c{};
        c.cbStruct = sizeof c;
        MIXERLINECONTROLSA lc{};
        lc.cbStruct = sizeof lc;
        lc.dwLineID = lineId;
        lc.dwControlType = type;
        lc.cControls = 1;
        lc.cbmxctrl = sizeof c;
        lc.pamxctrl = &c;
        const MMRESULT r = ::mixerGetLineControlsA(object(), &lc, MIXER_GETLINECONTROLSF_ONEBYTYPE);
        if (r == MMSYSERR_NOERROR) copy_control(c, control);
        return r;
    }
    uint32_t controls(uint32_t lineId, std::vector<MixerControl>* out) override {
        out->clear();
        MIXERLINEA l = empty_line();
        l.dwLineID = lineId;
        if (const MMRESULT r = ::mixerGetLineInfoA(object(), &l, MIXER_GETLINEINFOF_LINEID)) return r;
        if (l.cControls == 0) return MMSYSERR_NOERROR;
        std::vector<MIXERCONTROLA> all(l.cControls);
        for (auto& c : all) c.cbStruct = sizeof c;
        MIXERLINECONTROLSA lc{};
        lc.cbStruct = sizeof lc;
        lc.dwLineID = lineId;
        lc.cControls = l.cControls;
        lc.cbmxctrl = sizeof(MIXERCONTROLA);
        lc.pamxctrl = all.data();
        const MMRESULT r = ::mixerGetLineControlsA(object(), &lc, MIXER_GETLINECONTROLSF_ALL);
        if (r != MMSYSERR_NOERROR) return r;
        out->resize(all.size());
        for (std::size_t i = 0; i < all.size(); ++i) copy_control(all[i], &(*out)[i]);
        return r;
    }
    uint32_t get_details(uint32_t controlId, uint32_t channels, uint32_t items, uint32_t* values) override {
        MIXERCONTROLDETAILS d = details(controlId, channels, items, values);
        return ::mixerGetControlDetailsA(object(), &d, MIXER_GETCONTROLDETAILSF_VALUE);
    }
    uint32_t set_details(uint32_t controlId, uint32_t channels, uint32_t items, const uint32_t* values) override {
        MIXERCONTROLDETAILS d = details(controlId, channels, items, const_cast<uint32_t*>(values));
        return ::mixerSetControlDetails(object(), &d, MIXER_SETCONTROLDETAILSF_VALUE);
    }
    uint32_t close() override {
        if (!h_) return MMSYSERR_INVALHANDLE;
        const MMRESULT r = ::mixerClose(h_);
        h_ = nullptr;
        if (window_) ::DestroyWindow(window_);
        window_ = nullptr;
        return r;
    }

private:
    HMIXEROBJ object() const { return reinterpret_cast<HMIXEROBJ>(h_); }
    static MIXERCONTROLDETAILS details(uint32_t controlId, uint32_t channels, uint32_t items, uint32_t* values) {
        MIXERCONTROLDETAILS d{};
        d.cbStruct = sizeof d;
        d.dwControlID = controlId;
        d.cChannels = channels;
        d.cMultipleItems = items;
        d.cbDetails = sizeof(uint32_t);
        d.paDetails = values;
        return d;
    }

    HMIXER h_;
    HWND window_;
    std::unique_ptr<MixerNotify> notify_;  // the window's, until it is destroyed
};

}  // namespace

HINSTANCE this_module() {
    HMODULE m = nullptr;
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCSTR>(&this_module), &m);
    return m;
}

namespace {
class Win32Mixers final : public Mixers {
public:
    uint32_t mixer_count() override;
    uint32_t mixer_of(WaveIn& device, uint32_t* mixerId) override;
    uint32_t mixer_open(uint32_t id, MixerNotify notify, MixerPtr* out) override;
};
}  // namespace

uint32_t Win32Mixers::mixer_count() { return ::mixerGetNumDevs(); }

uint32_t Win32Mixers::mixer_of(WaveIn& device, uint32_t* mixerId) {
    HWAVEIN in = nullptr;
    if (!wave_in_handle(device, &in)) return MMSYSERR_INVALHANDLE;
    UINT id = 0;
    const MMRESULT r = ::mixerGetID(reinterpret_cast<HMIXEROBJ>(in), &id, MIXER_OBJECTF_HWAVEIN);
    if (r == MMSYSERR_NOERROR) *mixerId = id;
    return r;
}

uint32_t Win32Mixers::mixer_open(uint32_t id, MixerNotify notify, MixerPtr* out) {
    auto heldNotify = std::make_unique<MixerNotify>(std::move(notify));
    HWND window = notification_window();
    if (!window) return MMSYSERR_ERROR;
    ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(heldNotify.get()));
    HMIXER h = nullptr;
    const MMRESULT r = ::mixerOpen(&h, id, reinterpret_cast<DWORD_PTR>(window), 0, CALLBACK_WINDOW);
    if (r != MMSYSERR_NOERROR) {
        ::DestroyWindow(window);
        return r;
    }
    *out = std::make_unique<Win32Mixer>(h, window, std::move(heldNotify));
    return MMSYSERR_NOERROR;
}

Mixers& mixers() {
    static Win32Mixers instance;
    return instance;
}

}  // namespace kelmo::platform::win32
