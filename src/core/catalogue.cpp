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
constexpr std::array<int32_t, 11> kBinary102400{102400, 51200, 20480, 10240, 5120, 2048, 1024, 512, 256, 128, 64};
constexpr std::array<int32_t, 11> kDecades100kTo50{100000, 50000, 20000, 10000, 5000, 2000, 1000, 500, 200, 100, 50};
constexpr std::array<int32_t, 12> kDecades100kTo20{100000, 50000, 20000, 10000, 5000, 2000, 1000, 500, 200, 100, 50, 20};
constexpr std::array<int32_t, 11> kDecades200kTo100{200000, 100000, 50000, 20000, 10000, 5000, 2000, 1000, 500, 200, 100};
constexpr std::array<int32_t, 12> kDecades200kTo50{200000, 100000, 50000, 20000, 10000, 5000,
                                     2000,   1000,   500,   200,   100,   50};
constexpr std::array<int32_t, 12> kDecades1MTo200{1000000, 500000, 200000, 100000, 50000, 20000,
                                     10000,   5000,   2000,   1000,   500,   200};
constexpr std::array<int32_t, 12> kBinary204800{204800, 102400, 51200, 20480, 10240, 5120, 2048, 1024, 512, 256, 128, 64};
constexpr std::array<int32_t, 9> kDecades100kTo200{100000, 50000, 20000, 10000, 5000, 2000, 1000, 500, 200};
// The 720 list really holds 5 MHz, 2 MHz and 1 MHz twice; hosts get it as is.
constexpr std::array<int32_t, 17> kCard720{20000000, 10000000, 5000000, 2000000, 1000000, 5000000,
                                       2000000,  1000000,  500000,  200000,  100000,  50000,
                                       20000,    10000,    5000,    2000,    1000};
constexpr std::array<int32_t, 27> kSimulatedRates{400000000, 200000000, 100000000, 50000000, 20000000, 10000000, 5000000,
                                       2000000,   1000000,   500000,    200000,   100000,   50000,    20000,
                                       10000,     5000,      2000,      1000,     500,      200,      100,
                                       50,        20,        10,        5,        2,        1};
constexpr std::array<int32_t, 4> kSoundCardRates{44100, 22050, 11025, 8000};

}  // namespace

const Row* find_row(int32_t reducedCode) { return cards::card_type(reducedCode).row; }

std::span<const int32_t> frequencies(FreqListId id, int32_t clockFlag) {
    using enum FreqListId;
    switch (id) {
        case Binary102400: return kBinary102400;
        case Decades100kTo50: return kDecades100kTo50;
        case Decades100kTo20: return kDecades100kTo20;
        case Decades200kTo100: return kDecades200kTo100;
        case Decades200kTo50: return kDecades200kTo50;
        case Decades1MTo200: return kDecades1MTo200;
        case Binary204800: return kBinary204800;
        case Decades100kTo200: return kDecades100kTo200;
        case Card720: return kCard720;
        case SimulatedRates: return kSimulatedRates;
        case SoundCardRates: return kSoundCardRates;
        case ClockDependent: return clockFlag == -1 ? std::span<const int32_t>(kBinary204800) : std::span<const int32_t>(kDecades1MTo200);
    }
    return {};
}

int32_t box_answer(int32_t code) { return cards::card_type(code).box ? 1 : 0; }

int32_t channel_ok(int32_t code) { return cards::card_type(code).channelFixed ? 0 : 1; }

int32_t word_bytes(int32_t code) { return cards::card_type(code).wordBytes; }

}  // namespace kelmo::catalogue
