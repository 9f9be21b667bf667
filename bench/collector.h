// A console reporter that also keeps the fastest CPU time per iteration of
// every benchmark, for the ratio tables printed after a run.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace bench {

class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;
    std::map<std::string, double> realSeconds;  // the fastest wall time per iteration
    std::map<std::string, std::map<std::string, double>> counters;  // of the last run of each

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations <= 0) continue;
            const double s = r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
            auto it = seconds.find(r.benchmark_name());
            if (it == seconds.end()) seconds.emplace(r.benchmark_name(), s);
            else it->second = std::min(it->second, s);
            const double w = r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
            auto rt = realSeconds.find(r.benchmark_name());
            if (rt == realSeconds.end()) realSeconds.emplace(r.benchmark_name(), w);
            else rt->second = std::min(rt->second, w);
            for (const auto& [name, c] : r.counters) counters[r.benchmark_name()][name] = c.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Wall seconds of the run whose name begins with `prefix` (names carry
    // their options: "/iterations:3/real_time"), or a negative value.
    double real(const std::string& prefix) const {
        const auto it = realSeconds.lower_bound(prefix);
        return it != realSeconds.end() && it->first.rfind(prefix, 0) == 0 ? it->second : -1.0;
    }
    // A counter of that run, or a negative value.
    double counter(const std::string& prefix, const std::string& name) const {
        const auto it = counters.lower_bound(prefix);
        if (it == counters.end() || it->first.rfind(prefix, 0) != 0) return -1.0;
        const auto c = it->second.find(name);
        return c == it->second.end() ? -1.0 : c->second;
    }

    // Seconds of the named run, or a negative value when it did not run.
    double get(const std::string& name) const {
        const auto it = seconds.find(name);
        return it == seconds.end() ? -1.0 : it->second;
    }
};

}  // namespace bench
