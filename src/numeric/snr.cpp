// Signal-to-noise rating of amplitudes against the noise floor a card
// type can reach.
#include <cmath>

#include "core/card_types.h"
#include "core/reason.h"
#include "numeric/numeric.h"

namespace kelmo::numeric {
namespace {

// Attainable signal-to-noise ratio in dB of a card type, the code taken
// exactly as the host passes it.
double base_level(int cardType) { return cards::card_type(cardType).snrDb; }

}  // namespace

int check_snr(int cardType, int count, const double* a, int peakFlag, double d, double* level, double* b,
              double* score) {
    if (count <= 0) return 1;
    if (!require(a, "the companion values are a null pointer; pass an array of count (%d) doubles", count)) return 0;

    // Effective amplitudes are turned into peak amplitudes in the caller's array.
    if (peakFlag == 0 && b) {
        const double root2 = std::sqrt(2.0);
        for (int i = 0; i < count; ++i) b[i] = b[i] * root2;
    }

    const double base = base_level(cardType);
    for (int i = 0; i < count; ++i) {
        // 8 dB lost per decade of the companion value above 10 (NaN: none).
        const double v = a[i] > 10.0 ? base - 8.0 * std::log10(0.1 * a[i]) : base;
        if (level) level[i] = v;
        if (b && score) {
            const double r = 20.0 * std::log10(2.0 * b[i] / d);
            double s = (r + v) / (v - 20.0);
            if (s > 1.0) s = 1.0;
            if (s < 0.0 || std::isnan(s)) s = 0.0;
            score[i] = s;
        }
    }
    return 1;
}

}  // namespace kelmo::numeric
