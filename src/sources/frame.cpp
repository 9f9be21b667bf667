#include "sources/frame.h"

#include <algorithm>

#include "core/reason.h"
#include "core/share_block.h"
#include "sources/source.h"

namespace kelmo {
namespace {

constexpr uint64_t kMostRawBytes = uint64_t{1} << 40;

}  // namespace

UnitFrame::UnitFrame(int32_t cardType)
    : code(unit_code(cardType)), card(cards::card_type(code.type)),
      conversion(card.conversion(source_for(card).conversion_gain())) {
    // The view this process keeps once a set-up call ran is the same
    // object; opening it again would only cost time.
    const char* name = share_block_name(code.secondUnit);
    block = kept_view(name);
    if (!block) block = platform::current().shm.shm_open_existing(name, kShareBlockBytes, platform::Access::ReadWrite);
    if (block) mode = block->word(kWordMode);
}

bool UnitFrame::ready() const {
    return require(ok(), "the status block %s of card type %d does not exist; call Checkcard or PreSamp for the "
                         "card type first", share_block_name(code.secondUnit), static_cast<int>(code.type));
}

platform::PageBufferPtr UnitFrame::single_raw(int32_t k, uint32_t n, Delivery d) const {
    // Sized for the mode word's own multiple (32 in any negative mode), in
    // 16-bit units, two per sample for raw words and for the wide types.
    const uint64_t m = mode >= 0 ? static_cast<uint64_t>(mode) : 32u;
    // Word 0 is 0 until PreSamp sets the unit's mode: no block size follows.
    if (!require(m != 0, "the acquisition mode of card type %d is not set (word 0 of %s is 0); call PreSamp for "
                         "the card type before acquiring", static_cast<int>(code.type),
                 share_block_name(code.secondUnit)))
        return nullptr;
    const bool wide = d == Delivery::Values && card.blockBuffer == cards::BlockBuffer::Wide;
    const uint64_t u = d == Delivery::Words ? 2 : (wide ? 2 : 1);
    uint64_t bytes = k < 4 ? (uint64_t{n} + 128) * u * m * 8 : (uint64_t(k) * n + 512) * u * m * 2;
    if (!require(bytes != 0 && bytes <= kMostRawBytes,
                 "a block of %u samples of channel %d is more than one process can buffer; ask for fewer samples",
                 static_cast<unsigned>(n), k + 1))
        return nullptr;
    // Never less than the block's delivery touches.
    bytes = std::max(bytes, transfer_bytes(single_mult(), n));
    return platform::make_page_buffer(static_cast<std::size_t>(bytes));
}

platform::PageBufferPtr UnitFrame::multi_raw(ChannelSpan span, int32_t len, bool exVariant, uint32_t mult) const {
    // The size the driver expects, and never less than what the block's
    // delivery touches.
    const uint64_t n = static_cast<uint64_t>(span.count), l = static_cast<uint64_t>(len);
    // The request counts the block's samples and bytes in 32 bits: a block
    // beyond them cannot be asked for (and its sizes below would wrap).
    if (!require(n * l <= UINT32_MAX,
                 "%lld channels of %lld samples are more than one request to the device counts; ask for fewer",
                 static_cast<long long>(n), static_cast<long long>(l)))
        return nullptr;
    const uint64_t margin = exVariant ? 32 : 512;
    uint64_t bytes;
    if (card.blockBuffer == cards::BlockBuffer::Wide)
        bytes = (l + margin) * n * mult * 8;
    else if (card.blockBuffer == cards::BlockBuffer::Packed)
        bytes = l * 8 + 4096;
    else if (n == 3)
        bytes = (l + margin) * mult * 8;
    else
        bytes = (l + margin) * n * mult * 2;
    bytes = std::max(bytes, transfer_bytes(mult, n * l));
    if (!require(bytes <= kMostRawBytes, "a block of %lld samples of %lld channels is more than one process can "
                                         "buffer; ask for fewer samples", static_cast<long long>(l),
                 static_cast<long long>(n)))
        return nullptr;
    return platform::make_page_buffer(static_cast<std::size_t>(bytes));
}

}  // namespace kelmo
