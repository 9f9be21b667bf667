// kelmo dividers: the divider PreSamp chooses for a wanted rate (for a card
// behind the driver, the one whose read-back comes nearest), and the rate
// GetFre reads back from it.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "kelmo.h"

namespace kelmo::cli {

void add_dividers(CLI::App& app) {
    auto* cmd = app.add_subcommand("dividers", "Print the divider (freqCode) that PreSamp chooses for each rate "
                                               "and the frequency GetFre reads back from it");
    static std::vector<int> types{123};
    static std::vector<double> rates{1, 100, 1000, 5000, 10000, 30000, 44100, 1e6, 1e8};
    static int channels = 1;
    cmd->add_option("-t,--type", types, "Card types (123/124 simulated, 800 sound card)")->capture_default_str();
    cmd->add_option("-r,--rate", rates, "Wanted sampling rates in Hz")->capture_default_str();
    cmd->add_option("-n,--channels", channels, "Channel count given to GetFre")->capture_default_str();
    cmd->callback([] {
        for (int t : types) require_catalogued(t, "--type");
        for (double r : rates)
            if (!(r > 0) || !std::isfinite(r)) throw CLI::ValidationError("--rate", "rates must be above 0 Hz");
        if (channels < 1) throw CLI::ValidationError("--channels", "must be 1 or more");
        std::printf(" type      wanted Hz     freqCode      actual Hz   read back Hz  mode\n");
        for (int t : types) {
            for (double r : rates) {
                uint32_t code = 0;
                double actual = 0, back = 0;
                const int ok = PreSamp(t, r, &code, &actual);
                // A card behind the driver leaves the choice to the host.
                if (code == 0) code = card_divider(t, r, channels, &actual);
                const int mode = GetFre(t, code, &back, channels);
                // A divider the card cannot read back (0: the source chooses
                // none) has no rate.
                char backText[32] = "-";
                if (std::isfinite(back) && back > 0) std::snprintf(backText, sizeof backText, "%.8g", back);
                std::printf("%5d %14.6g %12u %14.8g %14s %5d%s\n", t, r, code, actual, backText, mode,
                            ok ? "" : "  (status block unavailable)");
            }
        }
    });
}

}  // namespace kelmo::cli
