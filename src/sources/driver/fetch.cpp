// The next block of a card's continuous acquisition: one request for every
// channel's mult x len raw words, channel-major, of which every mult-th is
// delivered.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "core/convert.h"
#include "core/messages.h"
#include "core/reason.h"
#include "core/share_block.h"
#include "platform/lock.h"
#include "sources/driver/driver_source.h"
#include "sources/driver/handles.h"

namespace kelmo::driver {
namespace {

// The raw transfer of this thread's fetches. A continuous acquisition
// fetches block after block of one size, so a buffer of up to kKeptBytes
// is kept between calls; a larger one is given back after its call (a host
// that fetched one large block keeps no more than that resident). A buffer
// just taken from the system is zero already and is not cleared again.
class KeptTransfer {
public:
    static constexpr std::size_t kKeptBytes = std::size_t{1} << 20;
    unsigned char* get(std::size_t bytes) {
        if (bytes > capacity_) {
            data_.reset(static_cast<unsigned char*>(std::calloc(bytes, 1)));
            capacity_ = data_ ? bytes : 0;
            return data_.get();
        }
        // What a short reply leaves out reads as 0, not as an older block.
        std::memset(data_.get(), 0, bytes);
        return data_.get();
    }
    void trim() {
        if (capacity_ > kKeptBytes) {
            data_.reset();
            capacity_ = 0;
        }
    }

private:
    struct Free {
        void operator()(unsigned char* p) const { std::free(p); }
    };
    std::unique_ptr<unsigned char, Free> data_;
    std::size_t capacity_ = 0;
};
thread_local KeptTransfer t_transfer;

struct Layout {
    uint32_t n, len, mult;
    uint64_t perChannel;  // raw words of one channel in the transfer
    bool interleaved;
    std::ptrdiff_t offset, stride;
};

// Raw words as they came, every mult-th, channel-major by offset and
// stride or interleaved.
template <class Word>
void copy_words(const Word* raw, Word* out, const Layout& l) {
    for (uint32_t c = 0; c < l.n; ++c) {
        const Word* src = raw + c * l.perChannel;
        if (l.interleaved) {
            for (uint32_t s = 0; s < l.len; ++s) out[std::ptrdiff_t(s) * l.n + c] = src[std::size_t{l.mult} * s];
            continue;
        }
        Word* dst = out + l.offset + std::ptrdiff_t(c) * l.stride;
        if (l.mult == 1) {
            std::memcpy(dst, src, sizeof(Word) * l.len);
        } else {
            for (uint32_t s = 0; s < l.len; ++s) dst[s] = src[std::size_t{l.mult} * s];
        }
    }
}

// Engineering values by the card type's conversion, channel by channel.
template <class Word>
void convert_channels(const Conversion& conversion, const Word* raw, double* out, const Layout& l) {
    std::unique_ptr<Word[]> picked(l.mult == 1 ? nullptr : new Word[l.len]);
    for (uint32_t c = 0; c < l.n; ++c) {
        const Word* src = raw + c * l.perChannel;
        if (l.mult != 1) {
            for (uint32_t s = 0; s < l.len; ++s) picked[s] = src[std::size_t{l.mult} * s];
            src = picked.get();
        }
        int32_t maxIndex = 0, minIndex = 0;  // not used
        convert_block(conversion, out + l.offset + std::ptrdiff_t(c) * l.stride, const_cast<Word*>(src),
                      static_cast<int32_t>(l.len), true, &maxIndex, &minIndex);
    }
}

template <class Word>
void deliver(const unsigned char* raw, const ContinuousFetch& q, const Layout& l) {
    const auto* words = reinterpret_cast<const Word*>(raw);
    if (q.delivery == Delivery::Words)
        copy_words(words, static_cast<Word*>(q.buf), l);
    else
        convert_channels(q.frame.conversion, words, static_cast<double*>(q.buf), l);
}

// The fetch request. The record has room for a 32-bit address of the
// status word only: a caller's word above 4 GiB (a 64-bit process) is
// stood in for by the library's own low word, which the threads take in
// turn, and copied back after the request.
bool request_with_status(DeviceSession& session, platform::RequestRecord& rec, unsigned char* raw, uint32_t bytes,
                         int* status) {
    const auto at = reinterpret_cast<uintptr_t>(status);
    if (at <= UINT32_MAX) {
        rec.statusAddr = static_cast<uint32_t>(at);
        return session.request(platform::kContinuousFetch, rec, raw, bytes, reinterpret_cast<uint32_t*>(status));
    }
    static auto* turn = new kelmo::platform::Lock;
    const std::lock_guard<kelmo::platform::Lock> g(*turn);
    uint32_t* low = platform::current().system.low_word();
    if (!low) {
        because("the status word's address does not fit in the driver's request, and no memory below 4 GiB "
                "could be had for it; pass a status word allocated in the lowest 4 GiB");
        console_printf("kelmo: get_dbl_data: the status word's address does not fit in the driver's request, "
                       "and no memory below 4 GiB could be had for it; the fetch is refused\n");
        return false;
    }
    rec.statusAddr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(low));
    std::memcpy(low, status, sizeof *low);
    const bool ok = session.request(platform::kContinuousFetch, rec, raw, bytes, low);
    std::memcpy(status, low, sizeof *low);
    return ok;
}

}  // namespace

int DriverSource::fetch(const ContinuousFetch& q) {
    const UnitFrame& f = q.frame;
    if (!q.handleWord || q.nch < 0) {
        because(q.nch < 0 ? "the channel count is negative" : "the handle word is missing (null)");
        return 0;
    }
    const auto session = kept_session(*q.handleWord);
    if (!session) {
        because("no acquisition of this process runs on handle word %u; start one with Set_dbl_MulChSam first",
                static_cast<unsigned>(*q.handleWord));
        return 0;
    }
    Layout l{};
    l.mult = f.fetch_mult();
    l.n = q.nch == 0 ? 1u : static_cast<uint32_t>(q.nch);
    l.len = static_cast<uint32_t>(q.len);
    l.perChannel = uint64_t{l.mult} * l.len;
    l.interleaved = q.offset == 65535;
    l.offset = q.offset;
    l.stride = q.stride;
    const uint64_t bytes = f.transfer_bytes(l.mult, l.n * uint64_t{l.len});
    if (l.perChannel > INT32_MAX || bytes > UINT32_MAX) {
        because("%u channels of %u samples are more than one request to the device carries; fetch fewer at a time",
                l.n, l.len);
        return 0;
    }
    unsigned char* raw = t_transfer.get(static_cast<std::size_t>(bytes));
    if (!raw) {
        because_no_memory(static_cast<std::size_t>(bytes));
        return 0;
    }
    struct Trim {
        ~Trim() { t_transfer.trim(); }
    } trim;

    platform::RequestRecord rec{};
    rec.cardType = f.type();
    rec.samples = static_cast<int32_t>(l.perChannel);
    rec.channel = static_cast<int16_t>(q.nch);
    if (f.card.twoChannel && q.nch == 1) rec.channel = static_cast<int16_t>(f.block->word(kWordSingleChannel));
    if (!request_with_status(*session, rec, raw, static_cast<uint32_t>(bytes), q.status)) return 0;

    // A card type without a raw format has no values to give: its blocks
    // are left as they were.
    if (q.delivery == Delivery::Values && f.card.conv == ConvGroup::None) return 1;
    if (f.raw_word_bytes() == 4)
        deliver<uint32_t>(raw, q, l);
    else
        deliver<uint16_t>(raw, q, l);
    return 1;
}

}  // namespace kelmo::driver
