// kelmo view: any source live in a web page — a scope and spectra per
// channel, the card's controls, the acquisition's facts — served on this
// machine (127.0.0.1) or, with --listen, to others; every request carries
// the run's access token.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../../portable.h"
#include "../commands.h"
#include "../values.h"
#include "acquisition.h"
#include "kelmo.h"
#include "protocol.h"
#include "server.h"

namespace kelmo::cli {
namespace {

struct ViewOptions {
    int type = 123;
    std::string rate = "10k";
    int channels = 1;
    std::string list;
    int gain = 1;
    std::string listen;
    unsigned port = 0;
    bool readOnly = false;
    const CLI::Option* countGiven = nullptr;
    const CLI::Option* listGiven = nullptr;
};

// Rates a page may choose: the scope draws at most 1 MHz.
constexpr double kMostRate = 1e6;

std::string random_token() {
    std::random_device rd;
    std::string t;
    for (int i = 0; i < 4; ++i) {
        char b[9];
        std::snprintf(b, sizeof b, "%08x", static_cast<unsigned>(rd()));
        t += b;
    }
    return t;
}

// The folder of the page's files: KELMO_VIEW_DIR, else share/kelmo/view
// beside this program's bin, else the build tree's.
std::string page_files() {
    using kelmo::tools::kSlash;
    if (const char* d = std::getenv("KELMO_VIEW_DIR"); d && *d) return d;
    const std::string self = kelmo::tools::own_folder();
    const std::string installed = self + ".." + kSlash + "share" + kSlash + "kelmo" + kSlash + "view";
    if (std::FILE* f = std::fopen((installed + kSlash + "index.html").c_str(), "rb")) {
        std::fclose(f);
        return installed;
    }
#ifdef KELMO_VIEW_BUILD_FILES
    return KELMO_VIEW_BUILD_FILES;
#else
    return installed;
#endif
}

// The cards the controls offer, with the rates and gains the library
// offers for each (the rates up to what the scope draws); a card whose
// source cannot say now (a sound card without a capture device) has none,
// and `why`.
std::string hello(bool readOnly) {
    using json = nlohmann::json;
    json cards = json::array();
    for (int t = 1; t < 1000; ++t) {
        if (t >= KELMO_FIRST_ALIAS_CODE && t <= KELMO_LAST_ALIAS_CODE) continue;  // each is another code
        if (kelmo_card_source(t) == KELMO_SOURCE_NONE) continue;
        const Card k = card_of(t);
        json rates = json::array();
        for (double r : k.rates)
            if (r <= kMostRate) rates.push_back(r);
        if (rates.empty() && k.why.empty()) continue;  // nothing the scope draws
        const int source = k.source;
        cards.push_back({{"type", t},
                         {"channels", k.channels},
                         {"fullScale", k.fullScale},
                         {"unit", ""},
                         {"name", source == KELMO_SOURCE_SIMULATED ? "simulated source"
                                  : source == KELMO_SOURCE_SOUND   ? "sound card"
                                                                   : "card behind the device"},
                         {"rates", rates},
                         {"gains", k.gains},
                         {"why", k.why}});
    }
    return kelmo::view::message_text(json{{"type", "hello"}, {"readOnly", readOnly}, {"version", KELMO_TOOL_VERSION}, {"cards", cards}});
}


void run(const ViewOptions& o) {
    const Card card = card_of(o.type);
    // A source that cannot say what it offers now (a sound card without a
    // capture device) is the page's to be told about, with the reason: its
    // channels are left for the acquisition to refuse.
    const bool unknown = card.rates.empty();
    const int channels = unknown ? 256 : card.channels;
    if (card.source == KELMO_SOURCE_NONE) usage("--type", "card type " + std::to_string(o.type) + " is not in the catalogue (kelmo cards lists them)");
    const auto rate = parse_si(o.rate);
    if (!rate || !(*rate > 0))
        usage("--rate", "'" + o.rate + "' is not a sampling rate (for example 10k or 44100; card type " +
                            std::to_string(o.type) + " offers " + listed(card.rates) + " Hz)");
    kelmo::view::Config c;
    c.card = o.type;
    c.rate = *rate;
    c.gain = o.gain;
    const std::string last = std::to_string(channels - 1);
    if (o.listGiven->count() > 0 && o.list.empty())
        usage("--list", "'' names no channel; give the channels of card type " + std::to_string(o.type) + " (0 to " +
                            last + ") such as 0,2,5-7, or leave -C out to take --channels");
    if (!o.list.empty()) {
        if (o.countGiven->count() > 0) usage("--list", "give the channels either as a list or with --channels, not both");
        const auto list = parse_channel_list(o.list, channels - 1);
        if (!list)
            usage("--list", "'" + o.list + "' is not a list of channels of card type " + std::to_string(o.type) +
                                " (0 to " + last + "), such as 0,2,5-7");
        c.channels = *list;
    } else {
        if (o.channels < 1 || o.channels > channels)
            usage("--channels", "card type " + std::to_string(o.type) + " has " + std::to_string(channels) + " channels");
        c.channels.clear();
        for (int k = 0; k < o.channels; ++k) c.channels.push_back(k);
    }
    if (const auto r = unknown ? kelmo::view::Refusal{} : kelmo::view::refusal(c, kMostRate))
        usage(r.what == "card" ? "--type" : r.what == "rate" ? "--rate" : r.what == "gain" ? "--gain" : "--list", r.reason);
    kelmo::view::ServerOptions s;
    s.address = o.listen.empty() ? "127.0.0.1" : o.listen;
    s.port = static_cast<unsigned short>(o.port);
    s.readOnly = o.readOnly;
    s.files = page_files();
    s.token = random_token();
    s.hello = hello(o.readOnly);
    s.mostRate = kMostRate;
    kelmo::view::Acquisition acquisition(c);
    acquisition.start();
    const int status = kelmo::view::serve(s, acquisition);
    acquisition.stop();
    if (status != 0) throw CLI::RuntimeError(status);
}

}  // namespace

void add_view(CLI::App& app) {
    auto* cmd = app.add_subcommand("view", "Show a source live in a web page: a scope and spectra per channel, the "
                                           "card's controls and the acquisition's facts, until Ctrl-C");
    static ViewOptions o;
    cmd->add_option("-t,--type", o.type, "Card type (kelmo cards lists them)")->capture_default_str();
    cmd->add_option("-r,--rate", o.rate, "Sampling rate in Hz, with k or M (at most 1M)")->capture_default_str();
    o.countGiven = cmd->add_option("-c,--channels", o.channels, "How many channels, from 0")->capture_default_str();
    o.listGiven = cmd->add_option("-C,--list", o.list, "The channels as a list instead: 0,2,5-7");
    cmd->add_option("-g,--gain", o.gain, "Gain: one of the card's gains")->capture_default_str();
    cmd->add_option("--port", o.port, "The port to serve on (default: one the system chooses)")
        ->check(CLI::Range(0, 65535));
    cmd->add_option("--listen", o.listen, "The address to serve on instead of 127.0.0.1, so that other machines "
                                          "reach the page (0.0.0.0: every address); the URL's token is still needed");
    cmd->add_flag("--read-only", o.readOnly, "Pages may watch but not change the card, rate, channels or gain");
    cmd->footer("The URL it prints carries the run's access token: every request needs it. Exit status: 0 after "
                "Ctrl-C, 1 when it cannot listen, 2 a usage error.");
    cmd->callback([] { run(o); });
}

}  // namespace kelmo::cli
