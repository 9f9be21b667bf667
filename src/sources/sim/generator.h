// The simulated source's signal generator.
//
// SimSignalGen turns one channel's parameters (one entry of the parameter
// block "Vort123SigPara", decoded by the caller) into a block of samples:
// band-limited white noise, band-pass noise, or a cosine, triangle or
// square wave with one of eleven modulations. The W16 and W32 variants
// differ only in how a sample is stored: as a signed 16-bit or 32-bit code
// (5000 output units = 2^15 or 2^31 codes).
//
// The arguments come from another process and are not trusted. Whatever
// they hold, a call writes out[0 .. N-1] (or nothing, for waveforms 5 and
// 6 and above), never touches memory beyond that, and never stores a NaN
// or an infinity (such a sample is stored as 0). Where the formulas have
// no value the generator gives the defined answers listed in periodic.cpp
// and noise.cpp.
#pragma once

#include "core/cpu.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelmo::sim {

// The noise history "Random_Simu", provided by the signal-source program:
// 32 slots of 1024 doubles, the latest raw noise values of each channel at
// four times the sampling rate, oldest first.
inline constexpr const char* kNoiseStateName = "Random_Simu";
inline constexpr int32_t kNoiseSlots = 32;
inline constexpr std::size_t kNoiseSlotValues = 1024;
inline constexpr std::size_t kNoiseStateBytes = kNoiseSlots * kNoiseSlotValues * sizeof(double);  // 262144

// What the generator makes of one channel.
struct GenArgs {
    int32_t shape = 0;           // symmetry in per mille (-1000 .. 1000), or the step count of a stepped sweep
    uint32_t startSample = 0;    // start time = startSample x dt + timeOffsetMs / 1000
    double timeOffsetMs = 0.0;
    int32_t waveform = 0;        // <= 0 white noise, 1 band-pass noise, 2 cosine, 3 triangle, 4 square;
                                 // anything else writes nothing
    int32_t modulation = 0;      // 0 .. 10 (periodic waveforms)
    double A = 0.0, A2 = 0.0;    // start and end amplitude
    double f1 = 0.0, f2 = 0.0;   // start and end frequency in Hz (band edges of band-pass noise)
    double phi = 0.0;            // start phase in radians
    double Tp = 0.0;             // sweep, step or burst period in seconds
    uint32_t freqCode = 0;       // sampling divider: dt = step_seconds(freqCode, clock scale) (clock.h)
    uint32_t N = 0;              // number of samples to write
    int32_t gain = 1;            // amplitude multiplier, used as a signed 16-bit value
    int32_t slot = 0;            // channel entry 0 .. 31: noise history slot and noise seed
    double extra = 0.0;          // damping ratio (modulation 9) or burst cycles (modulation 10)
};
void SimSignalGen(const GenArgs& a, double* out);
// SimSignalGen with every value of out[0 .. N-1] limited to +-fullScale
// (fullScale > 0), what the buffer held included, as the acquisitions
// deliver values: beyond it the limit, not a number 0.
void SimSignalGenLimited(const GenArgs& a, double* out, double fullScale);
void SimSignalGenW16(const GenArgs& a, int16_t* out);
void SimSignalGenW32(const GenArgs& a, int32_t* out);

// Phase a * b + d / 2pi reduced to (0, 1] and warped by the symmetry c
// (per mille): the first half of the result takes the fraction
// (c + 1000) / 2000 of the cycle.
double SimWarpPhase(double a, double b, double c, double d);

// Modified Bessel function of the first kind, order 0, by its power series
// (stops when a term drops below 1e-6, or stops being finite).
double BesselI0(double a);

// The library's own pseudo-random sequence, process-wide (the noise is
// defined by it): state = state * 214013 + 2531011, result (state >> 16)
// & 0x7FFF, 0 .. 32767.
void sim_srand(uint32_t seed);
int sim_rand();

// Kernels of the noise filter and of the periodic waveforms, for tests and
// benchmarks. Auto is the run-time choice, each computation's own
// (KernelChooser): the fastest of the vector kernels the processor runs
// (AVX-512 F, BW, DQ and VL; AVX2 with FMA), timed at the first use, or the
// one KELMO_KERNEL names; the scalar code where the processor runs none.
// Forcing a kernel the processor lacks takes the best one below it. Every
// kernel gives the same bits. Returns the previous setting.
using SimKernel = Kernel;
SimKernel sim_kernel_override(SimKernel kernel);
bool sim_avx2_supported();
bool sim_avx512_supported();
// The kernel the periodic waveforms and the noise run on now (Scalar, Avx2
// or Avx512), and its name.
SimKernel sim_periodic_kernel();
SimKernel sim_noise_kernel();
// Why Auto runs the kernels it runs, in a sentence each.
std::string sim_kernel_reasons();
inline const char* sim_kernel_name(SimKernel kernel) { return kernel_name(kernel); }

}  // namespace kelmo::sim
