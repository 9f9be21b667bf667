#include "raw_words.h"

#include <algorithm>
#include <cmath>

#include "kelmo.h"

namespace kelmo::cli {

std::optional<RawWords> raw_line(int type, int bytes) {
    const int bits = bytes * 8;
    auto value = [&](int64_t word) {
        uint32_t w32 = static_cast<uint32_t>(word);
        uint16_t w16 = static_cast<uint16_t>(word);
        double v = 0;
        convert(type, &v, bytes == 4 ? static_cast<void*>(&w32) : static_cast<void*>(&w16), 1, 1, nullptr, nullptr);
        return v;
    };
    for (const int span : {bits, bits == 16 ? 12 : 24})
        for (const bool isSigned : {true, false}) {
            const int64_t low = isSigned ? -(int64_t{1} << (span - 1)) : 0;
            const int64_t high = isSigned ? (int64_t{1} << (span - 1)) - 1 : (int64_t{1} << span) - 1;
            RawWords r{bytes, isSigned, value(1) - value(0), value(0)};
            if (!(r.scale != 0) || !std::isfinite(r.scale)) return std::nullopt;  // no conversion at all
            bool straight = true;
            for (const int64_t w : {low, low + 1, int64_t{-1}, int64_t{2}, high / 2, high / 2 + 1, high - 1, high}) {
                if (w < low || w > high) continue;
                straight = straight && on_line(r, double(w), value(w));
            }
            if (straight) return r;
        }
    return std::nullopt;
}

}  // namespace kelmo::cli
