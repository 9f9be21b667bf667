// What every acquisition export does first: form the effective card type,
// open the unit's status block (it must exist) and read its mode word. The
// frame is handed to the source with the rest of the request.
#pragma once

#include <cstdint>
#include <memory>

#include "core/card_type.h"
#include "core/card_types.h"
#include "core/share_block.h"
#include "platform/platform.h"

namespace kelmo {

struct UnitFrame {
    UnitCode code{};
    cards::CardType card;             // what the effective card type is
    std::shared_ptr<platform::SharedMemory> block;  // open for the whole call
    int32_t mode = 0;                 // word 0

    // Opens the block of the unit that the sign of cardType selects;
    // `ok()` is false when it does not exist.
    explicit UnitFrame(int32_t cardType) : code(unit_code(cardType)), card(cards::card_type(code.type)) {
        // The view this process keeps once a set-up call ran is the same
        // object; opening it again would only cost time.
        const char* name = share_block_name(code.secondUnit);
        block = kept_view(name);
        if (!block) block = platform::current().shm_open_existing(name, kShareBlockBytes, platform::Access::ReadWrite);
        if (block) mode = block->word(kWordMode);
    }
    bool ok() const { return block != nullptr; }
    int32_t type() const { return code.type; }
};

// A channel argument: count, or first channel x 256 + count packed into
// one 16-bit value above 255 (a packed count of 0 means 256).
struct ChannelSpan {
    int32_t first;
    int32_t count;
};
inline ChannelSpan unpack_channels(int32_t arg) {
    const int32_t v = static_cast<int16_t>(arg);
    if (v > 255) {
        const int32_t count = v % 256;
        return {v / 256, count == 0 ? 256 : count};
    }
    return {0, v};
}

}  // namespace kelmo
