#include "params.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include <toml++/toml.h>

namespace genwave {
namespace {

using kelmo::sim::SimParamBlock;

const std::map<std::string, int> kWaveforms = {
    {"noise", 0}, {"bandpass", 1}, {"cosine", 2}, {"triangle", 3}, {"square", 4}, {"sum", 5}};
constexpr int kSumWaveform = 5;
constexpr int kUnused = 6;  // an entry that gives no signal

// Modulation names; the stepped sweeps carry their step count in the code.
const std::map<std::string, int> kModulations = {
    {"constant", 0},      {"linear-updown", 1}, {"exp-updown", 2}, {"linear", 3},   {"exp", 4},
    {"steps-updown", 5},  {"steps", 6},         {"single-burst", 7}, {"half-burst", 8}, {"damped", 9},
    {"burst", 10}};
constexpr int kLastModulation = 10;

// The keys a [[channel]] table may hold.
const std::set<std::string, std::less<>> kChannelKeys = {
    "entry", "waveform", "modulation", "freq1", "freq2", "amp1",  "amp2",
    "period", "phase",   "symmetry",   "steps", "damping", "cycles", "weights"};

std::string name_of(const std::map<std::string, int>& names, int code) {
    for (const auto& [n, c] : names)
        if (c == code) return n;
    return std::to_string(code);
}

[[noreturn]] void fail(const toml::source_region& at, const std::string& what) {
    std::ostringstream s;
    s << "line " << at.begin.line << ": " << what;
    throw std::runtime_error(s.str());
}

[[noreturn]] void fail(const toml::node& at, const std::string& what) { fail(at.source(), what); }

// A waveform or modulation: one of the names, or its code 0 .. highest.
// Only strings and integers count (toml++ would read true as 1).
int code_of(const toml::node& n, const std::map<std::string, int>& names, int highest, const std::string& what) {
    if (const auto* i = n.as_integer()) {
        if (i->get() < 0 || i->get() > highest)
            fail(n, what + " code " + std::to_string(i->get()) + " is not in 0 .. " + std::to_string(highest));
        return static_cast<int>(i->get());
    }
    if (const auto* s = n.as_string()) {
        auto it = names.find(s->get());
        if (it != names.end()) return it->second;
        fail(n, "unknown " + what + " \"" + s->get() + "\"");
    }
    fail(n, what + " must be a name or a code");
}

bool any(double) { return true; }
bool not_negative(double v) { return v >= 0.0; }
bool positive(double v) { return v > 0.0; }
bool whole(double v) { return v == std::trunc(v); }
bool symmetry_range(double v) { return whole(v) && v >= -1000.0 && v <= 1000.0; }
bool steps_range(double v) { return whole(v) && v >= 1.0 && v <= 9999.0; }

// A finite number (integer or float; booleans are not numbers).
double finite_number(const toml::node& n, const std::string& what) {
    double v = 0.0;
    if (const auto* i = n.as_integer())
        v = static_cast<double>(i->get());
    else if (const auto* f = n.as_floating_point())
        v = f->get();
    else
        fail(n, what + " must be a number");
    if (!std::isfinite(v)) fail(n, what + " must be a finite number");
    return v;
}

// The number under `key`, or fallback when the key is absent; refused when
// it is not finite or `ok` refuses it (`domain` says what is allowed).
double number(const toml::table& t, const char* key, double fallback, bool (*ok)(double) = any,
              const char* domain = "") {
    const toml::node* n = t.get(key);
    if (!n) return fallback;
    const double v = finite_number(*n, key);
    if (!ok(v)) fail(*n, std::string(key) + " must be " + domain);
    return v;
}

// The source entry a weight key names: exactly a decimal number 8 .. 31
// (no sign, no spaces, nothing after it).
int weight_source(const toml::key& key) {
    const std::string_view s = key.str();
    int v = 0;
    bool digits = !s.empty();
    for (char c : s) {
        if (c < '0' || c > '9') {
            digits = false;
            break;
        }
        if (v < 100) v = v * 10 + (c - '0');  // large enough to be out of range; never overflows
    }
    if (!digits || v < 8 || v >= 8 + kelmo::sim::kSumSources)
        fail(key.source(), "weights are keyed by source entries 8 .. 31, not \"" + std::string(s) + "\"");
    return v;
}

void read_weights(SimParamBlock& p, int e, const toml::table& weights) {
    // Keys come sorted, not in file order ("08" before "8"): a source named
    // twice is reported on the later of its two lines.
    const toml::key* named[kelmo::sim::kSumSources] = {};
    for (const auto& [key, value] : weights) {
        const int source = weight_source(key);
        if (const toml::key* other = named[source - 8]) {
            const bool later = key.source().begin.line >= other->source().begin.line;
            fail((later ? key : *other).source(), "entry " + std::to_string(source) + " is weighted twice");
        }
        named[source - 8] = &key;
        p.mixWeight[e][source - 8] = finite_number(value, "a weight");
    }
}

// toml++ (3.3) asks of a character beyond ASCII in a key, or between
// values, whether it is whitespace, and for many of them (U+00A1 .. U+0499,
// for one) that question runs into a point its code marks unreachable. No
// valid parameter file holds such a character outside a comment, so the
// text is refused before toml++ reads it, at the line of the first one.
// Comments may hold any text; a UTF-8 byte-order mark may lead the file.
void refuse_beyond_ascii(std::string_view text) {
    enum class In { Plain, Comment, Basic, Literal, MultiBasic, MultiLiteral } in = In::Plain;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    uint32_t line = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
            if (in != In::MultiBasic && in != In::MultiLiteral) in = In::Plain;
            continue;
        }
        if (in == In::Comment) continue;
        if (static_cast<unsigned char>(c) >= 0x80)
            throw std::runtime_error("line " + std::to_string(line) + ": characters beyond ASCII belong in comments only");
        // Whether a run of three quotes starts here; a closing run takes
        // the quotes that follow it too ("""a"""" is the text a").
        const auto triple = [&](char q) { return text.compare(i, 3, std::string(3, q)) == 0; };
        const auto close_run = [&](char q) {
            while (i + 1 < text.size() && text[i + 1] == q) ++i;
            in = In::Plain;
        };
        switch (in) {
            case In::Plain:
                if (c == '#') {
                    in = In::Comment;
                } else if (c == '"' || c == '\'') {
                    const bool multi = triple(c);
                    in = c == '"' ? (multi ? In::MultiBasic : In::Basic) : (multi ? In::MultiLiteral : In::Literal);
                    if (multi) i += 2;
                }
                break;
            case In::Basic:
            case In::MultiBasic:
                if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) {
                    ++i;  // an escaped quote or backslash
                } else if (c == '"' && (in == In::Basic || triple('"'))) {
                    if (in == In::Basic) in = In::Plain;
                    else close_run('"');
                }
                break;
            case In::Literal:
            case In::MultiLiteral:
                if (c == '\'' && (in == In::Literal || triple('\''))) {
                    if (in == In::Literal) in = In::Plain;
                    else close_run('\'');
                }
                break;
            case In::Comment: break;
        }
    }
}

void set_entry(SimParamBlock& p, int k, int waveform, int modulation, double f1, double f2, double a1, double a2,
               double period) {
    p.waveform[k] = waveform;
    p.modulation[k] = modulation;
    p.freq1[k] = f1;
    p.freq2[k] = f2;
    p.amp1[k] = a1;
    p.amp2[k] = a2;
    p.period[k] = period;
}

}  // namespace

SimParamBlock default_params() {
    SimParamBlock p{};
    for (int k = 0; k < kelmo::sim::kEntries; ++k) p.waveform[k] = kUnused;
    set_entry(p, 0, 2, 0, 50.0, 50.0, 3000.0, 3000.0, 1.0);      // cosine, 50 Hz
    set_entry(p, 1, 0, 0, 0.0, 0.0, 1000.0, 1000.0, 1.0);        // white noise
    set_entry(p, 2, 2, 3, 100.0, 1000.0, 2000.0, 2000.0, 1.0);   // linear sweep 100 -> 1000 Hz over 1 s
    set_entry(p, 3, 4, 10, 20.0, 20.0, 2500.0, 2500.0, 0.5);     // square burst: 3 cycles every 0.5 s
    p.burstCycles[3] = 3.0;
    set_entry(p, 4, 1, 0, 500.0, 1500.0, 2000.0, 2000.0, 1.0);   // band-pass noise 500 .. 1500 Hz
    set_entry(p, 5, 3, 0, 30.0, 30.0, 2000.0, 2000.0, 1.0);      // triangle, falling for 80 % of the cycle
    p.shapeParam[5] = 600;
    set_entry(p, 6, 2, 9, 200.0, 200.0, 3000.0, 3000.0, 0.25);   // damped oscillation, restarted 4 x a second
    p.damping[6] = 0.05;
    set_entry(p, 7, 5, 0, 0.0, 0.0, 0.0, 0.0, 1.0);              // sum of sources 8, 9, 10
    set_entry(p, 8, 2, 0, 80.0, 80.0, 1500.0, 1500.0, 1.0);
    set_entry(p, 9, 2, 0, 320.0, 320.0, 1000.0, 1000.0, 1.0);
    set_entry(p, 10, 0, 0, 0.0, 0.0, 400.0, 400.0, 1.0);
    p.mixWeight[7][0] = 1.0;
    p.mixWeight[7][1] = 0.8;
    p.mixWeight[7][2] = 0.5;
    return p;
}

SimParamBlock load_params(const std::string& path) {
    // Anything but a regular file (a FIFO, a device, a directory) is refused
    // before it is opened: opening a FIFO would wait for a writer.
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) throw std::runtime_error("no such file");
    if (!std::filesystem::is_regular_file(status)) throw std::runtime_error("not a regular file");

    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot be read");
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    refuse_beyond_ascii(text);

    toml::table doc;
    try {
        doc = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        std::ostringstream s;
        s << "line " << e.source().begin.line << ": " << e.description();
        throw std::runtime_error(s.str());
    }
    for (const auto& [key, value] : doc)
        if (key != "channel") fail(key.source(), "unknown key or table \"" + std::string(key.str()) + "\"");

    SimParamBlock p{};
    for (int k = 0; k < kelmo::sim::kEntries; ++k) p.waveform[k] = kUnused;
    const toml::node* all = doc.get("channel");
    if (!all) throw std::runtime_error("no [[channel]] tables");
    const toml::array* channels = all->as_array();
    if (!channels) fail(*all, "channel must be [[channel]] tables");
    uint32_t definedOn[kelmo::sim::kEntries] = {};  // line of each entry's table, 0 while not defined
    for (const toml::node& node : *channels) {
        const toml::table* t = node.as_table();
        if (!t) fail(node, "[[channel]] must be a table");
        for (const auto& [key, value] : *t)
            if (!kChannelKeys.contains(key.str()))
                fail(key.source(), "unknown key \"" + std::string(key.str()) + "\" in [[channel]]");

        const toml::node* entry = t->get("entry");
        if (!entry) fail(node, "entry missing");
        const auto* k = entry->as_integer();
        if (!k || k->get() < 0 || k->get() >= kelmo::sim::kEntries) fail(*entry, "entry must be a number 0 .. 31");
        const int e = static_cast<int>(k->get());
        if (definedOn[e])
            fail(*entry, "entry " + std::to_string(e) + " is already defined on line " + std::to_string(definedOn[e]));
        definedOn[e] = node.source().begin.line;

        const toml::node* w = t->get("waveform");
        if (!w) fail(node, "waveform missing");
        p.waveform[e] = code_of(*w, kWaveforms, kUnused, "waveform");
        if (p.waveform[e] == kSumWaveform && e >= kelmo::sim::kSumRows)
            fail(*w, "only entries 0 .. 7 can be sum channels");
        int modulation = 0;
        if (const toml::node* m = t->get("modulation"))
            modulation = code_of(*m, kModulations, kLastModulation, "modulation");
        int shape = static_cast<int>(number(*t, "symmetry", 0.0, symmetry_range, "a whole number -1000 .. 1000"));
        const int steps = static_cast<int>(number(*t, "steps", 2.0, steps_range, "a whole number 1 .. 9999"));
        if (modulation == 5 || modulation == 6) {
            // The step count rides in the code: 10000 + n steps up and down,
            // 20000 + n repeating.
            modulation = (modulation == 5 ? 10000 : 20000) + steps;
            shape = steps;
        }
        p.modulation[e] = modulation;
        p.shapeParam[e] = shape;
        p.freq1[e] = number(*t, "freq1", 0.0, not_negative, "0 or more");
        p.freq2[e] = number(*t, "freq2", p.freq1[e], not_negative, "0 or more");
        p.amp1[e] = number(*t, "amp1", 0.0);
        p.amp2[e] = number(*t, "amp2", p.amp1[e]);
        p.phase[e] = number(*t, "phase", 0.0);
        p.period[e] = number(*t, "period", 1.0, positive, "more than 0");
        p.damping[e] = number(*t, "damping", 0.0, not_negative, "0 or more");
        p.burstCycles[e] = number(*t, "cycles", 1.0, positive, "more than 0");
        if (const toml::node* weights = t->get("weights")) {
            const toml::table* table = weights->as_table();
            if (!table) fail(*weights, "weights must be a table: { \"8\" = 1.0, ... }");
            if (p.waveform[e] != kSumWaveform) fail(*weights, "weights belong to a sum channel (waveform \"sum\")");
            read_weights(p, e, *table);
        }
    }
    return p;
}

std::string describe(const SimParamBlock& p) {
    std::ostringstream s;
    char line[256];
    for (int k = 0; k < kelmo::sim::kEntries; ++k) {
        if (p.waveform[k] > 5) continue;
        const int stored = p.modulation[k];
        const int mod = stored > 10000 ? stored / 20000 + 5 : stored;
        std::snprintf(line, sizeof line,
                      "entry %2d  %-8s %-13s f %g..%g Hz  amp %g..%g  period %g s  phase %g  shape %d", k,
                      name_of(kWaveforms, p.waveform[k]).c_str(), name_of(kModulations, mod).c_str(), p.freq1[k],
                      p.freq2[k], p.amp1[k], p.amp2[k], p.period[k], p.phase[k], p.shapeParam[k]);
        s << line;
        if (mod == 9) s << "  damping " << p.damping[k];
        if (mod == 10) s << "  cycles " << p.burstCycles[k];
        if (p.waveform[k] == 5 && k < kelmo::sim::kSumRows)
            for (int j = 0; j < kelmo::sim::kSumSources; ++j)
                if (p.mixWeight[k][j] != 0.0) s << "  " << p.mixWeight[k][j] << " x entry " << 8 + j;
        s << "\n";
    }
    return s.str();
}

}  // namespace genwave
