// kelmo cards: the card catalogue as the library reports it.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "kelmo.h"

namespace kelmo::cli {
namespace {

template <class T>
std::string join(const T* v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) {
        if (i) s += ',';
        char b[32];
        std::snprintf(b, sizeof b, "%.10g", static_cast<double>(v[i]));
        s += b;
    }
    return s;
}

void print_card(int type) {
    int channels = 0, gainCount = 0, freqCount = 0, aux = 0, fullScale = 0, wordBytes = 0;
    double gains[10] = {}, high = 0, low = 0;
    int freqs[27] = {};
    GetADParameter(type, &channels, gains, &gainCount, freqs, &freqCount, &aux, &high, &low, &fullScale);
    GetCardWordType(type, &wordBytes);
    std::printf("%5d %4d %12.6g %12.6g %9d %5d B  gains %s\n%30s frequencies (Hz) %s\n", type, channels, high,
                low, fullScale, wordBytes, join(gains, gainCount).c_str(), "", join(freqs, freqCount).c_str());
}

}  // namespace

void add_cards(CLI::App& app) {
    auto* cmd = app.add_subcommand("cards", "The card types kelmo knows: channels, gains, sampling rates and "
                                            "their limits, full scale and raw word size of each");
    static std::vector<int> types;
    static bool withSound = false;
    cmd->add_option("-t,--type", types, "Card types to show (default: all of them)");
    cmd->add_flag("--sound", withSound, "Include the sound card (800), which asks the capture device");
    cmd->callback([] {
        for (int t : types) require_catalogued(t, "--type");
        // The sound card's range follows the recording input's volume,
        // which its check reads; without a capture device it has none.
        bool soundMissing = false;
        if (withSound || std::find(types.begin(), types.end(), 800) != types.end()) {
            char text[131] = "";
            int status = 0;
            if (!Checkcard(800, text, &status)) {
                std::fprintf(stderr, "kelmo: the sound card (800) cannot be used: %s\n",
                             library_reason(to_utf8(text)).c_str());
                soundMissing = true;
            }
        }
        std::printf(" type   ch  highest Hz    lowest Hz  full scale  word\n");
        if (!types.empty()) {
            for (int t : types)
                if (t != 800 || !soundMissing) print_card(t);
        } else {
            for (int t = 1; t < 1000; ++t) {
                if (t == 800 && (!withSound || soundMissing)) continue;
            if (t >= KELMO_FIRST_ALIAS_CODE && t <= KELMO_LAST_ALIAS_CODE) continue;  // each is another code
            int channels = 0;
            GetADParameter(t, &channels, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
                if (channels > 0) print_card(t);
            }
        }
        if (soundMissing) throw CLI::RuntimeError(1);
    });
}

}  // namespace kelmo::cli
