#include "params.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <stdexcept>

#include <toml++/toml.h>

namespace genwave {
namespace {

using kelmo::sim::SimParamBlock;

const std::map<std::string, int> kWaveforms = {
    {"noise", 0}, {"bandpass", 1}, {"cosine", 2}, {"triangle", 3}, {"square", 4}, {"sum", 5}};

// Modulation names; the stepped sweeps carry their step count in the code.
const std::map<std::string, int> kModulations = {
    {"constant", 0},      {"linear-updown", 1}, {"exp-updown", 2}, {"linear", 3},   {"exp", 4},
    {"steps-updown", 5},  {"steps", 6},         {"single-burst", 7}, {"half-burst", 8}, {"damped", 9},
    {"burst", 10}};

std::string name_of(const std::map<std::string, int>& names, int code) {
    for (const auto& [n, c] : names)
        if (c == code) return n;
    return std::to_string(code);
}

[[noreturn]] void fail(const toml::node& at, const std::string& what) {
    std::ostringstream s;
    s << "line " << at.source().begin.line << ": " << what;
    throw std::runtime_error(s.str());
}

int code_of(const toml::node& n, const std::map<std::string, int>& names, const char* what) {
    if (auto v = n.value<int64_t>()) return static_cast<int>(*v);
    if (auto s = n.value<std::string>()) {
        auto it = names.find(*s);
        if (it != names.end()) return it->second;
    }
    fail(n, std::string("unknown ") + what);
}

double number(const toml::table& t, const char* key, double fallback) {
    const toml::node* n = t.get(key);
    if (!n) return fallback;
    if (auto v = n->value<double>()) return *v;
    fail(*n, std::string(key) + " must be a number");
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
    for (int k = 0; k < kelmo::sim::kEntries; ++k) p.waveform[k] = 6;  // unused entries give no signal
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
    toml::table doc;
    try {
        doc = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        std::ostringstream s;
        s << "line " << e.source().begin.line << ": " << e.description();
        throw std::runtime_error(s.str());
    }
    SimParamBlock p{};
    for (int k = 0; k < kelmo::sim::kEntries; ++k) p.waveform[k] = 6;
    const toml::array* channels = doc["channel"].as_array();
    if (!channels) throw std::runtime_error("no [[channel]] tables");
    for (const toml::node& node : *channels) {
        const toml::table* t = node.as_table();
        if (!t) fail(node, "[[channel]] must be a table");
        const toml::node* entry = t->get("entry");
        const auto k = entry ? entry->value<int64_t>() : std::nullopt;
        if (!k || *k < 0 || *k >= kelmo::sim::kEntries) fail(node, "entry must be a number 0 .. 31");
        const int e = static_cast<int>(*k);
        const toml::node* w = t->get("waveform");
        if (!w) fail(node, "waveform missing");
        p.waveform[e] = code_of(*w, kWaveforms, "waveform");
        int modulation = 0;
        if (const toml::node* m = t->get("modulation")) modulation = code_of(*m, kModulations, "modulation");
        int shape = static_cast<int>(number(*t, "symmetry", 0.0));
        if (modulation == 5 || modulation == 6) {
            // The step count rides in the code: 10000 + n steps up and down,
            // 20000 + n repeating.
            const double steps = number(*t, "steps", 2.0);
            if (steps < 1 || steps > 9999) fail(node, "steps must be 1 .. 9999");
            modulation = (modulation == 5 ? 10000 : 20000) + static_cast<int>(steps);
            shape = static_cast<int>(steps);
        }
        p.modulation[e] = modulation;
        p.shapeParam[e] = shape;
        p.freq1[e] = number(*t, "freq1", 0.0);
        p.freq2[e] = number(*t, "freq2", p.freq1[e]);
        p.amp1[e] = number(*t, "amp1", 0.0);
        p.amp2[e] = number(*t, "amp2", p.amp1[e]);
        p.phase[e] = number(*t, "phase", 0.0);
        p.period[e] = number(*t, "period", 1.0);
        p.damping[e] = number(*t, "damping", 0.0);
        p.burstCycles[e] = number(*t, "cycles", 1.0);
        if (const toml::table* weights = t->get_as<toml::table>("weights")) {
            if (e >= kelmo::sim::kSumRows) fail(node, "only entries 0 .. 7 can be sum channels");
            for (const auto& [key, value] : *weights) {
                int source = -1;
                try {
                    source = std::stoi(std::string(key.str()));
                } catch (...) {
                }
                if (source < 8 || source > 31) fail(value, "weights are keyed by source entries 8 .. 31");
                const auto v = value.value<double>();
                if (!v) fail(value, "a weight must be a number");
                p.mixWeight[e][source - 8] = *v;
            }
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
