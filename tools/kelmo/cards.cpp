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

// What a list of the catalogue holds beyond what is offered, each once:
// "" when nothing.
// What a list of the catalogue holds beyond what is offered, each once.
template <class T, class U>
std::vector<double> not_offered(const T* listedValues, int n, const std::vector<U>& offered) {
    std::vector<double> beyond;
    for (int i = 0; i < n; ++i) {
        const double v = static_cast<double>(listedValues[i]);
        if (std::find(offered.begin(), offered.end(), v) == offered.end() &&
            std::find(beyond.begin(), beyond.end(), v) == beyond.end())
            beyond.push_back(v);
    }
    return beyond;
}

// A card's line: what the library offers of it (the rates it samples at,
// the gains a host can ask for), and what the catalogue lists beyond that.
void print_card(int type) {
    int channels = 0, gainCount = 0, freqCount = 0, aux = 0, fullScale = 0, wordBytes = 0;
    double gains[10] = {}, high = 0, low = 0;
    int freqs[27] = {};
    GetADParameter(type, &channels, gains, &gainCount, freqs, &freqCount, &aux, &high, &low, &fullScale);
    GetCardWordType(type, &wordBytes);
    const Card card = card_of(type);
    const std::string g = joined(card.gains, ",", ","), r = joined(card.rates, ",", ",");
    const std::string gainsBeyond = joined(not_offered(gains, std::clamp(gainCount, 0, 10), card.gains), ",", ",");
    const std::string ratesBeyond = joined(not_offered(freqs, std::clamp(freqCount, 0, 27), card.rates), ",", ",");
    std::printf("%5d %4d %12.6g %12.6g %9d %5d B  gains %s\n%30s frequencies (Hz) %s\n", type, channels, card.high,
                card.low, fullScale, wordBytes, g.c_str(), "", r.c_str());
    if (!gainsBeyond.empty())
        std::printf("%30s the catalogue also lists gain %s, which the exports' whole-number gain cannot ask for\n", "",
                    gainsBeyond.c_str());
    if (!ratesBeyond.empty())
        std::printf("%30s the catalogue's list also holds %s Hz, beyond what the card samples at\n", "",
                    ratesBeyond.c_str());
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
