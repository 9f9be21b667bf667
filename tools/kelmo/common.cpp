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

namespace {

// A list the library offers (kelmo_card_rates, kelmo_card_gains), asked
// once into room for every list there is today, again only if it grew.
template <class T>
std::vector<T> offered(int (*ask)(int, T*, int), int type) {
    std::vector<T> list(32);
    const int n = ask(type, list.data(), static_cast<int>(list.size()));
    list.resize(static_cast<std::size_t>(std::max(n, 0)));
    if (n > 32) ask(type, list.data(), n);
    return list;
}

}  // namespace

Card card_of(int type) {
    Card c;
    c.type = type;
    c.source = kelmo_card_source(type);
    if (c.source == KELMO_SOURCE_NONE) return c;
    // The offer first: a source that cannot say now (no capture device)
    // says why, where the catalogue would show a message box and describe
    // a device that could not be asked.
    c.rates = offered(kelmo_card_rates, type);
    if (c.rates.empty()) {
        c.why = library_cause("card type " + std::to_string(type) + " offers no rate");
        return c;
    }
    kelmo_card_rate_limits(type, &c.low, &c.high);
    c.gains = offered(kelmo_card_gains, type);
    GetADParameter(type, &c.channels, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &c.fullScale);
    // The second unit (a negative code) has no catalogue entry of its own.
    if (c.channels <= 0) c.source = KELMO_SOURCE_NONE;
    return c;
}

bool offers_gain(const Card& card, int gain) {
    return std::find(card.gains.begin(), card.gains.end(), gain) != card.gains.end();
}

std::string listed(const std::vector<int>& values) { return joined(values, ", ", ", "); }
std::string listed(const std::vector<double>& values) { return joined(values, ", ", " or "); }

bool set_up_divider(int type, double rate, int channels, Divided* d) {
    if (!kelmo_card_divider(type, rate, channels, &d->code, &d->rate)) return false;
    // The simulated source and the sound card run on the clock PreSamp sets.
    const int source = kelmo_card_source(type);
    if (source == KELMO_SOURCE_SIMULATED || source == KELMO_SOURCE_SOUND) {
        uint32_t code = 0;
        double actual = 0;
        PreSamp(type, rate, &code, &actual);
    }
    return true;
}

Divided divider_for(int type, double rate, int channels, const char* option) {
    Divided d;
    if (!set_up_divider(type, rate, channels, &d))
        usage(option, library_cause("card type " + std::to_string(type) + " has no divider for that rate"));
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
