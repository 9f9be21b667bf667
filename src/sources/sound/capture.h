// The sound card's continuous capture (card type 800): one process-wide
// capture device recording into a ring of two halves, queued in turn.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/lock.h"
#include "sources/source.h"

namespace kelmo::sound {

// The capture is one per process. Each call below holds this lock while it
// runs, so threads take turns; a caller that needs several calls in a row
// to itself (a block acquisition) holds it across them. The lock is
// recursive: the host's code that a call runs may call in again.
std::unique_lock<kelmo::platform::RecursiveLock> lock_capture();

// Starts the capture of `count` channels at divider freqCode. Every failing
// step shows its message; false when the capture does not run.
bool start_capture(uint32_t freqCode, int32_t count);

// The next block: waits (dispatching the thread's window messages) until
// the device has recorded past it, re-queues the half it has left behind,
// and delivers it. A device that stops recording ends the wait with 0.
int fetch_capture(const ContinuousFetch& q);

// Stops, resets and closes the capture and releases its buffer; every
// failing step shows its message and the next one runs all the same.
void stop_capture();

// Closes the capture quietly and forgets it (test_reset.h).
void reset_capture_for_tests();

// The most samples of all channels one block may hold: the wait before
// the second half's refill point (a block that starts up to three blocks
// in, the block itself and the copy's margin) must end inside the first
// half, or it could never end.
int32_t most_capture_block();
// How long a fetch waits for a device that records nothing, in ms.
inline constexpr uint32_t kStallMs = 3000;

}  // namespace kelmo::sound
