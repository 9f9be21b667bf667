#include "sources/offer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "core/card_type.h"
#include "core/card_types.h"
#include "core/catalogue.h"
#include "core/presamp.h"
#include "core/reason.h"
#include "core/share_block.h"

namespace kelmo {
namespace {

// A rate within a limit, allowing for the rounding of a rate written in
// decimals (333333.333... Hz).
constexpr double kSlack = 1e-9;
// The largest divider a request carries (16 bits).
constexpr double kMostDivider = 65535.0;

bool within(double rate, double lowest, double highest) {
    return rate >= lowest * (1 - kSlack) && rate <= highest * (1 + kSlack);
}

std::string hz_list(const std::vector<double>& rates) {
    std::string s;
    for (std::size_t i = 0; i < rates.size(); ++i) {
        char b[32];
        std::snprintf(b, sizeof b, "%s%.10g", i == 0 ? "" : i + 1 == rates.size() ? " or " : ", ", rates[i]);
        s += b;
    }
    return s;
}

}  // namespace

void because_not_catalogued(int32_t cardType) {
    because("card type %d is not in the catalogue; kelmo cards (or GetADParameter for each code) lists the card "
            "types there are", static_cast<int>(cardType));
}

std::optional<Offer> offer_of(int32_t cardType) {
    const UnitCode unit = unit_code(cardType);
    Offer o;
    o.type = unit.type;
    if (const auto block = keep_share_block(false)) o.clockFlag = block->word(kWordClockFlag);
    const catalogue::Row* row = catalogue::find_row(unit.type);
    if (!row) {
        // A card behind the driver that the catalogue lacks (the 32-bit
        // cards) still has the divider its clock reads back: no list, no
        // limit but its clock, as many channels as a request can name.
        o.channels = 256;
        if (cards::card_type(unit.type).source == cards::SourceKind::Driver &&
            read_back_frequency(unit.type, 1, 1, o.clockFlag, 1.0, &o.highest) && o.highest > 0)
            return o;
        because_not_catalogued(cardType);
        return std::nullopt;
    }
    // The alias codes acquire 32 channels whatever the row of their card.
    o.channels = is_alias_code(code_magnitude(cardType)) ? 32 : row->channels;
    o.lowest = row->lowFreq;
    o.highest = row->highFreq;
    for (int32_t f : catalogue::frequencies(row->freqs, o.clockFlag))
        if (std::find(o.rates.begin(), o.rates.end(), double(f)) == o.rates.end()) o.rates.push_back(f);
    // The exports take a whole gain of 1 or more: a fractional one of the
    // catalogue has no code that could carry it.
    for (double g : row->gains)
        if (g >= 1 && g == std::floor(g) && g <= 32767) o.gains.push_back(static_cast<int32_t>(g));
    std::sort(o.gains.begin(), o.gains.end());
    if (!source_for(unit.type).refine_offer(o)) return std::nullopt;
    // A list shared by a family of cards holds rates above what this one
    // samples at (a sound card's, above what its device records): those
    // are not offered.
    std::erase_if(o.rates, [&](double r) { return !within(r, o.lowest, o.highest); });
    std::sort(o.rates.begin(), o.rates.end(), std::greater<>());
    return o;
}

bool offered_divider(const Offer& o, double rate, int32_t channels, Divider* out) {
    if (!require(channels >= 1 && channels <= o.channels, "%d channels were asked for; card type %d acquires 1 to %d",
                 static_cast<int>(channels), static_cast<int>(o.type), static_cast<int>(o.channels)))
        return false;
    Source& source = source_for(o.type);
    if (source.chooses_divider()) {
        if (!require(std::isfinite(rate) && within(rate, o.lowest, o.highest),
                     "%g Hz is not a rate of card type %d; it samples at %g to %g Hz (%s)", rate,
                     static_cast<int>(o.type), o.lowest, o.highest,
                     o.rates.size() <= 4 ? ("records at " + hz_list(o.rates) + " Hz").c_str() : "any rate between"))
            return false;
        *out = source.offered_divider(o, rate);
        // A source that keeps to a few rates (the sound card) would sample
        // at another one.
        if (!require(std::abs(out->actual - rate) <= rate * 1e-3,
                     "%g Hz is not a rate of card type %d; it records at %s Hz", rate, static_cast<int>(o.type),
                     hz_list(o.rates).c_str()))
            return false;
        return true;
    }
    // A card behind the driver: the limits of its catalogue entry, and the
    // divider whose read-back comes nearest.
    const std::string listedRates = o.rates.empty() ? "" : " (" + hz_list(o.rates) + " are its listed rates)";
    if (!require(std::isfinite(rate) && rate > 0 && within(rate, o.lowest, o.highest),
                 "%g Hz is not a rate of card type %d; it samples at %g to %g Hz%s", rate, static_cast<int>(o.type),
                 o.lowest, o.highest, listedRates.c_str()))
        return false;
    double base = 0;
    if (!read_back_frequency(o.type, 1, channels, o.clockFlag, 1.0, &base) || !(base > 0) || !std::isfinite(base)) {
        because("card type %d has no divider the library can compute; pass one of the dividers its driver "
                "documents%s", static_cast<int>(o.type), listedRates.c_str());
        return false;
    }
    // A 16-bit divider: a rate it cannot reach would be another rate.
    const double slowest = base / kMostDivider;
    if (!require(rate >= slowest * (1 - kSlack),
                 "%g Hz is below what the divider of card type %d reaches over %d channel(s), %g Hz; choose that "
                 "or a higher rate", rate, static_cast<int>(o.type), static_cast<int>(channels), slowest))
        return false;
    out->freqCode = static_cast<uint32_t>(std::clamp(std::round(base / rate), 1.0, kMostDivider));
    read_back_frequency(o.type, out->freqCode, channels, o.clockFlag, 1.0, &out->actual);
    return true;
}

int32_t offered_block_limit(const Offer& o, int32_t channels) {
    if (!require(channels >= 1 && channels <= o.channels, "%d channels were asked for; card type %d acquires 1 to %d",
                 static_cast<int>(channels), static_cast<int>(o.type), static_cast<int>(o.channels)))
        return 0;
    const int32_t most = source_for(o.type).most_block_samples();
    return most == INT32_MAX ? most : most / channels;
}

}  // namespace kelmo
