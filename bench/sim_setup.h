// What the simulated-source benchmarks share: the parameter block and the
// noise history published in a private namespace (as the signal-source
// program would publish them), and the signal every entry then carries.
#pragma once

#include <cstdint>

namespace bench {

enum class Signal { Cosine, Triangle, Square, White, Band, Sum, None };
const char* name_of(Signal s);

// Creates both objects and readies card type 123 at 10 kHz; false (with a
// line on stderr) when the source cannot be had.
bool publish_source();
// The divider of 10 kHz.
uint32_t divider();

// Every entry carries the signal; a sum channel (entries 0 .. 7) mixes two
// cosines (entries 8, 9) and white noise (entry 10).
void publish(Signal s);

}  // namespace bench
