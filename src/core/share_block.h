// The per-unit status block "USB_samp" / "USB_samp2" (256 little-endian
// 32-bit words), and the named shared memories the process keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace kelmo {

inline constexpr std::size_t kShareBlockBytes = 1024;
inline constexpr const char* kShareBlockName = "USB_samp";
inline constexpr const char* kShareBlockName2 = "USB_samp2";

// The block's layout: 256 little-endian 32-bit words. The channel gains of a
// simulated continuous acquisition overlap the clock flag and the single-
// channel word; a simulated set-up overwrites them.
struct SampShareBlock {
    int32_t mode;             // word 0: acquisition mode; -1: 32-fold mode
    int32_t channelGain[32];  // words 1 .. 32: gain of channel k in word 1 + k
    int32_t unused[223];
};
static_assert(sizeof(SampShareBlock) == 1024);
static_assert(offsetof(SampShareBlock, mode) == 0);
static_assert(offsetof(SampShareBlock, channelGain) == 4);
static_assert(offsetof(SampShareBlock, channelGain) + 1 * 4 == 8);    // word 2: clock flag
static_assert(offsetof(SampShareBlock, channelGain) + 11 * 4 == 48);  // word 12: single channel
static_assert(offsetof(SampShareBlock, unused) == 132);

// Word indexes of the block.
enum ShareWord : std::size_t {
    kWordMode = 0,            // acquisition mode; -1: 32-fold mode
    kWordChannelGain = 1,     // + k: gain of channel k (simulated continuous)
    kWordClockFlag = 2,       // -1: the 8.192 MHz clock family
    kWordSingleChannel = 12,  // continuous driver start: the single channel
};

inline const char* share_block_name(bool secondUnit) {
    return secondUnit ? kShareBlockName2 : kShareBlockName;
}

// Creates (or opens) a named shared memory and keeps one handle on it for
// the rest of the process, so that it persists between calls. Returns the
// view, or nullptr when it cannot be had or another process has shrunk it
// (a later call tries again). Safe to call from several threads.
std::shared_ptr<platform::SharedMemory> keep_named(const char* name, std::size_t size);
// Records, as the export's reason, that the shared memory `name` could not
// be created or opened, with the system's words for the last error.
void shared_memory_refused(const char* name);
// The view this process keeps of `name`, if it keeps one (and it is whole);
// never opens anything.
std::shared_ptr<platform::SharedMemory> kept_view(const char* name);
// The same for the unit's status block.
inline std::shared_ptr<platform::SharedMemory> keep_share_block(bool secondUnit) {
    return keep_named(share_block_name(secondUnit), kShareBlockBytes);
}

// Forgets the views kept by keep_named. For tests only (see
// reset_process_state_for_tests).
void forget_kept_views_for_tests();

}  // namespace kelmo
