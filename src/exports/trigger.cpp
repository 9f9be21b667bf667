// TriMulChSam, TriMulChSamEx: wait for a trigger on one channel of a
// continuous acquisition, then deliver len samples per channel starting
// `pre` samples before it. InterruptTrigSample ends the wait from outside.
#include "core/card_types.h"
#include "core/share_block.h"
#include "exports/guard.h"
#include "kelmo.h"
#include "sources/trigger.h"

using namespace kelmo;

namespace {

constexpr const char* kTriggerName = "ZebTrigShareMem";
constexpr std::size_t kTriggerBytes = 1024;

enum Result { kTriggered = 0, kInterrupted = 1, kFailed = 2, kFailedBox = 3, kNoFlag = 4 };

bool interrupted(platform::SharedMemory& m) {
    return __atomic_load_n(static_cast<uint16_t*>(m.data()), __ATOMIC_ACQUIRE) != 0;
}

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

    const TriggerRequest request{.type = u.type,
                                 .card = card,
                                 .freqCode = a.freqCode,
                                 .gain = a.gain,
                                 .span = ChannelSpan{0, single ? -a.trigChannel : a.nch},
                                 .channels = a.nch,
                                 .region = region,
                                 .len = a.len,
                                 .pre = pre,
                                 .slope = slope,
                                 .level = a.level,
                                 .ex = a.ex,
                                 .chGains = a.chGains,
                                 .firstChannel = a.firstChannel ? *a.firstChannel : 0,
                                 .interrupted = [&] { return interrupted(*flag); },
                                 .transfer = static_cast<double*>(buffer->data()),
                                 .out = a.out};
    int result = kFailed;
    {
        ContinuousSession session(u.type);
        result = outcome(run_trigger(request, session));
        flag.reset();
    }  // (the acquisition is recovered once the flag is gone)
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
