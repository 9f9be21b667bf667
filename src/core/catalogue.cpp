#include "core/catalogue.h"

#include <array>
#include <cstddef>

#include "core/card_types.h"
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

}  // namespace

const Row* find_row(int32_t reducedCode) { return cards::card_type(reducedCode).row; }

std::span<const int32_t> frequencies(FreqListId id, int32_t clockFlag) {
    using enum FreqListId;
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

int32_t box_answer(int32_t code) { return cards::card_type(code).box ? 1 : 0; }

int32_t channel_ok(int32_t code) { return cards::card_type(code).channelFixed ? 0 : 1; }

int32_t word_bytes(int32_t code) { return cards::card_type(code).wordBytes; }

}  // namespace kelmo::catalogue
