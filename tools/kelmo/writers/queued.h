// A writer on a thread of its own: the acquisition hands each block to a
// bounded queue and goes on at once; the thread writes what the queue
// holds. A queue that fills (the disk slower than the acquisition for longer
// than the queue covers) stops the run with the count of samples written
// and where the gap would have begun: a file never gets a silent hole.
#pragma once

#include <cstdint>
#include <memory>

#include "writer.h"

namespace kelmo::cli {

// `seconds` of the run's samples (at least one block) may wait in the
// queue. KELMO_WRITER_DELAY_MS (for tests) makes every block's write take
// that much longer, as a slow disk would.
std::unique_ptr<SampleWriter> queued(std::unique_ptr<SampleWriter> inner, double rate, int channels,
                                     double seconds);

}  // namespace kelmo::cli
