// What a card type offers a host: its source, rates, gains, the divider
// for a rate and the longest continuous block, as the library applies them.
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "fixture.h"

namespace kelmo::test {
namespace {

std::vector<double> rates_of(int type) {
    const int n = kelmo_card_rates(type, nullptr, 0);
    std::vector<double> r(static_cast<std::size_t>(n > 0 ? n : 0));
    EXPECT_EQ(kelmo_card_rates(type, r.data(), n), n);
    return r;
}

std::vector<int> gains_of(int type) {
    int g[16] = {};
    const int n = kelmo_card_gains(type, g, 16);
    return {g, g + (n > 0 ? n : 0)};
}

using CardOffer = FakeTest;

TEST_F(CardOffer, SourcesFollowTheCardTypeAsTheExportsTakeIt) {
    EXPECT_EQ(kelmo_card_source(123), KELMO_SOURCE_SIMULATED);
    EXPECT_EQ(kelmo_card_source(-124), KELMO_SOURCE_SIMULATED);
    EXPECT_EQ(kelmo_card_source(800), KELMO_SOURCE_SOUND);
    EXPECT_EQ(kelmo_card_source(602), KELMO_SOURCE_DRIVER);
    EXPECT_EQ(kelmo_card_source(836), KELMO_SOURCE_DRIVER);  // stands for 806
    EXPECT_EQ(kelmo_card_source(830), KELMO_SOURCE_NONE);
    EXPECT_NE(last_error().find("card type 830 is not in the catalogue"), std::string::npos) << last_error();
    EXPECT_EQ(kelmo_card_source(INT_MIN), KELMO_SOURCE_NONE);
    EXPECT_EQ(kelmo_card_stands_for(836), 806);
    EXPECT_EQ(kelmo_card_stands_for(860), 860);
    EXPECT_EQ(kelmo_card_stands_for(-836), -836);  // as GetADParameter: no sign taken
}

TEST_F(CardOffer, RatesAreTheListedOnesTheCardSamplesAt) {
    // A family's list above this card's highest rate is not offered.
    const std::vector<double> r638 = rates_of(638);
    ASSERT_FALSE(r638.empty());
    EXPECT_EQ(r638.front(), 200000.0);
    double low = 0, high = 0;
    ASSERT_EQ(kelmo_card_rate_limits(638, &low, &high), 1);
    EXPECT_EQ(high, 400000.0);
    for (double r : r638) EXPECT_LE(r, high);
    // The 720's list holds three rates twice; each is offered once.
    EXPECT_EQ(rates_of(720).size(), 14u);
    EXPECT_EQ(rates_of(123).size(), 27u);
    EXPECT_EQ(rates_of(602).front(), 100000.0);
    EXPECT_EQ(kelmo_card_rates(999, nullptr, 0), 0);
    EXPECT_EQ(kelmo_card_rates(602, nullptr, 3), 0);
    EXPECT_NE(last_error().find("null pointer"), std::string::npos) << last_error();
    EXPECT_EQ(kelmo_card_rates(602, nullptr, -1), 0);
    double two[2] = {-1, -1};
    EXPECT_EQ(kelmo_card_rates(602, two, 1), 11);  // copies one, counts all
    EXPECT_EQ(two[1], -1);
}

TEST_F(CardOffer, OnlyGainsTheWholeNumberArgumentCarriesAreOffered) {
    EXPECT_EQ(gains_of(614), (std::vector<int>{1, 10, 100}));  // 0.5 has no code
    EXPECT_EQ(gains_of(885), (std::vector<int>{1, 2, 5, 10, 20, 50, 100}));
    EXPECT_EQ(gains_of(123).back(), 256);
    EXPECT_EQ(gains_of(800), std::vector<int>{1});
}

TEST_F(CardOffer, DividersRefuseWhatTheCardDoesNotSample) {
    uint32_t code = 0;
    double actual = 0;
    // A card behind the driver: the nearest read-back, within its limits.
    ASSERT_EQ(kelmo_card_divider(602, 50000, 1, &code, &actual), 1) << last_error();
    uint32_t presamp = 0;
    double back = 0;
    GetFre(602, code, &back, 1);
    EXPECT_EQ(actual, back);
    EXPECT_NEAR(actual, 50000, 50000 * 0.01);
    EXPECT_EQ(kelmo_card_divider(602, 1e6, 1, &code, &actual), 0);
    EXPECT_NE(last_error().find("it samples at 9.5375 to 102400 Hz"), std::string::npos) << last_error();
    EXPECT_EQ(kelmo_card_divider(602, 1000, 3, &code, &actual), 0);
    EXPECT_NE(last_error().find("1 to 2"), std::string::npos) << last_error();
    EXPECT_EQ(kelmo_card_divider(602, -5, 1, &code, &actual), 0);
    // Within the catalogue's limits but below what a 16-bit divider reaches
    // without the 32-fold mode: refused, not another rate.
    EXPECT_EQ(kelmo_card_divider(602, 10, 1, &code, &actual), 0);
    EXPECT_NE(last_error().find("10 Hz is below what the divider of card type 602 reaches over 1 channel(s), 152.59"),
              std::string::npos)
        << last_error();
    ASSERT_EQ(kelmo_card_divider(602, 200, 1, &code, &actual), 1) << last_error();
    EXPECT_EQ(code, 50000u);
    // A card outside the catalogue with a clock still has its divider.
    ASSERT_EQ(kelmo_card_divider(892, 20000, 3, &code, &actual), 1) << last_error();
    GetFre(892, code, &back, 3);
    EXPECT_EQ(actual, back);
    EXPECT_EQ(kelmo_card_rates(892, nullptr, 0), 0);
    EXPECT_EQ(kelmo_card_divider(999, 20000, 1, &code, &actual), 0);
    // A card without a read-back formula has no divider to compute.
    EXPECT_EQ(kelmo_card_divider(801, 1000, 1, &code, &actual), 0);
    // The simulated source chooses as PreSamp does, without changing its clock.
    ASSERT_EQ(kelmo_card_divider(123, 1000, 1, &code, &actual), 1);
    ASSERT_EQ(PreSamp(123, 1000, &presamp, &back), 1);
    EXPECT_EQ(code, presamp);
    EXPECT_EQ(actual, back);
    // The sound card: the rate it really records at, 8000 for divider 40.
    ASSERT_EQ(kelmo_card_divider(800, 8000, 1, &code, &actual), 1) << last_error();
    EXPECT_EQ(code, 40u);
    EXPECT_EQ(actual, 8000.0);
    EXPECT_EQ(kelmo_card_divider(800, 96000, 1, &code, &actual), 0);
    EXPECT_EQ(kelmo_card_divider(800, 30000, 1, &code, &actual), 0);  // would record 22050
    EXPECT_NE(last_error().find("records at 44100, 22050, 11025 or 8000 Hz"), std::string::npos) << last_error();
}

TEST_F(CardOffer, TheSoundCardOffersWhatItsDeviceRecords) {
    fake.sound.formats = 0x1 | 0x10 | 0x20;  // up to 22050 Hz, stereo there
    EXPECT_EQ(rates_of(800), (std::vector<double>{22050, 11025, 8000}));
    EXPECT_EQ(kelmo_block_limit(800, 1), 5887);
    EXPECT_EQ(kelmo_block_limit(800, 2), 2943);
    EXPECT_EQ(kelmo_block_limit(800, 3), 0);
    EXPECT_EQ(kelmo_block_limit(123, 32), INT_MAX);
    // Without a capture device it says so, and shows no message box.
    fake.sound.capsResult = 2;
    fake.messages.clear();
    EXPECT_EQ(kelmo_card_rates(800, nullptr, 0), 0);
    EXPECT_NE(last_error().find("no sound capture device"), std::string::npos) << last_error();
    EXPECT_EQ(kelmo_card_divider(800, 44100, 1, nullptr, nullptr), 0);
    EXPECT_EQ(kelmo_block_limit(800, 1), 0);
    EXPECT_TRUE(fake.messages.empty());
}

}  // namespace
}  // namespace kelmo::test
