// Every card type through every rule that depends on it, checked against a
// second description written the way the card tables are laid out (lists
// of codes sharing a value), not row by row like the library's table.
#include <cmath>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "core/card_type.h"
#include "core/card_types.h"
#include "core/catalogue.h"
#include "core/convert.h"
#include "core/presamp.h"
#include "fixture.h"
#include "numeric/numeric.h"
#include "sources/driver/driver_source.h"
#include "sources/driver/gain.h"
#include "sources/source.h"

namespace kelmo::test {
namespace {

using Codes = std::vector<int>;

Codes range(int from, int to, std::set<int> except = {}) {
    Codes v;
    for (int c = from; c <= to; ++c)
        if (!except.count(c)) v.push_back(c);
    return v;
}
Codes join(std::initializer_list<Codes> parts) {
    Codes v;
    for (const Codes& p : parts) v.insert(v.end(), p.begin(), p.end());
    return v;
}

// A value per code, with a default for every code not listed.
template <class T>
struct Rule {
    T fallback;
    std::vector<std::pair<Codes, T>> lists;
    T operator()(int code) const {
        for (const auto& [codes, v] : lists)
            for (int c : codes)
                if (c == code) return v;
        return fallback;
    }
};

// Every code a rule could list, a few beyond, the aliases and negatives.
Codes sweep() { return join({range(-3, 3), range(100, 130), range(590, 1010), {1230, -800, -602, INT32_MIN}}); }

using enum ConvGroup;
const Rule<ConvGroup> kConv{
    None,
    {{{123, 602, 603, 638, 648, 658, 668, 669, 678, 679, 698, 699, 861, 863}, Signed16},
     {{616, 618, 619, 688}, Offset16},
     {{632, 633, 661, 662, 666}, Signed12},
     {{653}, Offset12Inverted},
     {{806, 807, 810, 811, 812}, Offset12},
     {join({{706, 712, 718, 719}, range(721, 724), {728, 729}, range(801, 805), {808, 809}, range(813, 829),
            {872, 881, 882, 884, 885, 886}}),
      Signed16Range10k},
     {{720}, Signed16Per1000},
     {{880}, Signed16Range2k},
     {{800}, Sound},
     {{124, 891}, Signed32},
     {{890}, Signed24In32},
     {{892}, Signed32Range10k}}};

TEST(CardTypes, ConversionAndRange) {
    for (int code : sweep()) {
        const int t = static_cast<int>(reduce_code(code));
        EXPECT_EQ(conv_group(t), kConv(t)) << code;
        const double limit = kConv(t) == Signed16Range10k ? 9998.0 : t == 720 ? 1004.9 : t == 880 ? 1999.9 : 4999.0;
        EXPECT_EQ(range_limit(t), limit) << code;
    }
}

using ReadBack = FakeTest;

TEST_F(ReadBack, EveryCodeThroughGetFre) {
    // d = 1000, n = 3 or 4 channels, S = 1 (the simulated rate set by
    // PreSamp); B under both clock flags of the status block, in mode 1.
    using F = std::function<double(double B, double n)>;
    const double d = 1000;
    auto perCh = [&](double clock) { return F([=](double, double n) { return clock / d / n; }); };
    auto fixed = [&](double clock) { return F([=](double, double) { return clock / d; }); };
    const Rule<F> formula{
        nullptr,
        {{{123, 124}, fixed(4.096e13)},
         {{602, 603}, fixed(1e7)},
         {{616, 618, 632, 633, 661, 662, 666, 718, 721, 722, 723, 724}, perCh(2e6)},
         {{619, 719}, perCh(2.048e6)},
         {{638, 648, 658, 668, 669, 678, 679, 698, 699, 688}, F([&](double B, double n) { return B / d / n; })},
         {{653}, fixed(2e6 / 2)},
         {{706, 712, 885, 886}, fixed(2.4e6)},
         {{720}, fixed(4e7)},
         {join({{728, 729, 861, 863, 872}, range(813, 829, {820})}), perCh(8.192e6)},
         {{800}, fixed(352800)},
         {{802, 803, 804, 805, 808, 809, 820, 881, 882, 884, 806, 807, 810, 811, 812}, perCh(6e6)},
         {{880}, fixed(8.192e6)},
         {{890}, fixed(146484.375)},
         {{891, 892}, perCh(2.4576e7)}}};
    uint32_t divider = 0;
    double actual = 0;
    ASSERT_EQ(PreSamp(123, 1e6, &divider, &actual), 1);  // makes the block, mode 1
    for (int code : sweep()) {
        const int t = static_cast<int>(reduce_code(code));
        for (int flag : {0, -1}) {
            fake.set_word("USB_samp", 2, flag);
            for (int n : {3, 4}) {
                double hz = -7.0;
                ASSERT_EQ(GetFre(code, 1000, &hz, n), 1) << code;
                if (formula(t) == nullptr) {
                    EXPECT_EQ(hz, -7.0) << code << ": no read-back, the output is left alone";
                } else {
                    EXPECT_DOUBLE_EQ(hz, formula(t)(flag == -1 ? 8192000.0 : 1e7, n))
                        << code << " flag " << flag << " n " << n;
                }
            }
        }
    }
}

using ChannelNumbering = FakeTest;

TEST_F(ChannelNumbering, EveryCardType) {
    // The first channel of its own; 0 = every channel on its own; absent:
    // every channel is physical channel 1.
    const Rule<int> firstOwn{-1,
                             {{{614, 624, 638, 670, 721, 722, 723, 724, 804, 807, 808, 821, 824}, 0},
                              {{633, 802, 803, 811, 814, 817, 820, 822, 825}, 5},
                              {{662, 810, 819, 827, 829}, 3},
                              {{666}, 7},
                              {{828}, 9},
                              {{863, 872, 891, 892}, 1}}};
    for (int code : sweep()) {
        const int t = static_cast<int>(reduce_code(code));
        for (int ch : {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 31}) {
            int want;
            if (t == 653)
                want = (ch - 1) / 2 + 1;
            else if (firstOwn(t) < 0)
                want = 1;
            else if (firstOwn(t) == 0)
                want = ch;
            else
                want = ch < firstOwn(t) ? 1 : ch;
            EXPECT_EQ(get_ph_ch(code, ch), want) << code << " channel " << ch;
        }
        // The count halves for the paired card only, the code as passed.
        EXPECT_EQ(get_tot_ch(code, 7), code == 653 ? 4 : 7) << code;
    }
}

using AsPassedRules = FakeTest;

TEST_F(AsPassedRules, WordSizeChannelSettingBoxAndNoiseFloor) {
    const Rule<int> wordBytes{2, {{{124, 747, 890, 891, 892}, 4}}};
    const Rule<int> channelOk{1, {{{632, 633, 661, 662, 666}, 0}}};
    const Rule<int> box{0, {{{886}, 1}}};
    const Rule<double> snr{160.0,
                           {{{616, 618, 619, 624, 631, 632, 633, 638, 648, 653, 658, 659, 661, 662, 666, 668, 669, 670,
                              678, 679, 698, 712, 720, 806, 807, 810, 811, 812, 836, 837},
                             60.0},
                            {{651}, 36.0}}};
    for (int code : sweep()) {
        int w = -1;
        GetCardWordType(code, &w);
        EXPECT_EQ(w, wordBytes(code)) << code;
        EXPECT_EQ(SetChannelOK(code), channelOk(code)) << code;
        EXPECT_EQ(SearchNumberOfChannel(code), box(code)) << code;
        // A companion value of 10 or less leaves the floor itself as the level.
        const double a = 1.0;
        double level = 0;
        ASSERT_EQ(numeric::check_snr(code, 1, &a, 1, 1.0, &level, nullptr, nullptr), 1);
        EXPECT_EQ(level, snr(code)) << code;
    }
}

TEST(CardTypes, SourcesAndDriverRules) {
    using cards::GainCode;
    const Rule<cards::SourceKind> source{cards::SourceKind::Driver,
                                     {{{123, 124}, cards::SourceKind::Simulated}, {{800}, cards::SourceKind::SoundCard}}};
    const Rule<GainCode> gain{GainCode::Log2,
                              {{{123, 124}, GainCode::Unchanged}, {{602, 603}, GainCode::Nibbles}, {{653}, GainCode::CountDown}}};
    const Rule<bool> twoChannel{false, {{{602, 603}, true}}};
    const Rule<int> valuesMult{1, {{range(721, 724), 2}}};
    const Rule<bool> boxTrigger{false, {{{802, 803, 804, 805, 806, 807, 808, 881, 882}, true}}};
    const Rule<bool> hardwareTrigger{false, {{{678, 679}, true}}};
    const Rule<cards::BlockBuffer> blockBuffer{cards::BlockBuffer::Words16,
                                       {{{124, 891, 892}, cards::BlockBuffer::Wide}, {{890}, cards::BlockBuffer::Packed}}};
    for (int code : sweep()) {
        const int t = static_cast<int>(reduce_code(code));
        const cards::CardType c = cards::card_type(t);
        EXPECT_EQ(c.code, t);
        EXPECT_EQ(c.source, source(t)) << code;
        EXPECT_EQ(c.gainCode, gain(t)) << code;
        EXPECT_EQ(c.twoChannel, twoChannel(t)) << code;
        EXPECT_EQ(c.valuesMult, valuesMult(t)) << code;
        EXPECT_EQ(c.boxTrigger, boxTrigger(t)) << code;
        EXPECT_EQ(c.hardwareTrigger, hardwareTrigger(t)) << code;
        EXPECT_EQ(c.blockBuffer, blockBuffer(t)) << code;
        // A gain of 16: log2 gives 4 (x 17 for the two-channel cards at
        // the start), the count-down card 256 / 16.
        const auto single = driver::gain_code(driver::GainRule::Single, c, 16, nullptr);
        const auto start = driver::gain_code(driver::GainRule::Start, c, 16, nullptr);
        ASSERT_TRUE(single && start) << code;
        EXPECT_EQ(*single, gain(t) == GainCode::CountDown ? 16 : 4) << code;
        EXPECT_EQ(*start, gain(t) == GainCode::CountDown ? 16 : gain(t) == GainCode::Nibbles ? 68 : 4) << code;
        // Where each call goes: the sound card's Ex variants and the
        // simulated source's recover to the driver, the rest to the source.
        Source& own = source_for(c);
        Source& driver = driver::driver_source();
        EXPECT_EQ(&source_for(c, Route::Ex), t == 800 ? &driver : &own) << code;
        EXPECT_EQ(&source_for(c, Route::Recover), (t == 123 || t == 124) ? &driver : &own) << code;
        // Taken as passed: only 1230 (not -1230) fetches for another code.
        EXPECT_EQ(cards::card_type(code).unpacedFetchOf, code == 1230 ? 123 : 0) << code;
    }
}

using CatalogueRows = FakeTest;

// What GetADParameter reports for every code a host could pass: the row of a
// catalogued type, 32 channels and nothing else for the aliases of a row
// that does not exist, 0 channels and nothing else for the rest.
TEST_F(CatalogueRows, EveryCodeThroughGetADParameter) {
    fake.sound.capsResult = 2;  // the sound card's row as without a capture device
    // channels, gains, auxCode, highest, lowest, full scale
    struct R {
        int channels, gains, aux;
        double high, low;
        int full;
        bool operator==(const R&) const = default;
    };
    const double third = 1000000.0 / 3.0;
    const std::map<Codes, R> rows{
        {{123, 124}, {32, 9, 50800, 4.096e13, 0.001, 5000}},
        {{602}, {2, 9, 0, 102400, 9.5375, 5000}},
        {{603}, {2, 10, 0, 102400, 9.5375, 5000}},
        {{614, 624}, {16, 4, 1, 200000, 0, 5000}},
        {{618, 619}, {32, 8, 1, 102400, 0.9765625, 5000}},
        {{632, 633}, {32, 5, 1, 200000, 0.95375, 5000}},
        {{638, 668, 688, 698, 699}, {32, 5, 1, 400000, 4.76875, 5000}},
        {{648}, {32, 1, 1, 380000, 4.76875, 5000}},
        {{653}, {16, 9, 2, 100000, 0.95375, 5000}},
        {{658, 678, 679}, {32, 1, 1, 1250000, 4.76875, 5000}},
        {{661, 662, 666}, {16, 5, 1, 200000, 0.95375, 5000}},
        {{669}, {64, 5, 1, 1250000, 4.76875, 5000}},
        {{670}, {16, 8, 1, 1250000, 0, 5000}},
        {{718}, {32, 5, 1, 100000, 0.95375, 10000}},
        {{719}, {32, 8, 1, 100000, 0.95375, 10000}},
        {{720}, {4, 1, 0, 20000000, 20, 1000}},
        {{721, 723}, {32, 4, 1, 100000, 0.0005, 10000}},
        {{722, 724}, {32, 4, 1, 100000, 0.0005, 10000}},
        {{728, 729}, {32, 5, 1, 500000, 4.76875, 10000}},
        {{800}, {1, 1, 2, 11025, 8000, 0}},
        {{801}, {16, 5, 1, 200000, 0.95375, 10000}},
        {{802, 808, 809}, {16, 5, 1, 102400, 2.8609375, 10000}},
        {{803, 805}, {16, 5, 1, 200000, 2.8609375, 10000}},
        {{804}, {16, 5, 1, 250000, 2.8609375, 10000}},
        {{881, 882}, {32, 5, 1, 250000, 2.8609375, 10000}},
        {{806, 807}, {16, 5, 1, third, 2.8609375, 5000}},
        {{810, 811, 812}, {16, 5, 1, 100000, 2.8609375, 5000}},
        {{885}, {8, 10, 800, 50000, 15.625, 10000}},
        {{886}, {1, 10, 800, 50000, 15.625, 10000}},
    };
    std::map<int, R> want;
    for (const auto& [codes, r] : rows)
        for (int c : codes) want[c] = r;
    // 723 and 724 reach 250 kHz.
    want[723].high = want[724].high = 250000;
    for (int code : sweep()) {
        const int stands = code >= 831 && code <= 859 ? code - 30 : code;
        int channels = -7, gainCount = -7, freqCount = -7, aux = -7, full = -7, freqs[27];
        double gains[10], high = -7, low = -7;
        GetADParameter(code, &channels, gains, &gainCount, freqs, &freqCount, &aux, &high, &low, &full);
        if (!want.count(stands)) {
            EXPECT_EQ(channels, stands != code ? 32 : 0) << code;
            EXPECT_TRUE(gainCount == -7 && freqCount == -7 && aux == -7 && full == -7 && high == -7 && low == -7)
                << code << ": nothing but the channels is written";
            continue;
        }
        R w = want[stands];
        if (stands != code) w.channels = 32;  // an alias reports 32 channels
        EXPECT_TRUE((R{channels, gainCount, aux, high, low, full}) == w) << code;
        ASSERT_TRUE(freqCount > 0 && freqCount <= 27) << code;
        for (int i = 1; i < freqCount; ++i) EXPECT_GT(freqs[i], 0) << code;
    }
}

}  // namespace
}  // namespace kelmo::test
