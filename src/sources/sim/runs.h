// The continuous acquisitions of the simulated source that this process
// started, each under the address of the caller's handle word. A start
// records its own time base here (start time, divider, clock scale, running
// count, channels and gains); the fetches on the same handle word read and
// advance it, so two acquisitions of one parameter block, in one process or
// in several, never move each other's time base or gains. The published
// fields of the parameter block, "123_1ch" and the status block's gain
// words are still written for any program that reads them, and serve a
// fetch on a handle word this process did not start on.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace kelmo::sim {

struct Run {
    uint32_t startTick = 0;  // the tick count at the start
    uint64_t startUs = 0;    // the fine clock at the same moment
    uint32_t freqCode = 0;
    double clockScale = 0.0;  // as PreSamp left it at the start
    uint32_t sampleCount = 0;  // samples per channel delivered so far
    int16_t firstChannel = 0;
    int32_t channels = 0;  // a count, or -channel for one channel
    std::array<int16_t, 32> gains{};
};

// Which acquisition: the handle word's address and the unit.
struct RunKey {
    const void* handleWord;
    bool secondUnit;
    bool operator==(const RunKey&) const = default;
};

// Records (or replaces) the run of a start.
void keep_run(const RunKey& key, const Run& run);
// The run started on this key in this process, if any.
std::optional<Run> kept_run(const RunKey& key);
// Advances a kept run's count from `before` by n; false when the run was
// replaced or ended meanwhile (another thread started again on the same
// handle word).
bool advance_run(const RunKey& key, uint32_t startTick, uint32_t before, uint32_t n);
// Forgets it (recover).
void end_run(const RunKey& key);
void forget_runs_for_tests();

// The clock scale the generator works with on this thread: a fetch of a
// kept run sets its own for as long as it synthesises.
double clock_scale();
class ClockScaleScope {
public:
    explicit ClockScaleScope(double scale);
    ~ClockScaleScope();
    ClockScaleScope(const ClockScaleScope&) = delete;
    ClockScaleScope& operator=(const ClockScaleScope&) = delete;

private:
    std::optional<double> saved_;
};

}  // namespace kelmo::sim
