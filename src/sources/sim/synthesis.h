// Synthesis for the acquisitions of the simulated source: the private copy
// of the parameter block, turning one entry into generator arguments, sum
// channels, clamping, seeding and pacing.
#pragma once

#include "core/pacing.h"

#include <cstddef>
#include <cstdint>

#include "core/card_types.h"
#include "platform/platform.h"
#include "sources/sim/param_block.h"

namespace kelmo::sim {

// The private copy of the parameter block (one per thread).
SimParamBlock& private_copy();

// Opens "Vort123SigPara" and copies it into the private copy; nullptr when
// the signal-source program does not publish it.
platform::SharedMemoryPtr load_param_block(platform::Access access);
// Copies the continuous-acquisition fields of the private copy back into
// the shared block (the parameters stay as the signal-source program last
// published them); false when the view is read-only or the object was
// shrunk under it (nothing is written then).
bool store_param_block(platform::SharedMemory& block);

// Which value decides between burstCycles and damping as the generator's
// extra argument: block acquisitions look at the stored modulation,
// continuous fetches at the decoded one.
enum class ExtraRule { Stored, Decoded };

// Where a block starts in time.
struct Timing {
    enum Rule {
        TickForSweeps,   // the tick count for sweeps (decoded modulation 1 .. 4), else the seed offset
        SeedOffset,      // seed * N / 2147483647 whatever the modulation
        SeedWhole,       // the same, truncated to a whole number
        Running,         // continuous: startSample carries the time, no offset
    } rule;
    uint32_t tickMs = 0;
    uint32_t seed = 0;
    uint32_t startSample = 0;
};

// What a block acquisition delivers: values, or the raw codes of the card
// type, 16 or 32 bits wide.
enum class Form { Values, W16, W32 };
inline Form form_of(const cards::CardType& card, bool rawWords) {
    return !rawWords ? Form::Values : is_wide(card.conv) ? Form::W32 : Form::W16;
}
// Element `index` of a buffer of that form.
inline void* element(void* base, Form form, std::size_t index) {
    const std::size_t size = form == Form::Values ? 8 : form == Form::W32 ? 4 : 2;
    return static_cast<char*>(base) + index * size;
}

// Synthesises entry k into out[0 .. n-1] in the given form. A sum channel
// mixes its weighted sources (codes: weight x code summed in doubles, then
// limited to the code's range); values are limited to full scale, +-5000,
// and a value that is not a number becomes 0. A sum channel's scratch is
// sized by the block (std::bad_alloc when it cannot be had).
bool synth_block(const SimParamBlock& p, int k, const Timing& t, ExtraRule rule, uint32_t freqCode, uint32_t n,
                 int32_t gain, Form form, void* out);

// Raw codes (W16 or W32) as the continuous raw fetch builds them: a sum
// channel scales each source's amplitudes by its weight and adds the codes
// with wrapping integer addition.
bool synth_codes_scaled_sum(const SimParamBlock& p, int k, const Timing& t, ExtraRule rule, uint32_t freqCode,
                            uint32_t n, int32_t gain, Form form, void* out);

// The seed step of the simulated block acquisitions.
uint32_t advance_seed();

// Waits out the nominal length of a block started at t0 (no wait when the
// clock scale says the rate is below 0.1 Hz).
void pace_block(const PaceMark& t0, uint32_t freqCode, uint32_t n);

}  // namespace kelmo::sim
