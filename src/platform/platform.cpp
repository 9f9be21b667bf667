#include "platform/platform.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace kelmo::platform {
namespace {
Installed* g_top = nullptr;  // the latest installation still living
std::atomic<NoticeRoute> g_noticeRoute{nullptr};

class OwnedPages final : public PageBuffer {
public:
    OwnedPages(Platform& owner, void* p, std::size_t n) : owner_(owner), p_(p), n_(n) {}
    ~OwnedPages() override { owner_.system.release_pages(p_); }
    void* data() override { return p_; }
    std::size_t size() const override { return n_; }

private:
    Platform& owner_;
    void* p_;
    std::size_t n_;
};
thread_local uint64_t t_callEpoch = 0;
// A plain array: a thread's storage needs no destructor.
thread_local char t_note[768];
std::atomic<uint64_t> g_calls{0};
}  // namespace

uint64_t begin_call() {
    const uint64_t before = t_callEpoch;
    t_callEpoch = g_calls.fetch_add(1, std::memory_order_relaxed) + 1;
    return before;
}
void end_call(uint64_t before) { t_callEpoch = before; }
uint64_t call_epoch() { return t_callEpoch; }

Platform& current() { return g_top ? g_top->platform_ : default_platform(); }

Installed::Installed(Platform& p) : platform_(p), below_(g_top) { g_top = this; }

Installed::~Installed() {
    for (Installed** at = &g_top; *at; at = &(*at)->below_) {
        if (*at == this) {
            *at = below_;
            return;
        }
    }
}

void note_cause(const char* format, ...) {
    if (t_note[0]) return;  // the first note stands
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(t_note, sizeof t_note, format, ap);
    va_end(ap);
}
const char* noted_cause() { return t_note; }
void forget_noted_cause() { t_note[0] = '\0'; }

std::string no_memory_text(std::size_t bytes) {
    char text[200];
    std::snprintf(text, sizeof text, "the system did not give the %.1f MiB of memory the samples need; ask for fewer "
                  "samples or channels, or close other programs", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

void* take_pages(std::size_t bytes) {
    void* p = current().system.alloc_pages(bytes);
    if (!p) note_cause("%s", no_memory_text(bytes).c_str());
    return p;
}

PageBufferPtr make_page_buffer(std::size_t bytes) {
    Platform& owner = current();
    void* p = take_pages(bytes);
    if (!p) return nullptr;
    return std::make_unique<OwnedPages>(owner, p, bytes);
}

void set_notice_route(NoticeRoute route) { g_noticeRoute = route; }

void notice(const std::string& line) {
    if (const NoticeRoute route = g_noticeRoute) {
        route(line.c_str());
        return;
    }
    current().messages.console(line.c_str(), std::string());
}

}  // namespace kelmo::platform
