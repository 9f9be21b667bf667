// Straightforward versions of the simulated source's generator, the
// baselines the benchmarks measure the library against in the same run:
//  - noise: the window rebuilt with BesselI0 on every call, the history
//    shifted every block of 32 and a plain 895-term sum per sample, with
//    the history memory opened, read and written back as the library does;
//  - periodic: constant, repeated linear or exponential sweep, each sample
//    through SimWarpPhase and its wave (the cosine and the sweep's powers in
//    extended precision);
//  - a plain double loop: the symmetric wave of constant amplitude, each
//    sample's phase and wave in double precision as one writes them down.
#pragma once

#include <cstdint>

namespace bench {

// Takes --kernel=scalar|avx2|avx512 out of the arguments and forces the
// generator's kernels to it (the best ones the processor has without it).
void take_kernel_option(int& argc, char** argv);

// dt = freqCode * simClockScale / 4.096e13 (the library's time step).
double step_seconds(uint32_t freqCode);

// White (band = false) or band-pass noise between f1 and f2, amplitude A,
// into out[0 .. N-1]; slot selects the history (-1: none, zero history).
void plain_noise(bool band, double f1, double f2, double A, int16_t gain, uint32_t freqCode, uint32_t N,
                 int32_t slot, double* out);

// A cosine (waveform 2), triangle (3) or square (4), constant (modulation
// 0), a repeated linear sweep (modulation 3) or a repeated exponential one
// (4), starting at time 0.
void plain_periodic(int modulation, double A, double A2, double f1, double f2, double Tp, uint32_t freqCode,
                    uint32_t N, double* out, int waveform = 2);

// The plain double loop of a cosine, triangle or square of amplitude A,
// frequency f and start phase phi (radians; the square a quarter on), from
// time T0.
void plain_double_periodic(int waveform, double A, double f, double phi, double T0, uint32_t freqCode, uint32_t N,
                           double* out);

}  // namespace bench
