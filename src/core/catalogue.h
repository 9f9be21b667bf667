// The card catalogue: what each card type offers (channels, gains, sampling
// frequencies, full scale). Constant tables plus the one answer that
// depends on the run time (the clock flag); the sources add theirs.
#pragma once

#include <cstdint>
#include <span>

namespace kelmo::catalogue {

// Which frequency list a row uses, named by its steps and its range:
// binary steps (2, 2.5, 2 ...) from the named rate down to 64 Hz, or
// decades in 1-2-5 steps between the named rates. ClockDependent rows take
// Binary204800 when the clock flag (word 2 of "USB_samp") is -1, else
// Decades1MTo200.
enum class FreqListId {
    Binary102400,
    Decades100kTo50,
    Decades100kTo20,
    Decades200kTo100,
    Decades200kTo50,
    Decades1MTo200,
    Binary204800,
    Decades100kTo200,
    Card720,    // the 720's own list
    SimulatedRates,  // 400 MHz down to 1 Hz in 1-2-5 steps
    SoundCardRates,  // the standard rates 44100, 22050, 11025 and 8000 Hz
    ClockDependent,
};

struct Row {
    int32_t channels;
    std::span<const double> gains;
    FreqListId freqs;
    int32_t auxCode;
    double highFreq;
    double lowFreq;
    int32_t fullScale;  // unused for the sound card, whose range is computed
};

// The row of a reduced card type code, or nullptr when the catalogue lacks it.
const Row* find_row(int32_t reducedCode);

// A frequency list; ClockDependent resolves through `clockFlag`.
std::span<const int32_t> frequencies(FreqListId id, int32_t clockFlag);

// Answer of the fixed-answer box routine (SearchNumberOfChannel and its
// aliases): only the 886 box answers yes.
int32_t box_answer(int32_t code);

// 0 for the cards whose channel setting cannot be changed, else 1.
int32_t channel_ok(int32_t code);
// Width of a raw sample word in bytes for a card type code as passed.
int32_t word_bytes(int32_t code);

}  // namespace kelmo::catalogue
