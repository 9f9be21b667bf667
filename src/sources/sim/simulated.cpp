// The simulated source's set-up: its divider, its presence check (the
// signal-source program publishes the parameter block) and its entry of the
// extended catalogue.
#include "sources/sim/simulated.h"

#include <cstdio>
#include <string>

#include "core/catalogue.h"
#include "core/reason.h"
#include "platform/platform.h"
#include "sources/offer.h"
#include "sources/sim/clock.h"
#include "sources/sim/param_block.h"
#include "sources/sim/state.h"
#include "sources/sim/synthesis.h"

namespace kelmo::sim {
namespace {

constexpr const char* kSignalSourceProgram = "GENWAVE";
constexpr uint32_t kPublishWaitMs = 5000;  // how long a started program may take

void set_text(char* text, const std::string& s) { std::snprintf(text, kCheckTextBytes, "%s", s.c_str()); }

bool param_block_published() {
    return platform::current().shm.shm_use_existing(kParamBlockName, kParamBlockBytes, platform::Access::ReadOnly) !=
           nullptr;
}

// Waits, sleeping, until the signal-source program has published its
// parameter block; false when it has not done so in time.
bool wait_for_param_block() {
    auto& p = platform::current();
    const uint32_t t0 = p.clock.tick_count();
    for (;;) {
        if (param_block_published()) return true;
        if (p.clock.tick_count() - t0 >= kPublishWaitMs) return false;
        p.clock.sleep_us(10000);
    }
}

}  // namespace

State& process_state() {
    static State s;
    return s;
}

Divider SimulatedSource::choose_divider(double frequency) {
    const SimDivider s = sim_divider(frequency);
    process_state().clockScale = s.clockScale;
    return {s.freqCode, s.actual};
}

Divider SimulatedSource::offered_divider(const Offer&, double rate) {
    const SimDivider s = sim_divider(rate);
    return {s.freqCode, s.actual};
}

// The source is ready once its parameter block is published: when it is
// missing the signal-source program is started and waited for.
int SimulatedSource::check(char* text, int*) {
    process_state().randomSeed = 100;
    if (param_block_published()) return 1;
    auto& p = platform::current();
    if (!p.system.start_program(kSignalSourceProgram)) {
        const std::string why = std::string(kSignalSourceProgram) + " could not be started; looked for " +
                                p.system.program_search_note(kSignalSourceProgram);
        set_text(text, why);
        because("the simulated source needs its signal source: %s; install genwave there or start it yourself",
                why.c_str());
        return 0;
    }
    if (!wait_for_param_block()) {
        const std::string why = std::string(kSignalSourceProgram) +
                                " was started but published no parameters within " +
                                std::to_string(kPublishWaitMs / 1000) + " s";
        set_text(text, why);
        because("the simulated source needs its signal source: %s (as %s); look at what genwave printed, or "
                "start it yourself",
                why.c_str(), p.shm.shm_where(kParamBlockName).c_str());
        return 0;
    }
    return 1;
}

std::optional<ExtendedRow> SimulatedSource::extended_row(int32_t type) {
    const catalogue::Row* row = catalogue::find_row(type);
    if (!row) return std::nullopt;
    return ExtendedRow{32,  0, 1, 1, form_of(cards::card_type(type), true) == Form::W32 ? 4 : 2, kClock, 0.001, 5000, row->gains,
                       catalogue::frequencies(row->freqs, 0)};
}

Source& simulated_source() {
    static SimulatedSource source;
    return source;
}

}  // namespace kelmo::sim
