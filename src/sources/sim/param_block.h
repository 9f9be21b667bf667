// The parameter block of the simulated source ("Vort123SigPara"), published
// by the signal-source program: 32 entries (0 .. 7 the channels a host
// acquires, 8 .. 31 the sources that sum channels draw on), the mixing
// matrix and the continuous-acquisition fields the library itself keeps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelmo::sim {

inline constexpr const char* kParamBlockName = "Vort123SigPara";
inline constexpr std::size_t kParamBlockBytes = 4000;
inline constexpr int kEntries = 32;
inline constexpr int kSumRows = 8;
inline constexpr int kSumSources = 24;

// Signal classes.
enum Waveform : int32_t {
    kWhiteNoise = 0,  // and every value below
    kBandNoise = 1,
    kCosine = 2,
    kTriangle = 3,
    kSquare = 4,
    kSum = 5,
};

#pragma pack(push, 4)
struct SimParamBlock {
    int32_t waveform[kEntries];          //    0
    int32_t modulation[kEntries];        //  128
    double phase[kEntries];              //  256
    double freq1[kEntries];              //  512
    double freq2[kEntries];              //  768
    double amp1[kEntries];               // 1024
    double amp2[kEntries];               // 1280
    double period[kEntries];             // 1536
    int32_t shapeParam[kEntries];        // 1792
    double damping[kEntries];            // 1920
    double burstCycles[kEntries];        // 2176
    double mixWeight[kSumRows][kSumSources];  // 2432
    uint32_t contSampleCount;            // 3968
    uint32_t unused3972;                 // 3972
    double contGain;                     // 3976
    uint32_t contFreqCode;               // 3984
    uint32_t contStartTick;              // 3988
    int16_t contFirstChannel;            // 3992
    uint8_t unused3994[6];               // 3994
};
#pragma pack(pop)

static_assert(sizeof(SimParamBlock) == kParamBlockBytes);
static_assert(offsetof(SimParamBlock, waveform) == 0);
static_assert(offsetof(SimParamBlock, modulation) == 128);
static_assert(offsetof(SimParamBlock, phase) == 256);
static_assert(offsetof(SimParamBlock, freq1) == 512);
static_assert(offsetof(SimParamBlock, freq2) == 768);
static_assert(offsetof(SimParamBlock, amp1) == 1024);
static_assert(offsetof(SimParamBlock, amp2) == 1280);
static_assert(offsetof(SimParamBlock, period) == 1536);
static_assert(offsetof(SimParamBlock, shapeParam) == 1792);
static_assert(offsetof(SimParamBlock, damping) == 1920);
static_assert(offsetof(SimParamBlock, burstCycles) == 2176);
static_assert(offsetof(SimParamBlock, mixWeight) == 2432);
static_assert(offsetof(SimParamBlock, contSampleCount) == 3968);
static_assert(offsetof(SimParamBlock, contGain) == 3976);
static_assert(offsetof(SimParamBlock, contFreqCode) == 3984);
static_assert(offsetof(SimParamBlock, contStartTick) == 3988);
static_assert(offsetof(SimParamBlock, contFirstChannel) == 3992);

}  // namespace kelmo::sim
