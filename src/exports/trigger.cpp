// TriMulChSam, TriMulChSamEx: wait for a trigger on one channel of a
// continuous acquisition, then deliver len samples per channel starting
// `pre` samples before it. InterruptTrigSample ends the wait from outside.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/card_types.h"
#include "core/messages.h"
#include "core/share_block.h"
#include "exports/continuous.h"
#include "exports/guard.h"
#include "kelmo.h"
#include "sources/source.h"

using namespace kelmo;

namespace {

constexpr const char* kTriggerName = "ZebTrigShareMem";
constexpr std::size_t kTriggerBytes = 1024;
constexpr int kBlock = 1024;
constexpr int kRegion = 2048;  // doubles per channel in the transfer buffer

enum Result { kTriggered = 0, kInterrupted = 1, kFailed = 2, kFailedBox = 3, kNoFlag = 4 };

bool interrupted(platform::SharedMemory& m) {
    return __atomic_load_n(static_cast<uint16_t*>(m.data()), __ATOMIC_ACQUIRE) != 0;
}

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

struct Args {
    int mode, trigChannel;
    double level;
    int cardType, freqCode, len, gain, nch;
    double* out;
    const double* chGains;
    const int* firstChannel;
    bool ex;
};

int outcome(TriggerOutcome o) {
    switch (o) {
        case TriggerOutcome::Triggered: return kTriggered;
        case TriggerOutcome::Interrupted: return kInterrupted;
        case TriggerOutcome::Failed: break;
    }
    return kFailed;
}

int run(const Args& a) {
    const UnitCode u = unit_code(a.cardType);
    const cards::CardType card = cards::card_type(u.type);
    const int refused = card.boxTrigger ? kFailedBox : kFailed;
    const int pre = a.mode % 1024, slope = a.mode / 1024;
    if (!require(a.mode >= 0, "the mode %d is negative; give the pre-trigger samples plus 1024 times the slope",
                 a.mode) ||
        !require(a.len >= 0, "the length %d is negative; give the samples per channel, 0 or more", a.len) ||
        !require(a.nch > 0, "%d channels were asked for; give at least one", a.nch) ||
        !require(a.out || a.len == 0, "the sample buffer is a null pointer; pass a buffer of len x channels (%lld) "
                                      "doubles", static_cast<long long>(a.len) * a.nch))
        return kFailed;
    // A slope without a condition would wait for the interrupt alone.
    if (!require(slope <= 2, "the mode %d asks for slope %d, which never fires; give the pre-trigger samples plus "
                             "1024 times the slope: 0 (level), 1 (rising) or 2 (falling)", a.mode, slope))
        return refused;
    // The region searched: the trigger channel's, or region 0 when a single
    // channel k > 0 is acquired on its own.
    const bool single = a.nch == 1 && a.trigChannel > 0;
    const int region = single ? 0 : a.trigChannel;
    if (!require(region >= 0 && region < a.nch, "the trigger channel %d is not one of the %d channels acquired",
                 a.trigChannel, a.nch))
        return kFailed;

    auto flag = platform::current().shm.shm_create_or_open(kTriggerName, kTriggerBytes, nullptr);
    if (!flag) {
        shared_memory_refused(kTriggerName);
        return kNoFlag;
    }
    __atomic_store_n(static_cast<uint16_t*>(flag->data()), uint16_t{0}, __ATOMIC_RELEASE);

    if (static_cast<uint64_t>(a.nch) * 49152u > (uint64_t{1} << 40)) {
        because("%d channels are more than one process can search", a.nch);
        return kFailed;
    }
    auto buffer = platform::make_page_buffer(static_cast<std::size_t>(a.nch) * 49152u);
    if (!buffer) return kFailed;
    double* regions = static_cast<double*>(buffer->data());

    uint32_t handle = 0;
    int result = kFailed;
    const ChannelSpan span{0, single ? -a.trigChannel : a.nch};
    const bool hardware = a.ex && a.nch == 1 && card.hardwareTrigger;
    if (hardware) {
        const HardwareTrigger h{u.type, a.freqCode, a.gain, span, a.len, pre, slope, a.level,
                                [&] { return interrupted(*flag); }, regions, a.out, &handle};
        result = outcome(source_for(card).hardware_trigger(h));
    }
    auto start = [&] {
        if (a.ex && a.chGains)
            return start_continuous(&handle, u.type, a.freqCode, a.gain,
                                    {a.firstChannel ? *a.firstChannel : 0, span.count}, kBlock, a.chGains, true);
        return start_continuous(&handle, u.type, a.freqCode, a.gain, span, kBlock, nullptr, false);
    };
    const bool started = !hardware && start() != 0;
    if (started) {
        for (int c = 0; c < a.nch; ++c) std::fill_n(regions + std::size_t(c) * kRegion, pre, 0.0);
        Condition hit(slope, a.level);
        int status = 0;
        for (;;) {
            if (!fetch_continuous(&handle, u.type, kBlock, a.nch, regions, kRegion, pre, &status, false)) break;
            const double* searched = regions + std::size_t(region) * kRegion;
            int at = -1;
            for (int i = 0; i < kBlock; ++i)
                if (hit(searched[pre + i])) {
                    at = i;
                    break;
                }
            if (at < 0) {
                dispatch_messages();
                if (interrupted(*flag)) {
                    // Each channel gets the newest block (as far as len
                    // reaches), then zeros: nothing that does not belong to it.
                    const int m = std::min(kBlock, a.len);
                    for (int c = 0; c < a.nch; ++c) {
                        double* o = a.out + std::size_t(c) * a.len;
                        std::copy_n(regions + std::size_t(c) * kRegion + pre, m, o);
                        std::fill(o + m, o + a.len, 0.0);
                    }
                    result = kInterrupted;
                    break;
                }
                for (int c = 0; c < a.nch; ++c) {
                    double* r = regions + std::size_t(c) * kRegion;
                    std::memmove(r, r + kBlock, sizeof(double) * pre);
                }
                continue;
            }
            // Triggered: the triggering sample lands at output index pre.
            const int m = std::min(pre + kBlock - at, a.len);
            for (int c = 0; c < a.nch; ++c)
                std::copy_n(regions + std::size_t(c) * kRegion + at, m, a.out + std::size_t(c) * a.len);
            result = kTriggered;
            // The rest, a block at a time; an interrupt ends the call
            // between any two of them, the samples not yet fetched zeros.
            const bool anyLength = source_for(card).fetches_any_length();
            for (int pos = m; pos < a.len;) {
                dispatch_messages();
                if (interrupted(*flag)) {
                    for (int c = 0; c < a.nch; ++c)
                        std::fill(a.out + std::size_t(c) * a.len + pos, a.out + std::size_t(c + 1) * a.len, 0.0);
                    result = kInterrupted;
                    break;
                }
                const int n = std::min(kBlock, a.len - pos);
                if (anyLength || n == kBlock) {
                    if (!fetch_continuous(&handle, u.type, n, a.nch, a.out, a.len, pos, &status, false)) {
                        result = kFailed;
                        break;
                    }
                } else {
                    if (!fetch_continuous(&handle, u.type, kBlock, a.nch, regions, kBlock, 0, &status, false)) {
                        result = kFailed;
                        break;
                    }
                    for (int c = 0; c < a.nch; ++c)
                        std::copy_n(regions + std::size_t(c) * kBlock, n, a.out + std::size_t(c) * a.len + pos);
                }
                pos += n;
            }
            break;
        }
    }
    flag.reset();
    recover_acquisition(&handle, u.type);
    if (result == kFailed) result = refused;
    return result;
}

// Triggered and interrupted are the results a host asked for.
bool failed_result(int r) { return r != kTriggered && r != kInterrupted; }

}  // namespace

extern "C" {

KELMO_API int KELMO_CALL TriMulChSam(int mode, int trigChannel, double level, int cardType, int freqCode, int len,
                                     int gain, int nch, double* out) {
    return guarded_by("TriMulChSam", static_cast<int>(kFailed), failed_result, [&] {
        return run({mode, trigChannel, level, cardType, freqCode, len, gain, nch, out, nullptr, nullptr, false});
    });
}

KELMO_API int KELMO_CALL TriMulChSamEx(int mode, int trigChannel, double level, int cardType, int freqCode, int len,
                                       int gain, int nch, double* out, const double* chGains,
                                       const int* firstChannel) {
    return guarded_by("TriMulChSamEx", static_cast<int>(kFailed), failed_result, [&] {
        return run({mode, trigChannel, level, cardType, freqCode, len, gain, nch, out, chGains, firstChannel, true});
    });
}

KELMO_API int KELMO_CALL InterruptTrigSample(void) {
    return guarded("InterruptTrigSample", 0, [] {
        auto flag = platform::current().shm.shm_open_existing(kTriggerName, kTriggerBytes, platform::Access::ReadWrite);
        if (!flag) {
            because("no triggered acquisition is waiting (the shared memory %s does not exist)", kTriggerName);
            return 0;
        }
        __atomic_store_n(static_cast<uint16_t*>(flag->data()), uint16_t{1}, __ATOMIC_RELEASE);
        return 1;
    });
}

}  // extern "C"
