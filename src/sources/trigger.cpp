#include "sources/trigger.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/messages.h"

namespace kelmo {
namespace {

// The trigger condition, sample by sample; rising and falling edges need
// the previous sample, which carries over from block to block.
class Condition {
public:
    Condition(int slope, double level) : slope_(slope), level_(slope == 0 ? std::fabs(level) : level) {}
    bool operator()(double x) {
        bool hit = false;
        switch (slope_) {
            case 0: hit = std::fabs(x) > level_; break;
            case 1: hit = havePrevious_ && x > level_ && previous_ <= level_; break;
            case 2: hit = havePrevious_ && x < level_ && previous_ >= level_; break;
            default: break;  // refused before the acquisition starts
        }
        previous_ = x;
        havePrevious_ = true;
        return hit;
    }

private:
    int slope_;
    double level_;
    double previous_ = 0.0;
    bool havePrevious_ = false;
};

double* row(double* base, int c, int width) { return base + std::size_t(c) * std::size_t(width); }

// Fetches block after block into the transfer buffer behind the ring of
// the `pre` samples before it, until a sample of the searched row meets
// the condition: its index in the block (the ring and the block are then
// the start of the output), or -1 when interrupted (the output holds each
// channel's newest block and zeros), or -2 when a fetch failed.
int search(const TriggerRequest& r, ContinuousSession& session) {
    for (int c = 0; c < r.channels; ++c) std::fill_n(row(r.transfer, c, kTriggerRegion), r.pre, 0.0);
    Condition hit(r.slope, r.level);
    int status = 0;
    for (;;) {
        if (!session.fetch(kTriggerBlock, r.channels, r.transfer, kTriggerRegion, r.pre, &status)) return -2;
        const double* searched = row(r.transfer, r.region, kTriggerRegion) + r.pre;
        for (int i = 0; i < kTriggerBlock; ++i)
            if (hit(searched[i])) return i;
        dispatch_messages();
        if (r.interrupted()) {
            // Nothing that does not belong to a channel: its newest block,
            // as far as len reaches, then zeros.
            const int m = std::min(kTriggerBlock, r.len);
            for (int c = 0; c < r.channels; ++c) {
                double* o = row(r.out, c, r.len);
                std::copy_n(row(r.transfer, c, kTriggerRegion) + r.pre, m, o);
                std::fill(o + m, o + r.len, 0.0);
            }
            return -1;
        }
        for (int c = 0; c < r.channels; ++c) {
            double* ring = row(r.transfer, c, kTriggerRegion);
            std::memmove(ring, ring + kTriggerBlock, sizeof(double) * std::size_t(r.pre));
        }
    }
}

// The output after the samples from the trigger's block, from `pos` on, a
// block at a time; an interrupt ends it between any two of them, the
// samples not yet fetched zeros.
TriggerOutcome fill_up(const TriggerRequest& r, ContinuousSession& session, int pos) {
    const bool anyLength = source_for(r.card).fetches_any_length();
    int status = 0;
    while (pos < r.len) {
        dispatch_messages();
        if (r.interrupted()) {
            for (int c = 0; c < r.channels; ++c) std::fill(row(r.out, c, r.len) + pos, row(r.out, c + 1, r.len), 0.0);
            return TriggerOutcome::Interrupted;
        }
        const int n = std::min(kTriggerBlock, r.len - pos);
        if (anyLength || n == kTriggerBlock) {
            if (!session.fetch(n, r.channels, r.out, r.len, pos, &status)) return TriggerOutcome::Failed;
        } else {
            // A source that delivers whole blocks only: the last one whole,
            // of which the output takes what it needs.
            if (!session.fetch(kTriggerBlock, r.channels, r.transfer, kTriggerBlock, 0, &status))
                return TriggerOutcome::Failed;
            for (int c = 0; c < r.channels; ++c)
                std::copy_n(row(r.transfer, c, kTriggerBlock), n, row(r.out, c, r.len) + pos);
        }
        pos += n;
    }
    return TriggerOutcome::Triggered;
}

}  // namespace

TriggerOutcome run_trigger(const TriggerRequest& r, ContinuousSession& session) {
    if (r.ex && r.channels == 1 && r.card.hardwareTrigger) {
        const HardwareTrigger h{r.type,  r.freqCode, r.gain,      r.span,   r.len,
                                r.pre,   r.slope,    r.level,     r.interrupted, r.transfer,
                                r.out,   session.handle_word()};
        return source_for(r.card).hardware_trigger(h);
    }
    const bool started = r.ex && r.chGains
                             ? session.start(r.freqCode, r.gain, {r.firstChannel, r.span.count}, kTriggerBlock,
                                             r.chGains, true)
                             : session.start(r.freqCode, r.gain, r.span, kTriggerBlock, nullptr, false);
    if (!started) return TriggerOutcome::Failed;
    const int at = search(r, session);
    if (at == -1) return TriggerOutcome::Interrupted;
    if (at < 0) return TriggerOutcome::Failed;
    // Triggered: the triggering sample lands at output index pre.
    const int m = std::min(r.pre + kTriggerBlock - at, r.len);
    for (int c = 0; c < r.channels; ++c) std::copy_n(row(r.transfer, c, kTriggerRegion) + at, m, row(r.out, c, r.len));
    return fill_up(r, session, m);
}

}  // namespace kelmo
