#include "core/catalogue.h"

#include <array>
#include <cstddef>

#include "core/numconv.h"
#include "kelmo.h"

// The A/D parameter record crosses the library's interface: its layout is
// fixed byte for byte, on 32-bit and 64-bit builds alike.
static_assert(offsetof(AdParamRecord, channelCount) == 0);
static_assert(offsetof(AdParamRecord, gainCount) == 4);
static_assert(offsetof(AdParamRecord, freqCount) == 8);
static_assert(offsetof(AdParamRecord, auxCode) == 12);
static_assert(offsetof(AdParamRecord, flagA) == 16);
static_assert(offsetof(AdParamRecord, flagsB) == 20);
static_assert(sizeof(AdParamRecord::flagsB) == 28);
static_assert(offsetof(AdParamRecord, bytesPerSample) == 48);
static_assert(offsetof(AdParamRecord, gap52) == 52);
static_assert(offsetof(AdParamRecord, highFreq) == 56);
static_assert(offsetof(AdParamRecord, lowFreq) == 64);
static_assert(offsetof(AdParamRecord, fullScale) == 72);
static_assert(offsetof(AdParamRecord, reservedZero) == 76);
static_assert(offsetof(AdParamRecord, callerArea) == 80);
static_assert(offsetof(AdParamRecord, gainsOut) == 880);
static_assert(offsetof(AdParamRecord, freqsOut) == 880 + sizeof(void*));
static_assert(sizeof(AdParamRecord) == (sizeof(void*) == 4 ? 888 : 896));

namespace kelmo::catalogue {
namespace {

// ---- gain lists ------------------------------------------------------------
constexpr std::array<double, 1> kG1{1};
constexpr std::array<double, 4> kG4a{1, 2, 4, 8};
constexpr std::array<double, 4> kG4b{1, 10, 100, 1000};
constexpr std::array<double, 4> kG4c{0.5, 1, 10, 100};
constexpr std::array<double, 5> kG5{1, 2, 4, 8, 16};
constexpr std::array<double, 8> kG8{1, 2, 4, 8, 16, 32, 64, 128};
constexpr std::array<double, 8> kG8b{0.5, 1, 2, 5, 10, 20, 50, 100};
constexpr std::array<double, 9> kG9{1, 2, 4, 8, 16, 32, 64, 128, 256};
constexpr std::array<double, 10> kG10a{1, 2, 5, 10, 20, 50, 100, 200, 500, 1000};
constexpr std::array<double, 10> kG10b{0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100};

// ---- frequency lists (Hz, descending as stored) ------------------------------
constexpr std::array<int32_t, 11> kFA{102400, 51200, 20480, 10240, 5120, 2048, 1024, 512, 256, 128, 64};
constexpr std::array<int32_t, 11> kFB{100000, 50000, 20000, 10000, 5000, 2000, 1000, 500, 200, 100, 50};
constexpr std::array<int32_t, 12> kFC{100000, 50000, 20000, 10000, 5000, 2000, 1000, 500, 200, 100, 50, 20};
constexpr std::array<int32_t, 11> kFD{200000, 100000, 50000, 20000, 10000, 5000, 2000, 1000, 500, 200, 100};
constexpr std::array<int32_t, 12> kFE{200000, 100000, 50000, 20000, 10000, 5000,
                                     2000,   1000,   500,   200,   100,   50};
constexpr std::array<int32_t, 12> kFF{1000000, 500000, 200000, 100000, 50000, 20000,
                                     10000,   5000,   2000,   1000,   500,   200};
constexpr std::array<int32_t, 12> kFG{204800, 102400, 51200, 20480, 10240, 5120, 2048, 1024, 512, 256, 128, 64};
constexpr std::array<int32_t, 9> kFH{100000, 50000, 20000, 10000, 5000, 2000, 1000, 500, 200};
// The 720 list really holds 5 MHz, 2 MHz and 1 MHz twice; hosts get it as is.
constexpr std::array<int32_t, 17> kF720{20000000, 10000000, 5000000, 2000000, 1000000, 5000000,
                                       2000000,  1000000,  500000,  200000,  100000,  50000,
                                       20000,    10000,    5000,    2000,    1000};
constexpr std::array<int32_t, 27> kFSIM{400000000, 200000000, 100000000, 50000000, 20000000, 10000000, 5000000,
                                       2000000,   1000000,   500000,    200000,   100000,   50000,    20000,
                                       10000,     5000,      2000,      1000,     500,      200,      100,
                                       50,        20,        10,        5,        2,        1};
constexpr std::array<int32_t, 4> kFSND{44100, 22050, 11025, 8000};

// ---- the rows ------------------------------------------------------------------
struct Entry {
    int32_t code;
    Row row;
};

using enum FreqListId;
constexpr double kOneThirdMHz = 1000000.0 / 3.0;

constexpr Row kSim{32, kG9, FSIM, 50800, 4.096e13, 0.001, 5000};
constexpr Row k602{2, kG9, FB, 0, 102400.0, 9.5375, 5000};
constexpr Row k603{2, kG10a, FB, 0, 102400.0, 9.5375, 5000};
constexpr Row k614{16, kG4c, FE, 1, 200000.0, 0.0, 5000};
constexpr Row k618{32, kG8, FA, 1, 102400.0, 0.9765625, 5000};
constexpr Row k632{32, kG5, FE, 1, 200000.0, 0.95375, 5000};
constexpr Row k638{32, kG5, ClockDependent, 1, 400000.0, 4.76875, 5000};
constexpr Row k648{32, kG1, ClockDependent, 1, 380000.0, 4.76875, 5000};
constexpr Row k653{16, kG9, FB, 2, 100000.0, 0.95375, 5000};
constexpr Row k658{32, kG1, ClockDependent, 1, 1250000.0, 4.76875, 5000};
constexpr Row k661{16, kG5, FE, 1, 200000.0, 0.95375, 5000};
constexpr Row k669{64, kG5, FF, 1, 1250000.0, 4.76875, 5000};
constexpr Row k670{16, kG8b, FE, 1, 1250000.0, 0.0, 5000};
constexpr Row k718{32, kG5, FA, 1, 100000.0, 0.95375, 10000};
constexpr Row k719{32, kG8, FA, 1, 100000.0, 0.95375, 10000};
constexpr Row k720{4, kG1, F720, 0, 20000000.0, 20.0, 1000};
constexpr Row k721{32, kG4a, FC, 1, 100000.0, 0.0005, 10000};
constexpr Row k722{32, kG4b, FC, 1, 100000.0, 0.0005, 10000};
constexpr Row k723{32, kG4a, FE, 1, 250000.0, 0.0005, 10000};
constexpr Row k724{32, kG4b, FE, 1, 250000.0, 0.0005, 10000};
constexpr Row k728{32, kG5, ClockDependent, 1, 500000.0, 4.76875, 10000};
// Channels and highest rate of the sound card come from the device; the
// full scale from the input gain.
constexpr Row k800{1, kG1, FSND, 2, 11025.0, 8000.0, 0};
constexpr Row k801{16, kG5, FE, 1, 200000.0, 0.95375, 10000};
constexpr Row k802{16, kG5, FD, 1, 102400.0, 2.8609375, 10000};
constexpr Row k803{16, kG5, FD, 1, 200000.0, 2.8609375, 10000};
constexpr Row k804{16, kG5, FD, 1, 250000.0, 2.8609375, 10000};
constexpr Row k881{32, kG5, FD, 1, 250000.0, 2.8609375, 10000};
constexpr Row k806{16, kG5, FD, 1, kOneThirdMHz, 2.8609375, 5000};
constexpr Row k810{16, kG5, FD, 1, 100000.0, 2.8609375, 5000};
constexpr Row k885{8, kG10b, FH, 800, 50000.0, 15.625, 10000};
// The 886 box reports its channels through the box routine.
constexpr Row k886{box_answer(886), kG10b, FH, 800, 50000.0, 15.625, 10000};

constexpr Entry kCatalogue[] = {
    {123, kSim}, {124, kSim},  {602, k602}, {603, k603}, {614, k614}, {624, k614}, {618, k618}, {619, k618},
    {632, k632}, {633, k632},  {638, k638}, {668, k638}, {688, k638}, {698, k638}, {699, k638}, {648, k648},
    {653, k653}, {658, k658},  {678, k658}, {679, k658}, {661, k661}, {662, k661}, {666, k661}, {669, k669},
    {670, k670}, {718, k718},  {719, k719}, {720, k720}, {721, k721}, {722, k722}, {723, k723}, {724, k724},
    {728, k728}, {729, k728},  {800, k800}, {801, k801}, {802, k802}, {808, k802}, {809, k802}, {803, k803},
    {805, k803}, {804, k804},  {881, k881}, {882, k881}, {806, k806}, {807, k806}, {810, k810}, {811, k810},
    {812, k810}, {885, k885},  {886, k886},
};

}  // namespace

const Row* find_row(int32_t reducedCode) {
    for (const Entry& e : kCatalogue)
        if (e.code == reducedCode) return &e.row;
    return nullptr;
}

std::span<const int32_t> frequencies(FreqListId id, int32_t clockFlag) {
    switch (id) {
        case FA: return kFA;
        case FB: return kFB;
        case FC: return kFC;
        case FD: return kFD;
        case FE: return kFE;
        case FF: return kFF;
        case FG: return kFG;
        case FH: return kFH;
        case F720: return kF720;
        case FSIM: return kFSIM;
        case FSND: return kFSND;
        case ClockDependent: return clockFlag == -1 ? std::span<const int32_t>(kFG) : std::span<const int32_t>(kFF);
    }
    return {};
}

std::span<const double> simulated_gains() { return kG9; }
std::span<const int32_t> simulated_frequencies() { return kFSIM; }
std::span<const double> sound_gains() { return kG1; }
std::span<const int32_t> sound_frequencies() { return kFSND; }

int32_t channel_ok(int32_t code) {
    switch (code) {
        case 632: case 633: case 661: case 662: case 666: return 0;
        default: return 1;
    }
}

int32_t word_bytes(int32_t code) {
    switch (code) {
        case 124: case 747: case 890: case 891: case 892: return 4;
        default: return 2;
    }
}

SoundCaps sound_caps(uint32_t formatFlags) {
    // Tested from the lowest rate up, each hit overriding the earlier ones,
    // so the best standard rate wins, stereo if the device has it there.
    struct Format {
        uint32_t flag;
        double rate;
        int32_t channels;
    };
    static constexpr Format kFormats[] = {
        {0x1, 11025, 1},   {0x4, 11025, 1},   {0x2, 11025, 2},   {0x8, 11025, 2},
        {0x10, 22050, 1},  {0x40, 22050, 1},  {0x20, 22050, 2},  {0x80, 22050, 2},
        {0x100, 44100, 1}, {0x400, 44100, 1}, {0x200, 44100, 2}, {0x800, 44100, 2},
    };
    SoundCaps caps{11025.0, 1};
    for (const Format& f : kFormats)
        if (formatFlags & f.flag) caps = SoundCaps{f.rate, f.channels};
    return caps;
}

int32_t sound_full_scale(double inputGain) {
    // A gain beyond any integer keeps only the low bits of the truncation.
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(trunc_i64(inputGain * 140.0))));
}

}  // namespace kelmo::catalogue
