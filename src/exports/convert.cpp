// convert.
#include "core/convert.h"
#include "exports/guard.h"
#include "kelmo.h"

using namespace kelmo;

extern "C" {

KELMO_API int KELMO_CALL convert(int cardType, double* values, void* raw, int n, int direction, int* maxIndex,
                                 int* minIndex) {
    return guarded(0, [&] {
        if (n > 0 && (!values || !raw)) return 0;
        return convert_block(cardType, values, raw, n, direction != 0, maxIndex, minIndex);
    });
}

}  // extern "C"
