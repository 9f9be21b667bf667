// A source of samples, as the acquisition exports see it.
//
// The exports do what every family shares: they check the arguments, open
// the unit frame, have it size the raw buffer, and map the result. What
// only the source can do it does behind this interface: a block of one
// channel, a block of several, a continuous acquisition (start, fetch,
// stop), the external trigger hardware, the divider for a frequency, the
// presence check, and the run-time parts of its catalogue entry.
// `source_for` is the one place that picks the source of a call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "sources/frame.h"

namespace kelmo {

struct Offer;

// Which of a family's exports a call is: the Ex variants of the block and
// continuous exports, and recover, may have a source of their own
// (CardType::exSource, recoverSource).
enum class Route : uint8_t { Plain, Ex, Recover };

// One block of one channel (the OneChSam family).
struct SingleBlock {
    const UnitFrame& frame;
    uint32_t freqCode;
    uint32_t n;       // samples
    int32_t gain;
    int16_t channel;  // 0-based
    Delivery delivery;
    void* out;
    void* raw;        // the call's raw buffer, sized for the driver's transfer
};

// One block of several channels (the MulChSam family), channel-major.
struct MultiBlock {
    enum class Variant : uint8_t { Plain, Ex, W, WEx };
    const UnitFrame& frame;
    Variant variant;
    int32_t freqCode;
    int32_t len;            // samples per channel
    int32_t gain;
    ChannelSpan span;       // Ex variants: first is the firstChannel argument (0 when null)
    const double* chGains;  // Ex variants: per-channel gains (may be null)
    void* out;
    uint32_t mult = 1;      // raw samples per output sample (the frame's multi_mult)
    void* raw = nullptr;    // the call's raw buffer (the frame's multi_raw)

    bool ex() const { return variant == Variant::Ex || variant == Variant::WEx; }
    bool words() const { return variant == Variant::W || variant == Variant::WEx; }
    Delivery delivery() const { return words() ? Delivery::Words : Delivery::Values; }
    Route route() const { return ex() ? Route::Ex : Route::Plain; }
};

// The start of a continuous acquisition (Set_dbl_MulChSam, ...Ex).
struct ContinuousStart {
    UnitFrame& frame;
    uint32_t* handleWord;   // 0 on entry; a device acquisition leaves its handle here
    int32_t freqCode;
    int32_t gain;
    ChannelSpan span;       // a count of 0 or less: the single channel -count
    int32_t blockLen;
    const double* chGains;  // the Ex variant's, else null
    bool ex;
};

// One block of a running continuous acquisition (get_dbl_data, ...W).
struct ContinuousFetch {
    const UnitFrame& frame;
    uint32_t* handleWord;
    int32_t len, nch, stride, offset;
    int* status;  // may be null
    bool paced;   // wait for the block's real time
    Delivery delivery;
    void* buf;
};

// One channel waiting for the external trigger hardware (TriMulChSamEx of
// one channel on a card type that has it): arm it, start, wait until it
// fires, then deliver len samples around the first one beyond the level.
struct HardwareTrigger {
    int32_t type;           // effective card type
    int32_t freqCode, gain;
    ChannelSpan span;
    int32_t len, pre, slope;
    double level;
    std::function<bool()> interrupted;  // InterruptTrigSample was called
    double* transfer;       // the transfer buffer, 49152 bytes at least
    double* out;
    uint32_t* handleWord;   // the continuous acquisition's; the caller recovers it
};
enum class TriggerOutcome { Triggered, Interrupted, Failed };

// The divider a source chooses for a frequency, and the rate it gives.
struct Divider {
    uint32_t freqCode;
    double actual;
};

// The parts of a catalogue entry that a source only knows at run time.
struct LiveRow {
    int32_t channels;
    double highFreq;
    int32_t fullScale;
};

// The extended parameter record of the sources that have one.
struct ExtendedRow {
    int32_t channels, auxCode, flagA, flagsB, bytesPerSample;
    double highFreq, lowFreq;
    int32_t fullScale;
    std::span<const double> gains;
    std::span<const int32_t> freqs;
};

// The presence check's text: the caller's buffer holds this much.
inline constexpr std::size_t kCheckTextBytes = 131;

class Source {
public:
    virtual ~Source() = default;

    virtual int single_block(const SingleBlock& r) = 0;
    virtual int multi_block(const MultiBlock& r) = 0;

    virtual int start(const ContinuousStart& r) = 0;
    virtual int fetch(const ContinuousFetch& r) = 0;
    // Ends what start began; reports failures itself, never to the caller.
    // `type` is the code as recover takes it (reduced, sign kept).
    virtual void stop(uint32_t* handleWord, int32_t type) = 0;
    // What the source keeps of an acquisition under the handle word's
    // address (and the unit) is dropped; recover calls it on the source of
    // the effective card type, wherever its stop went.
    virtual void forget(const uint32_t* /*handleWord*/, bool /*secondUnit*/) {}
    // Whether a fetch may ask for any number of samples (else the triggered
    // acquisition fetches whole blocks).
    virtual bool fetches_any_length() const { return false; }
    // The external trigger hardware, on the card types that have it.
    virtual TriggerOutcome hardware_trigger(const HardwareTrigger&) { return TriggerOutcome::Failed; }

    // PreSamp: whether the source chooses the divider (and so writes the
    // caller's outputs), and the choice.
    virtual bool chooses_divider() const { return false; }
    virtual Divider choose_divider(double /*frequency*/) { return {}; }

    // Checkcard, after the unit's block exists: 1 when the source can
    // acquire; else 0, with `text` (kCheckTextBytes) saying why.
    virtual int check(char* text, int* status) = 0;

    // GetADParameter and GetADParameterEx.
    virtual void refine_row(LiveRow& /*row*/) {}
    virtual std::optional<ExtendedRow> extended_row(int32_t /*type*/) { return std::nullopt; }

    // What a host may ask of it (offer.h): the source adds to the
    // catalogue's offer what only it knows now; false, with the cause
    // recorded, when it cannot say (a device that is not there).
    virtual bool refine_offer(Offer& /*offer*/) { return true; }
    // The divider a source that chooses its own gives for `rate` within
    // its offer, as choose_divider would, changing nothing.
    virtual Divider offered_divider(const Offer& /*offer*/, double /*rate*/) { return {}; }
    // The most samples of all channels together one continuous block may
    // hold (a ring the source keeps), INT32_MAX when nothing limits it.
    virtual int32_t most_block_samples() const { return INT32_MAX; }
    // The gain the conversion of its raw words scales with (the sound
    // card: the recording input's, as the presence check read it).
    virtual double conversion_gain() const { return 0.0; }
};

// The source of a call on a card type, and of an effective card type's
// plain variants.
Source& source_for(const cards::CardType& card, Route route = Route::Plain);
Source& source_for(int32_t type);

// Forgets the shared memories the process keeps and resets every source's
// process-wide values, as a fresh load of the library would find them.
// For tests only.
void reset_process_state_for_tests();

}  // namespace kelmo
