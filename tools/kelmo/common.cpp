#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands.h"
#include "kelmo.h"
#include "../portable.h"

namespace kelmo::cli {

std::string to_utf8(const char* gbk) { return kelmo::tools::gbk_to_utf8(gbk); }

std::string library_reason(const std::string& fallback) {
    char why[1024] = {};
    kelmo_last_error(why, sizeof why);
    return why[0] ? std::string(why) : fallback;
}

void require_catalogued(int type, const char* option) {
    int channels = 0;
    GetADParameter(type, &channels, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (channels <= 0)
        throw CLI::ValidationError(option, "card type " + std::to_string(type) +
                                               " is not in the catalogue (kelmo cards lists them)");
}

// The cause of the library's last failure without the name of the export
// that failed: what a host's own sentence quotes.
std::string library_cause(const std::string& fallback) {
    std::string why = library_reason(fallback);
    if (const auto at = why.find(" failed: "); at != std::string::npos && why.find(' ') == at)
        why.erase(0, at + 9);
    return why;
}

Card card_of(int type) {
    Card c;
    c.type = type;
    c.source = kelmo_card_source(type);
    if (c.source == KELMO_SOURCE_NONE) return c;
    // The offer first: a source that cannot say now (no capture device)
    // says why, where the catalogue would show a message box and describe
    // a device that could not be asked.
    const int rates = kelmo_card_rates(type, nullptr, 0);
    if (rates <= 0) {
        c.why = library_cause("card type " + std::to_string(type) + " offers no rate");
        return c;
    }
    c.rates.resize(static_cast<std::size_t>(rates));
    kelmo_card_rates(type, c.rates.data(), rates);
    kelmo_card_rate_limits(type, &c.low, &c.high);
    const int gains = kelmo_card_gains(type, nullptr, 0);
    if (gains > 0) {
        c.gains.resize(static_cast<std::size_t>(gains));
        kelmo_card_gains(type, c.gains.data(), gains);
    }
    GetADParameter(type, &c.channels, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &c.fullScale);
    return c;
}

bool offers_gain(const Card& card, int gain) {
    return std::find(card.gains.begin(), card.gains.end(), gain) != card.gains.end();
}

namespace {
template <class T>
std::string list_of(const std::vector<T>& values, const char* last) {
    std::string s;
    for (std::size_t i = 0; i < values.size(); ++i) {
        char b[40];
        std::snprintf(b, sizeof b, "%s%.10g", i == 0 ? "" : i + 1 == values.size() ? last : ", ",
                      static_cast<double>(values[i]));
        s += b;
    }
    return s;
}
}  // namespace

std::string listed(const std::vector<int>& values) { return list_of(values, ", "); }
std::string listed(const std::vector<double>& values) { return list_of(values, " or "); }

Divided divider_for(int type, double rate, int channels, const char* option) {
    Divided d;
    if (!kelmo_card_divider(type, rate, channels, &d.code, &d.rate))
        usage(option, library_cause("card type " + std::to_string(type) + " has no divider for that rate"));
    // The simulated source and the sound card run on the clock PreSamp sets.
    const int source = kelmo_card_source(type);
    if (source == KELMO_SOURCE_SIMULATED || source == KELMO_SOURCE_SOUND) {
        uint32_t code = 0;
        double actual = 0;
        PreSamp(type, rate, &code, &actual);
    }
    return d;
}

// Where the library would find genwave: beside this program, then on PATH.
std::string find_genwave() {
    using namespace kelmo::tools;
    const std::string name = program_name("genwave"), dir = own_folder();
    for (const std::string& d : {dir, dir + ".." + kSlash, dir + ".." + kSlash + "bin" + kSlash})
        if (!d.empty() && is_program_file(d + name)) return d + name;
    const char* path = std::getenv("PATH");
    for (std::string rest = path ? path : ""; !rest.empty();) {
        const auto cut = rest.find(kPathSeparator);
        const std::string d = rest.substr(0, cut);
        if (!d.empty() && is_program_file(d + kSlash + name)) return d + kSlash + name;
        rest = cut == std::string::npos ? "" : rest.substr(cut + 1);
    }
    return {};
}

std::vector<std::string> published_parameters() {
    const std::string genwave = find_genwave();
    if (genwave.empty()) return {};
    return kelmo::tools::output_of(genwave, "--published");
}

}  // namespace kelmo::cli
