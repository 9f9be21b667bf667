// convert.
#include "core/card_types.h"
#include "core/convert.h"
#include "exports/guard.h"
#include "kelmo.h"
#include "sources/source.h"

using namespace kelmo;

extern "C" {

KELMO_API int KELMO_CALL convert(int cardType, double* values, void* raw, int n, int direction, int* maxIndex,
                                 int* minIndex) {
    return guarded("convert", 0, [&] {
        if (!require(values || n <= 0, "the values array is a null pointer; pass an array of n (%d) doubles", n) ||
            !require(raw || n <= 0, "the raw words array is a null pointer; pass an array of n (%d) raw words", n))
            return 0;
        // The sound card's words scale with the recording input's gain.
        const Conversion c = cards::conversion_of(cardType, source_for(cardType).conversion_gain());
        return convert_block(c, values, raw, n, direction != 0, maxIndex, minIndex);
    });
}

}  // extern "C"
