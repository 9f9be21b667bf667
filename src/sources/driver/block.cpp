#include "sources/driver/block.h"

#include <algorithm>
#include <cstddef>

#include "core/convert.h"

namespace kelmo::driver {

void deliver_block(int32_t type, uint32_t mult, uint32_t count, void* raw, void* out, bool rawWords) {
    if (rawWords) {
        auto* w = static_cast<uint16_t*>(out);
        const auto* r = static_cast<const uint16_t*>(raw);
        for (uint32_t j = 0; j < count; ++j) w[j] = r[std::size_t{mult} * j];
    } else if (mult == 32) {
        auto* v = static_cast<double*>(out);
        for (uint32_t j = 0; j < count; ++j)
            convert_block(type, v + j, static_cast<char*>(raw) + 64 * std::size_t{j}, 1, true, nullptr, nullptr);
    } else {
        int32_t maxIndex = 0, minIndex = 0;  // the extremes are not used here
        convert_block(type, static_cast<double*>(out), raw, static_cast<int32_t>(count), true, &maxIndex, &minIndex);
    }
}

uint64_t block_bytes(int32_t type, uint32_t mult, uint64_t count) {
    return std::max(count * mult * 2, count * raw_word_bytes(type));
}

}  // namespace kelmo::driver
