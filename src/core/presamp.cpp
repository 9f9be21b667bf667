#include "core/presamp.h"

#include "core/card_types.h"
#include "core/numconv.h"

namespace kelmo {

bool read_back_frequency(int32_t type, uint32_t freqCode, int32_t n, int32_t clockFlag, double simScale, double* hz) {
    const cards::CardType c = cards::card_type(type);
    const double d = static_cast<double>(freqCode);
    const double ch = static_cast<double>(n);
    double f;
    switch (c.readBack) {
        case cards::ReadBack::NoFormula: return false;
        case cards::ReadBack::ScaledClock: f = c.clock / d / simScale; break;
        case cards::ReadBack::Fixed: f = c.clock / d; break;
        case cards::ReadBack::PerChannel: f = c.clock / d / ch; break;
        case cards::ReadBack::PerChannelClockFlag: f = (clockFlag == -1 ? 8192000.0 : 10000000.0) / d / ch; break;
        case cards::ReadBack::PerChannelPair:
            f = c.clock / d / static_cast<double>((static_cast<int64_t>(n) + 1) / 2);
            break;
        default: return false;
    }
    *hz = f;
    return true;
}

}  // namespace kelmo
