// Which source serves a card type: the one its descriptor names.
#include "core/card_types.h"
#include "sources/driver/driver_source.h"
#include "sources/sim/simulated.h"
#include "sources/sound/sound_source.h"
#include "sources/source.h"

namespace kelmo {

Source& source_for(int32_t type) {
    switch (cards::card_type(type).source) {
        case cards::SourceKind::Simulated: return sim::simulated_source();
        case cards::SourceKind::SoundCard: return sound::sound_source();
        case cards::SourceKind::Driver: break;
    }
    return driver::driver_source();
}

}  // namespace kelmo
