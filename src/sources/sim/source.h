// The simulated source as the acquisition calls see it: the private copy of
// the parameter block, turning one entry into generator arguments, sum
// channels, clamping.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "sources/sim/param_block.h"

namespace kelmo::sim {

// The process-wide private copy of the parameter block.
SimParamBlock& private_copy();

// Opens "Vort123SigPara" and copies it into the private copy; nullptr when
// the signal-source program does not publish it.
platform::SharedMemoryPtr load_param_block(platform::Access access);
// Copies the private copy back into the shared block.
void store_param_block(platform::SharedMemory& block);

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

// What a raw-word acquisition stores.
enum class Codes { W16, W32 };

// The largest block a sum channel can be built for.
inline constexpr uint32_t kSumScratch = 32768;

// Synthesises entry k (0 .. 31) into out[0 .. n-1] as doubles. A sum
// channel mixes its weighted sources. False when the block is too long for
// a sum channel (nothing is written then).
bool synth_values(const SimParamBlock& p, int k, const Timing& t, ExtraRule rule, uint32_t freqCode, uint32_t n,
                  int32_t gain, double* out);

// The same as raw codes (int16 or int32 elements). A sum channel
// accumulates weight x code in doubles and stores the clamped sum.
bool synth_codes(const SimParamBlock& p, int k, const Timing& t, ExtraRule rule, uint32_t freqCode, uint32_t n,
                 int32_t gain, Codes codes, void* out);

// As synth_codes, but a sum channel scales each source's amplitudes by its
// weight and adds the codes with wrapping integer addition (the continuous
// raw fetch).
bool synth_codes_scaled_sum(const SimParamBlock& p, int k, const Timing& t, ExtraRule rule, uint32_t freqCode,
                            uint32_t n, int32_t gain, Codes codes, void* out);

// Limits values to the simulated full scale, +-5000; a value that is not
// a number becomes 0.
void clamp_values(double* v, uint32_t n);

// The seed step of the simulated block acquisitions.
uint32_t advance_seed();

// The nominal length of n samples at divider freqCode, in milliseconds.
double block_ms(uint32_t freqCode, uint32_t n);

// Waits out the nominal length of a block started at t0 (no wait when the
// clock scale says the rate is below 0.1 Hz).
void pace_block(uint32_t t0, uint32_t freqCode, uint32_t n);

}  // namespace kelmo::sim
