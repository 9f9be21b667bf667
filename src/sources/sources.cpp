// Which source serves a call: the one its card type's descriptor names.
#include "core/card_types.h"
#include "core/share_block.h"
#include "sources/driver/driver_source.h"
#include "sources/sim/runs.h"
#include "sources/sim/simulated.h"
#include "sources/sim/state.h"
#include "sources/sound/sound_source.h"
#include "sources/sound/state.h"
#include "sources/source.h"

namespace kelmo {

Source& source_for(const cards::CardType& card, Route route) {
    cards::SourceKind kind = card.source;
    if (route == Route::Ex && card.exSource) kind = *card.exSource;
    if (route == Route::Recover && card.recoverSource) kind = *card.recoverSource;
    switch (kind) {
        case cards::SourceKind::Simulated: return sim::simulated_source();
        case cards::SourceKind::SoundCard: return sound::sound_source();
        case cards::SourceKind::Driver: break;
    }
    return driver::driver_source();
}

Source& source_for(int32_t type) { return source_for(cards::card_type(type)); }

void reset_process_state_for_tests() {
    forget_kept_views_for_tests();
    sim::process_state() = sim::State{};
    sim::forget_runs_for_tests();
    sound::process_state() = sound::State{};
}

}  // namespace kelmo
