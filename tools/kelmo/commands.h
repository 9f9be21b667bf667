// Subcommands of the kelmo host.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelmo::cli {

void add_scan(CLI::App& app);
void add_cards(CLI::App& app);
// A usage error (exit 2) naming `option` unless `type` is in the catalogue.
void require_catalogued(int type, const char* option);
// What the catalogue says of a card type (GetADParameter); channels 0 when
// the type is not in it.
struct Card {
    int channels = 0;
    double high = 0, low = 0;
    int fullScale = 0;
    double gains[10] = {};
    int gainCount = 0;
};
Card card_of(int type);
// Whether `gain` is one of the card's gains (any is, when it lists none).
bool offers_gain(const Card& card, double gain);
// The card's gains as a list for a person: "1, 2, 4".
std::string gains_offered(const Card& card);
// A usage error (exit 2) naming `option` and what it takes.
[[noreturn]] inline void usage(const std::string& option, const std::string& what) {
    throw CLI::ValidationError(option, what);
}
// The rates a sound card records at.
inline constexpr double kSoundRates[] = {44100, 22050, 11025, 8000};
// A usage error naming --rate unless `rate` (read from `given`) is one of
// them; whether the capture device records at it is its own answer, when
// the run starts.
void require_sound_rate(const std::string& given, const std::optional<double>& rate);
// A card behind the driver takes its divider from the host: the one whose
// read-back rate comes nearest `rate` (0 when the card reads none back).
uint32_t card_divider(int type, double rate, int channels, double* actual);
// A text of the library (GBK code page) as UTF-8 for the terminal.
std::string to_utf8(const char* gbk);
// Why the library's last call failed (kelmo_last_error), else `fallback`.
std::string library_reason(const std::string& fallback = "");
// Where the library would find genwave: beside this program, then on PATH
// ("" when nowhere).
std::string find_genwave();
// The parameters the simulated source's genwave publishes now, one line
// per entry in use ("entry  0  cosine …"); none when none are published.
std::vector<std::string> published_parameters();
void add_dividers(CLI::App& app);
void add_acquire(CLI::App& app);
// kelmo view (in builds with Boost.Beast).
void add_view(CLI::App& app);

}  // namespace kelmo::cli
