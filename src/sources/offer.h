// What a card type offers a host, as the library applies it: the rates it
// samples at and their limits, the gains the exports' whole-number gain
// argument can ask for, the divider for a rate, and how long one block of
// a continuous acquisition may be. The catalogue says what a card is; this
// says what a host may ask of it, in one place for every host.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sources/source.h"

namespace kelmo {

struct Offer {
    int32_t type = 0;            // the effective card type
    int32_t channels = 0;
    double lowest = 0, highest = 0;  // Hz; lowest 0: the divider's range is the limit
    std::vector<double> rates;   // Hz, descending, each once, within the limits
    std::vector<int32_t> gains;  // ascending
    int32_t clockFlag = 0;       // word 2 of the unit's block, for the read-back
};

// The offer of a card type as a host passes it (a negative code is the
// second unit of the same card); nothing, with the cause recorded, when
// the card type is not in the catalogue or its source cannot say now (a
// sound card without a capture device).
std::optional<Offer> offer_of(int32_t cardType);

// Records that `cardType` is not in the catalogue, and what lists them.
void because_not_catalogued(int32_t cardType);

// The divider for `rate` Hz over `channels` channels and the rate it
// really samples at; false with the cause recorded when the card does not
// sample at that rate. The simulated source and the sound card choose as
// PreSamp does (which a host still calls: it sets the clock the divider
// runs on); a card behind the driver takes the divider whose read-back
// comes nearest.
bool offered_divider(const Offer& offer, double rate, int32_t channels, Divider* out);

// The most samples per channel that one block of a continuous acquisition
// of `channels` channels may hold; 0 with the cause recorded for a count
// of channels the card cannot acquire.
int32_t offered_block_limit(const Offer& offer, int32_t channels);

}  // namespace kelmo
