// kelmo dividers: the divider the library chooses for a wanted rate (for a
// card behind the driver, the one whose read-back comes nearest), the rate
// it really samples at, and the rate GetFre reads back from it.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "kelmo.h"
#include "values.h"

namespace kelmo::cli {

void add_dividers(CLI::App& app) {
    auto* cmd = app.add_subcommand("dividers", "For each wanted rate, the divider a card runs at and the rate it "
                                               "then really samples at");
    static std::vector<int> types{123};
    static std::vector<std::string> rateTexts{"1", "100", "1k", "5k", "10k", "30k", "44100", "1M", "100M"};
    static int channels = 1;
    cmd->add_option("-t,--type", types, "Card types (123 or 124 the simulated source, 800 the sound card)")
        ->capture_default_str();
    cmd->add_option("-r,--rate", rateTexts, "Wanted sampling rates in Hz, with k or M: 10k, 1.5M")
        ->capture_default_str();
    cmd->add_option("-n,--channels", channels, "How many channels are acquired (a card's rate may depend on it)")
        ->capture_default_str();
    cmd->callback([] {
        for (int t : types) require_catalogued(t, "--type");
        std::vector<double> rates;
        for (const std::string& text : rateTexts) {
            const auto r = parse_si(text);
            if (!r || !(*r > 0))
                throw CLI::ValidationError("--rate", "'" + text + "' is not a rate above 0 Hz (for example 10k)");
            rates.push_back(*r);
        }
        if (channels < 1) throw CLI::ValidationError("--channels", "give at least one channel");
        std::printf(" type      wanted Hz     freqCode      actual Hz   read back Hz  mode\n");
        for (int t : types) {
            for (double r : rates) {
                // The divider the library chooses and the rate the card then
                // really samples at; GetFre's read-back of that divider
                // beside it (the sound card's divider 40 records at 8000 Hz,
                // which GetFre reads as 8820).
                Divided d;
                double back = 0;
                if (!set_up_divider(t, r, channels, &d)) {
                    std::printf("%5d %14.6g            -              -              -     -  %s\n", t, r,
                                library_cause().c_str());
                    continue;
                }
                const uint32_t code = d.code;
                const double actual = d.rate;
                const int mode = GetFre(t, code, &back, channels);
                char backText[32] = "-";
                if (std::isfinite(back) && back > 0) std::snprintf(backText, sizeof backText, "%.8g", back);
                std::printf("%5d %14.6g %12u %14.8g %14s %5d\n", t, r, code, actual, backText, mode);
            }
        }
    });
}

}  // namespace kelmo::cli
