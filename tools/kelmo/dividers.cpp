// kelmo dividers: the divider PreSamp chooses for a wanted rate, and the
// rate GetFre reads back from it.
#include <cstdio>
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
        std::printf(" type      wanted Hz     freqCode      actual Hz   read back Hz  mode\n");
        for (int t : types) {
            for (double r : rates) {
                uint32_t code = 0;
                double actual = 0, back = 0;
                const int ok = PreSamp(t, r, &code, &actual);
                const int mode = GetFre(t, code, &back, channels);
                std::printf("%5d %14.6g %12u %14.8g %14.8g %5d%s\n", t, r, code, actual, back, mode,
                            ok ? "" : "  (status block unavailable)");
            }
        }
    });
}

}  // namespace kelmo::cli
