// kelmo scan: which sources can be used right now, without starting any.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands.h"
#include "kelmo.h"
#include "output.h"
#include "../portable.h"

namespace kelmo::cli {

void add_scan(CLI::App& app) {
    auto* cmd = app.add_subcommand("scan", "Which sources can be used right now: the simulated source, the "
                                           "acquisition device and the sound card (nothing is started)");
    cmd->callback([] {
        const bool published = kelmo::tools::shared_memory_exists("Vort123SigPara");
        const std::string genwave = find_genwave();
        std::printf("simulated source (123, 124): %s; genwave %s\n",
                    published ? "a signal source publishes its parameters (ready)"
                              : "no parameters published (Checkcard starts genwave)",
                    genwave.empty() ? "not found beside kelmo or on PATH" : ("at " + genwave).c_str());

        uint16_t port = 0;
        flush_standard_output();
        const bool device = GetPrintPortStatus(&port) == 1;
        // Why, on the same stream as the answer.
        std::printf("acquisition cards: device ZEB1 %s%s\n", device ? "answers" : "cannot be reached: ",
                    device ? "" : library_reason().c_str());

        // The sound card counts only where its capture device opens.
        char text[131] = {};
        int status = 0;
        flush_standard_output();
        const bool sound = Checkcard(800, text, &status) == 1;
        const std::string soundWhy = sound ? "" : library_cause(to_utf8(text));  // before the next call
        const Card card = sound ? card_of(800) : Card{};
        if (sound && !card.rates.empty() && card.channels > 0) {
            std::printf("sound card (800): capture device with up to %d channels at up to %g Hz\n", card.channels,
                        card.high);
        } else {
            std::printf("sound card (800): no capture device (%s)\n", sound ? card.why.c_str() : soundWhy.c_str());
        }
    });
}

}  // namespace kelmo::cli
