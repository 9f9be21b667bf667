// The triggered acquisition: a continuous acquisition watched on one
// channel until a condition holds, then `len` samples per channel from
// `pre` samples before the sample that met it. A card with trigger
// hardware waits in its source; every other is searched here, block by
// block, behind a ring of the `pre` samples before each block.
#pragma once

#include <cstdint>
#include <functional>

#include "core/card_types.h"
#include "sources/continuous.h"
#include "sources/frame.h"
#include "sources/source.h"

namespace kelmo {

// Samples per channel of one searched block, and doubles per channel of
// the transfer buffer (the `pre` samples before a block, then the block).
inline constexpr int kTriggerBlock = 1024;
inline constexpr int kTriggerRegion = 2048;

struct TriggerRequest {
    int32_t type;  // effective card type
    cards::CardType card;
    int32_t freqCode, gain;
    ChannelSpan span;  // what is acquired (a count of -k: channel k alone)
    int32_t channels;  // rows of the output
    int32_t region;    // the row searched
    int32_t len, pre, slope;  // slope 0: |x| above |level|; 1 rising through it; 2 falling
    double level;
    // The Ex variant's per-channel gains and first channel (gains null: the
    // plain start); the Ex variant alone may use trigger hardware.
    bool ex;
    const double* chGains;
    int32_t firstChannel;
    std::function<bool()> interrupted;  // InterruptTrigSample was called
    double* transfer;  // channels x kTriggerRegion doubles at least (49152 bytes a channel)
    double* out;       // channels x len
};

// Triggered: out holds the samples, the one that met the condition at
// index pre. Interrupted: each channel's newest block (as far as len
// reaches) and zeros, or, once triggered, the samples fetched and zeros.
// Failed: the reason is recorded. The session is started here; its owner
// recovers it.
TriggerOutcome run_trigger(const TriggerRequest& request, ContinuousSession& session);

}  // namespace kelmo
