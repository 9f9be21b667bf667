#include "core/card_types.h"

#include "core/card_type.h"

#include <algorithm>
#include <array>

namespace kelmo::cards {
namespace {

using catalogue::Row;
using enum catalogue::FreqListId;

// ---- gain lists ------------------------------------------------------------
constexpr std::array<double, 1> kGainOne{1};
constexpr std::array<double, 4> kGainsPow2To8{1, 2, 4, 8};
constexpr std::array<double, 4> kGainsDecadesTo1000{1, 10, 100, 1000};
constexpr std::array<double, 4> kGainsHalfTo100{0.5, 1, 10, 100};
constexpr std::array<double, 5> kGainsPow2To16{1, 2, 4, 8, 16};
constexpr std::array<double, 8> kGainsPow2To128{1, 2, 4, 8, 16, 32, 64, 128};
constexpr std::array<double, 8> kGains125HalfTo100{0.5, 1, 2, 5, 10, 20, 50, 100};
constexpr std::array<double, 9> kGainsPow2To256{1, 2, 4, 8, 16, 32, 64, 128, 256};
constexpr std::array<double, 10> kGains125To1000{1, 2, 5, 10, 20, 50, 100, 200, 500, 1000};
constexpr std::array<double, 10> kGains125TenthTo100{0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100};

// ---- catalogue rows (several codes share one) --------------------------------
constexpr double kOneThirdMHz = 1000000.0 / 3.0;

constexpr Row kSim{32, kGainsPow2To256, SimulatedRates, 50800, kSimClock, 0.001, 5000};
constexpr Row k602{2, kGainsPow2To256, Decades100kTo50, 0, 102400.0, 9.5375, 5000};
constexpr Row k603{2, kGains125To1000, Decades100kTo50, 0, 102400.0, 9.5375, 5000};
constexpr Row k614{16, kGainsHalfTo100, Decades200kTo50, 1, 200000.0, 0.0, 5000};
constexpr Row k618{32, kGainsPow2To128, Binary102400, 1, 102400.0, 0.9765625, 5000};
constexpr Row k632{32, kGainsPow2To16, Decades200kTo50, 1, 200000.0, 0.95375, 5000};
constexpr Row k638{32, kGainsPow2To16, ClockDependent, 1, 400000.0, 4.76875, 5000};
constexpr Row k648{32, kGainOne, ClockDependent, 1, 380000.0, 4.76875, 5000};
constexpr Row k653{16, kGainsPow2To256, Decades100kTo50, 2, 100000.0, 0.95375, 5000};
constexpr Row k658{32, kGainOne, ClockDependent, 1, 1250000.0, 4.76875, 5000};
constexpr Row k661{16, kGainsPow2To16, Decades200kTo50, 1, 200000.0, 0.95375, 5000};
constexpr Row k669{64, kGainsPow2To16, Decades1MTo200, 1, 1250000.0, 4.76875, 5000};
constexpr Row k670{16, kGains125HalfTo100, Decades200kTo50, 1, 1250000.0, 0.0, 5000};
constexpr Row k718{32, kGainsPow2To16, Binary102400, 1, 100000.0, 0.95375, 10000};
constexpr Row k719{32, kGainsPow2To128, Binary102400, 1, 100000.0, 0.95375, 10000};
constexpr Row k720{4, kGainOne, Card720, 0, 20000000.0, 20.0, 1000};
constexpr Row k721{32, kGainsPow2To8, Decades100kTo20, 1, 100000.0, 0.0005, 10000};
constexpr Row k722{32, kGainsDecadesTo1000, Decades100kTo20, 1, 100000.0, 0.0005, 10000};
constexpr Row k723{32, kGainsPow2To8, Decades200kTo50, 1, 250000.0, 0.0005, 10000};
constexpr Row k724{32, kGainsDecadesTo1000, Decades200kTo50, 1, 250000.0, 0.0005, 10000};
constexpr Row k728{32, kGainsPow2To16, ClockDependent, 1, 500000.0, 4.76875, 10000};
// Channels and highest rate of the sound card come from the device; the
// full scale from the input gain.
constexpr Row k800{1, kGainOne, SoundCardRates, 2, 11025.0, 8000.0, 0};
constexpr Row k801{16, kGainsPow2To16, Decades200kTo50, 1, 200000.0, 0.95375, 10000};
constexpr Row k802{16, kGainsPow2To16, Decades200kTo100, 1, 102400.0, 2.8609375, 10000};
constexpr Row k803{16, kGainsPow2To16, Decades200kTo100, 1, 200000.0, 2.8609375, 10000};
constexpr Row k804{16, kGainsPow2To16, Decades200kTo100, 1, 250000.0, 2.8609375, 10000};
constexpr Row k806{16, kGainsPow2To16, Decades200kTo100, 1, kOneThirdMHz, 2.8609375, 5000};
constexpr Row k810{16, kGainsPow2To16, Decades200kTo100, 1, 100000.0, 2.8609375, 5000};
constexpr Row k881{32, kGainsPow2To16, Decades200kTo100, 1, 250000.0, 2.8609375, 10000};
constexpr Row k885{8, kGains125TenthTo100, Decades100kTo200, 800, 50000.0, 15.625, 10000};
// The 886 box reports its channels through the box routine: 1.
constexpr Row k886{1, kGains125TenthTo100, Decades100kTo200, 800, 50000.0, 15.625, 10000};

// ---- the table -----------------------------------------------------------------
using enum SourceKind;
using enum ConvGroup;
using enum ReadBack;
using enum Numbering;
using enum GainCode;
using enum BlockBuffer;

constexpr double k10k = 9998.0;  // range limit of the +-10000 types

// clang-format off
constexpr CardType kTable[] = {
    {.code = 123, .source = Simulated, .recoverSource = Driver, .conv = Signed16, .readBack = ReadBack::ScaledClock, .clock = kSimClock, .gainCode = Unchanged, .row = &kSim},
    {.code = 124, .source = Simulated, .recoverSource = Driver, .conv = Signed32, .readBack = ReadBack::ScaledClock, .clock = kSimClock, .gainCode = Unchanged, .blockBuffer = Wide, .row = &kSim, .wordBytes = 4},
    {.code = 602, .conv = Signed16, .readBack = Fixed, .clock = 1e7, .gainCode = Nibbles, .twoChannel = true, .row = &k602},
    {.code = 603, .conv = Signed16, .readBack = Fixed, .clock = 1e7, .gainCode = Nibbles, .twoChannel = true, .row = &k603},
    {.code = 614, .numbering = Own, .row = &k614},
    {.code = 616, .conv = Offset16, .readBack = PerChannel, .clock = 2e6, .snrDb = 60},
    {.code = 618, .conv = Offset16, .readBack = PerChannel, .clock = 2e6, .row = &k618, .snrDb = 60},
    {.code = 619, .conv = Offset16, .readBack = PerChannel, .clock = 2.048e6, .row = &k618, .snrDb = 60},
    {.code = 624, .numbering = Own, .row = &k614, .snrDb = 60},
    {.code = 631, .snrDb = 60},
    {.code = 632, .conv = Signed12, .readBack = PerChannel, .clock = 2e6, .row = &k632, .channelFixed = true, .snrDb = 60},
    {.code = 633, .conv = Signed12, .readBack = PerChannel, .clock = 2e6, .numbering = SharedBelow, .firstOwn = 5, .row = &k632, .channelFixed = true, .snrDb = 60},
    {.code = 638, .conv = Signed16, .readBack = PerChannelClockFlag, .numbering = Own, .row = &k638, .snrDb = 60},
    {.code = 648, .conv = Signed16, .readBack = PerChannelClockFlag, .row = &k648, .snrDb = 60},
    {.code = 651, .snrDb = 36},
    {.code = 653, .conv = Offset12Inverted, .readBack = PerChannelPair, .clock = 2e6, .numbering = Paired, .gainCode = CountDown, .row = &k653, .snrDb = 60},
    {.code = 658, .conv = Signed16, .readBack = PerChannelClockFlag, .row = &k658, .snrDb = 60},
    {.code = 659, .snrDb = 60},
    {.code = 661, .conv = Signed12, .readBack = PerChannel, .clock = 2e6, .row = &k661, .channelFixed = true, .snrDb = 60},
    {.code = 662, .conv = Signed12, .readBack = PerChannel, .clock = 2e6, .numbering = SharedBelow, .firstOwn = 3, .row = &k661, .channelFixed = true, .snrDb = 60},
    {.code = 666, .conv = Signed12, .readBack = PerChannel, .clock = 2e6, .numbering = SharedBelow, .firstOwn = 7, .row = &k661, .channelFixed = true, .snrDb = 60},
    {.code = 668, .conv = Signed16, .readBack = PerChannelClockFlag, .row = &k638, .snrDb = 60},
    {.code = 669, .conv = Signed16, .readBack = PerChannelClockFlag, .row = &k669, .snrDb = 60},
    {.code = 670, .numbering = Own, .row = &k670, .snrDb = 60},
    {.code = 678, .conv = Signed16, .readBack = PerChannelClockFlag, .hardwareTrigger = true, .row = &k658, .analogOutput = true, .snrDb = 60},
    {.code = 679, .conv = Signed16, .readBack = PerChannelClockFlag, .hardwareTrigger = true, .row = &k658, .analogOutput = true, .snrDb = 60},
    {.code = 688, .conv = Offset16, .readBack = PerChannelClockFlag, .row = &k638},
    {.code = 698, .conv = Signed16, .readBack = PerChannelClockFlag, .row = &k638, .analogOutput = true, .snrDb = 60},
    {.code = 699, .conv = Signed16, .readBack = PerChannelClockFlag, .row = &k638, .analogOutput = true},
    {.code = 706, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = Fixed, .clock = 2.4e6},
    {.code = 712, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = Fixed, .clock = 2.4e6, .snrDb = 60},
    {.code = 718, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 2e6, .row = &k718},
    {.code = 719, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 2.048e6, .row = &k719},
    {.code = 720, .conv = Signed16Per1000, .rangeLimit = 1004.9, .readBack = Fixed, .clock = 4e7, .row = &k720, .snrDb = 60},
    {.code = 721, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 2e6, .numbering = Own, .valuesMult = 2, .row = &k721},
    {.code = 722, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 2e6, .numbering = Own, .valuesMult = 2, .row = &k722},
    {.code = 723, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 2e6, .numbering = Own, .valuesMult = 2, .row = &k723},
    {.code = 724, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 2e6, .numbering = Own, .valuesMult = 2, .row = &k724},
    {.code = 728, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6, .row = &k728},
    {.code = 729, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6, .row = &k728},
    {.code = 747, .wordBytes = 4},
    {.code = 800, .source = SoundCard, .exSource = Driver, .conv = Sound, .readBack = Fixed, .clock = kSoundClock, .row = &k800},
    {.code = 801, .conv = Signed16Range10k, .rangeLimit = k10k, .row = &k801},
    {.code = 802, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 6e6, .numbering = SharedBelow, .firstOwn = 5, .boxTrigger = true, .row = &k802},
    {.code = 803, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 6e6, .numbering = SharedBelow, .firstOwn = 5, .boxTrigger = true, .row = &k803},
    {.code = 804, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 6e6, .numbering = Own, .boxTrigger = true, .row = &k804},
    {.code = 805, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 6e6, .boxTrigger = true, .row = &k803},
    {.code = 806, .conv = Offset12, .readBack = PerChannel, .clock = 6e6, .boxTrigger = true, .row = &k806, .snrDb = 60},
    {.code = 807, .conv = Offset12, .readBack = PerChannel, .clock = 6e6, .numbering = Own, .boxTrigger = true, .row = &k806, .snrDb = 60},
    {.code = 808, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 6e6, .numbering = Own, .boxTrigger = true, .row = &k802},
    {.code = 809, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 6e6, .row = &k802},
    {.code = 810, .conv = Offset12, .readBack = PerChannel, .clock = 6e6, .numbering = SharedBelow, .firstOwn = 3, .row = &k810, .snrDb = 60},
    {.code = 811, .conv = Offset12, .readBack = PerChannel, .clock = 6e6, .numbering = SharedBelow, .firstOwn = 5, .row = &k810, .snrDb = 60},
    {.code = 812, .conv = Offset12, .readBack = PerChannel, .clock = 6e6, .row = &k810, .snrDb = 60},
    {.code = 813, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6},
    {.code = 814, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6, .numbering = SharedBelow, .firstOwn = 5},
    {.code = 815, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6},
    {.code = 816, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6},
    {.code = 817, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6, .numbering = SharedBelow, .firstOwn = 5},
    {.code = 818, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6},
    {.code = 819, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6, .numbering = SharedBelow, .firstOwn = 3},
    {.code = 820, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 6e6, .numbering = SharedBelow, .firstOwn = 5},
    {.code = 821, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6, .numbering = Own},
    {.code = 822, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6, .numbering = SharedBelow, .firstOwn = 5},
    {.code = 823, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6},
    {.code = 824, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6, .numbering = Own},
    {.code = 825, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6, .numbering = SharedBelow, .firstOwn = 5},
    {.code = 826, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6},
    {.code = 827, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6, .numbering = SharedBelow, .firstOwn = 3},
    {.code = 828, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6, .numbering = SharedBelow, .firstOwn = 9},
    {.code = 829, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6, .numbering = SharedBelow, .firstOwn = 3},
    // Alias codes that only the rules taking the code as passed reach.
    {.code = 836, .snrDb = 60},
    {.code = 837, .snrDb = 60},
    {.code = 861, .conv = Signed16, .readBack = PerChannel, .clock = 8.192e6},
    // 863, 872, 891 and 892: base clocks of 8.192 MHz for the 16-bit
    // instruments and 24.576 MHz (the usual 24-bit converter master clock)
    // for the 32-bit ones.
    {.code = 863, .conv = Signed16, .readBack = PerChannel, .clock = 8.192e6, .numbering = SharedBelow, .firstOwn = 1},
    {.code = 872, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 8.192e6, .numbering = SharedBelow, .firstOwn = 1},
    {.code = 880, .conv = Signed16Range2k, .rangeLimit = 1999.9, .readBack = Fixed, .clock = 8.192e6},
    {.code = 881, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 6e6, .boxTrigger = true, .row = &k881},
    {.code = 882, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 6e6, .boxTrigger = true, .row = &k881},
    {.code = 884, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = PerChannel, .clock = 6e6},
    {.code = 885, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = Fixed, .clock = 2.4e6, .row = &k885},
    {.code = 886, .conv = Signed16Range10k, .rangeLimit = k10k, .readBack = Fixed, .clock = 2.4e6, .row = &k886, .box = true},
    {.code = 890, .conv = Signed24In32, .readBack = Fixed, .clock = 146484.375, .blockBuffer = Packed, .wordBytes = 4},
    {.code = 891, .conv = Signed32, .readBack = PerChannel, .clock = 2.4576e7, .numbering = SharedBelow, .firstOwn = 1, .blockBuffer = Wide, .wordBytes = 4},
    {.code = 892, .conv = Signed32Range10k, .readBack = PerChannel, .clock = 2.4576e7, .numbering = SharedBelow, .firstOwn = 1, .blockBuffer = Wide, .wordBytes = 4},
    // The simulated source as fast as it runs.
    {.code = 1230, .unpacedFetchOf = 123},
};
// clang-format on

// Every code lies below 2048; the index maps a code to its row, or -1.
constexpr int32_t kCodes = 2048;
constexpr auto kIndex = [] {
    std::array<int16_t, kCodes> index{};
    index.fill(-1);
    for (std::size_t i = 0; i < std::size(kTable); ++i) index[static_cast<std::size_t>(kTable[i].code)] = static_cast<int16_t>(i);
    return index;
}();

static_assert(std::is_sorted(std::begin(kTable), std::end(kTable),
                             [](const CardType& a, const CardType& b) { return a.code < b.code; }));
static_assert(std::adjacent_find(std::begin(kTable), std::end(kTable), [](const CardType& a, const CardType& b) {
                  return a.code == b.code;
              }) == std::end(kTable));
static_assert(kTable[std::size(kTable) - 1].code < kCodes);

}  // namespace

CardType card_type(int32_t code) {
    if (code >= 0 && code < kCodes) {
        if (const int16_t i = kIndex[static_cast<std::size_t>(code)]; i >= 0) return kTable[i];
    }
    CardType unlisted;
    unlisted.code = code;
    return unlisted;
}

Conversion conversion_of(int32_t code, double soundGain) { return card_type(reduce_code(code)).conversion(soundGain); }

std::span<const CardType> all_card_types() { return kTable; }

}  // namespace kelmo::cards
