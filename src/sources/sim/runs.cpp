#include "sources/sim/runs.h"

#include <deque>
#include <mutex>

#include "platform/lock.h"
#include "sources/sim/state.h"

namespace kelmo::sim {
namespace {

struct Entry {
    RunKey key;
    Run run;
};

// A host that never calls recover leaves its runs here; the oldest go
// first once there are this many.
constexpr std::size_t kMostRuns = 256;

struct Table {
    kelmo::platform::Lock mutex;
    std::deque<Entry> entries;

    Entry* find(const RunKey& key) {
        for (auto& e : entries)
            if (e.key == key) return &e;
        return nullptr;
    }
};

// Never destroyed: a host's exit handlers may still recover.
Table& table() {
    static Table* t = new Table;
    return *t;
}

thread_local std::optional<double> t_scale;

}  // namespace

void keep_run(const RunKey& key, const Run& run) {
    auto& t = table();
    std::lock_guard<kelmo::platform::Lock> g(t.mutex);
    if (Entry* e = t.find(key)) {
        e->run = run;
        return;
    }
    if (t.entries.size() >= kMostRuns) t.entries.pop_front();
    t.entries.push_back({key, run});
}

std::optional<Run> kept_run(const RunKey& key) {
    auto& t = table();
    std::lock_guard<kelmo::platform::Lock> g(t.mutex);
    if (const Entry* e = t.find(key)) return e->run;
    return std::nullopt;
}

bool advance_run(const RunKey& key, uint32_t startTick, uint32_t before, uint32_t n) {
    auto& t = table();
    std::lock_guard<kelmo::platform::Lock> g(t.mutex);
    Entry* e = t.find(key);
    if (!e || e->run.startTick != startTick || e->run.sampleCount != before) return false;
    e->run.sampleCount = before + n;
    return true;
}

void end_run(const RunKey& key) {
    auto& t = table();
    std::lock_guard<kelmo::platform::Lock> g(t.mutex);
    for (auto it = t.entries.begin(); it != t.entries.end(); ++it)
        if (it->key == key) {
            t.entries.erase(it);
            return;
        }
}

void forget_runs_for_tests() {
    auto& t = table();
    std::lock_guard<kelmo::platform::Lock> g(t.mutex);
    t.entries.clear();
}

double clock_scale() { return t_scale ? *t_scale : process_state().clockScale; }

ClockScaleScope::ClockScaleScope(double scale) : saved_(t_scale) { t_scale = scale; }
ClockScaleScope::~ClockScaleScope() { t_scale = saved_; }

}  // namespace kelmo::sim
