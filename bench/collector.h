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

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations <= 0) continue;
            const double s = r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
            auto it = seconds.find(r.benchmark_name());
            if (it == seconds.end()) seconds.emplace(r.benchmark_name(), s);
            else it->second = std::min(it->second, s);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Seconds of the named run, or a negative value when it did not run.
    double get(const std::string& name) const {
        const auto it = seconds.find(name);
        return it == seconds.end() ? -1.0 : it->second;
    }
};

}  // namespace bench
