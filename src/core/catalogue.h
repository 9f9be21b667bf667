// The card catalogue: what each card type offers (channels, gains, sampling
// frequencies, full scale). Constant tables plus the one answer that
// depends on the run time (the clock flag); the sources add theirs.
#pragma once

#include <cstdint>
#include <span>

namespace kelmo::catalogue {

// Which frequency list a row uses. ClockDependent rows take FG when the
// clock flag (word 2 of "USB_samp") is -1, else FF.
enum class FreqListId { FA, FB, FC, FD, FE, FF, FG, FH, F720, FSIM, FSND, ClockDependent };

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
