#include "sources/driver/block.h"

#include <cstddef>
#include <cstring>

#include "core/convert.h"

namespace kelmo::driver {

void deliver_block(const UnitFrame& f, uint32_t mult, uint32_t count, void* raw, void* out, Delivery delivery) {
    const std::size_t w = f.raw_word_bytes();
    const auto* r = static_cast<const unsigned char*>(raw);
    if (delivery == Delivery::Words) {
        auto* o = static_cast<unsigned char*>(out);
        for (uint32_t j = 0; j < count; ++j) std::memcpy(o + w * j, r + w * mult * j, w);
    } else if (mult == 32) {
        auto* v = static_cast<double*>(out);
        for (uint32_t j = 0; j < count; ++j)
            convert_block(f.conversion, v + j, const_cast<unsigned char*>(r) + w * 32 * j, 1, true, nullptr, nullptr);
    } else {
        int32_t maxIndex = 0, minIndex = 0;  // the extremes are not used here
        convert_block(f.conversion, static_cast<double*>(out), raw, static_cast<int32_t>(count), true, &maxIndex,
                      &minIndex);
    }
}

}  // namespace kelmo::driver
