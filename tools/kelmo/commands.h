// Subcommands of the kelmo host.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kelmo.h"

namespace kelmo::cli {

// A usage error (exit 2) naming `option` and what it takes.
[[noreturn]] inline void usage(const std::string& option, const std::string& what) {
    throw CLI::ValidationError(option, what);
}

void add_scan(CLI::App& app);
void add_cards(CLI::App& app);
// A usage error (exit 2) naming `option` unless `type` is in the catalogue.
void require_catalogued(int type, const char* option);
// What a card type is and offers, as the library says and applies it: the
// source (KELMO_SOURCE_NONE: not in the catalogue), the rates and the gains
// a host may ask for and the rate limits from the library's offer,
// channels and full scale from the catalogue (GetADParameter). When the
// source cannot say now (a sound card without a capture device) there are
// no rates, no channels, and `why` says why.
struct Card {
    int type = 0;
    int source = KELMO_SOURCE_NONE;
    int channels = 0;
    double high = 0, low = 0;
    int fullScale = 0;
    std::vector<double> rates;
    std::vector<int> gains;
    std::string why;
};
Card card_of(int type);
// Whether `gain` is one the card offers.
bool offers_gain(const Card& card, int gain);
// Numbers joined by `separator`, the last one by `last` ("1,2,4").
template <class T>
std::string joined(const std::vector<T>& values, const char* separator, const char* last) {
    std::string s;
    for (std::size_t i = 0; i < values.size(); ++i) {
        char b[40];
        std::snprintf(b, sizeof b, "%s%.10g", i == 0 ? "" : i + 1 == values.size() ? last : separator,
                      static_cast<double>(values[i]));
        s += b;
    }
    return s;
}
// A list for a person: "1, 2, 4" (or "44100, 22050 or 8000").
std::string listed(const std::vector<int>& values);
std::string listed(const std::vector<double>& values);
// The divider for `rate` Hz over `channels` channels and the rate it
// really samples at (kelmo_card_divider); a usage error naming `option`
// with the library's reason when the card does not sample at that rate.
// A source that chooses its own divider has it set up by PreSamp too.
struct Divided {
    uint32_t code = 0;
    double rate = 0;
};
Divided divider_for(int type, double rate, int channels, const char* option);
// The same without the usage error: false (the library's reason kept)
// when the card does not sample at that rate.
bool set_up_divider(int type, double rate, int channels, Divided* d);
// A text of the library (GBK code page) as UTF-8 for the terminal.
std::string to_utf8(const char* gbk);
// Why the library's last call failed (kelmo_last_error), else `fallback`.
std::string library_reason(const std::string& fallback = "");
// The same without the export's name: the cause alone, for a sentence of
// the tool's own.
std::string library_cause(const std::string& fallback = "");
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
