// A source of samples, as the acquisition exports see it.
//
// The exports do what every family shares: they check the arguments, open
// the unit frame, size the raw buffer, and map the result. What only the
// source can do it does behind this interface: a block of one channel, a
// block of several, a continuous acquisition (start, fetch, stop), the
// divider for a frequency, the presence check, and the run-time parts of
// its catalogue entry. `source_for` picks the source of a card type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "sources/frame.h"

namespace kelmo {

// What a block acquisition hands back: engineering values (doubles) or the
// raw sample words of the card type.
enum class Delivery : uint8_t { Values, Words };

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
    uint32_t mult;          // raw samples per output sample
    void* out;
    void* raw;              // the call's scratch

    bool ex() const { return variant == Variant::Ex || variant == Variant::WEx; }
    bool words() const { return variant == Variant::W || variant == Variant::WEx; }
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
    // Whether a fetch may ask for any number of samples (else the triggered
    // acquisition fetches whole blocks).
    virtual bool fetches_any_length() const { return false; }

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
};

// The source of an effective card type.
Source& source_for(int32_t type);

}  // namespace kelmo
