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

Card card_of(int type) {
    Card c;
    GetADParameter(type, &c.channels, c.gains, &c.gainCount, nullptr, nullptr, nullptr, &c.high, &c.low,
                   &c.fullScale);
    c.gainCount = std::clamp(c.gainCount, 0, 10);
    return c;
}

bool offers_gain(const Card& card, double gain) {
    return card.gainCount == 0 || std::find(card.gains, card.gains + card.gainCount, gain) != card.gains + card.gainCount;
}

std::string gains_offered(const Card& card) {
    std::string offered;
    for (int i = 0; i < card.gainCount; ++i) {
        char g[32];
        std::snprintf(g, sizeof g, "%s%g", i ? ", " : "", card.gains[i]);
        offered += g;
    }
    return offered;
}

// A card behind the driver takes its divider from the host: the one whose
// read-back rate comes nearest the wanted rate (16 bits at most). 0 when the
// card type has no read-back formula.
void require_sound_rate(const std::string& given, const std::optional<double>& rate) {
    if (!rate || std::find(std::begin(kSoundRates), std::end(kSoundRates), *rate) == std::end(kSoundRates))
        usage("--rate", "'" + given + "': the sound card records at 44100, 22050, 11025 or 8000 Hz");
}

uint32_t card_divider(int type, double rate, int channels, double* actual) {
    double base = 0.0;
    GetFre(type, 1, &base, channels);
    if (!(base > 0.0) || !(rate > 0.0) || !std::isfinite(base)) return 0;
    const double d = std::clamp(std::round(base / rate), 1.0, 65535.0);
    const auto code = static_cast<uint32_t>(d);
    GetFre(type, code, actual, channels);
    return code;
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
