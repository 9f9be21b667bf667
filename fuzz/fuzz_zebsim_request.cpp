// zebsim's side of the Linux device protocol: arbitrary request headers
// and the input they announce on one connection, in the order they arrive,
// through parse_request, the card's answer and encode_reply, as the server
// runs them; with the behaviour set from option texts (--signal, --refuse,
// --port-status) and --loopback, the D/A converter's words kept across
// connections as the server keeps them.
//
// Outputs a request may ask are kept to 64 KiB (an output above zebsim's
// 256 MiB limit is still refused, unchanged), so that a case stays fast.
// Checks: a reply never carries more bytes than the request's output
// holds; a refusal carries no data and status 0; a status is 0 or 1; a
// reply is due at a finite time, not before the request; the wire form is
// the header then exactly the data; a request without the magic, or
// announcing more input than its output or the device takes, ends the
// connection (the next one starts on a fresh card).
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "card.h"

namespace {

using namespace kelmo::platform;

constexpr uint32_t kCodes[] = {kSingleChannel, kMultiChannel, kContinuousStart, kContinuousFetch,
                               kPortStatus,    kStop,         kDaInit,          kDaData};
constexpr uint32_t kOutCap = 64 * 1024;

void fail(const char* what) {
    std::fprintf(stderr, "fuzz zebsim_request: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    zebsim::Behaviour b;
    b.realtime = in.ConsumeBool();
    b.loopback = in.ConsumeBool();
    b.delayMs = in.ConsumeIntegralInRange<uint32_t>(0, 3) == 0 ? in.ConsumeIntegral<uint32_t>() : 0;
    for (int options = in.ConsumeIntegralInRange<int>(0, 3); options > 0; --options) {
        const int which = in.ConsumeIntegralInRange<int>(0, 2);
        const std::string text = in.ConsumeRandomLengthString(40);
        if (which == 0) {
            const std::string e = b.signal.set(text);
            (void)e;
        } else if (const auto code = zebsim::parse_code(text)) {
            if (which == 1) b.refused.insert(*code);
            else if (*code <= 0xFFFF) b.portStatus = static_cast<uint16_t>(*code);
        }
    }

    zebsim::Playback playback;
    auto card = std::make_unique<zebsim::Card>(b, playback);
    double now = in.ConsumeFloatingPointInRange<double>(0.0, 1e6);
    while (in.remaining_bytes() > 0) {
        const uint8_t how = in.ConsumeIntegral<uint8_t>();
        std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(sizeof(DeviceRequestHeader));
        if (bytes.size() < sizeof(DeviceRequestHeader)) break;  // the client hung up mid-request
        DeviceRequestHeader* h = reinterpret_cast<DeviceRequestHeader*>(bytes.data());
        if (how & 1) {
            const uint32_t magic = kDeviceMagic;
            std::memcpy(&h->magic, &magic, 4);
        }
        if (how & 2) {
            const uint32_t code = kCodes[(how >> 2) % std::size(kCodes)];
            std::memcpy(&h->code, &code, 4);
        }
        uint32_t outSize;
        std::memcpy(&outSize, &h->outSize, 4);
        if (outSize > kOutCap && outSize <= zebsim::kMaxOutSize) {
            outSize %= kOutCap;
            std::memcpy(&h->outSize, &outSize, 4);
        }
        now += in.ConsumeIntegral<uint16_t>() / 1000.0;

        const auto req = zebsim::parse_request(bytes.data(), bytes.size());
        if (!req) {
            uint32_t magic, inSize;
            std::memcpy(&magic, bytes.data(), 4);
            std::memcpy(&inSize, &h->inSize, 4);
            if (magic == kDeviceMagic && inSize <= outSize && inSize <= kDeviceMaxInSize)
                fail("a request with the magic and bounded input was not taken");
            card = std::make_unique<zebsim::Card>(b, playback);  // dropped; the next client gets a fresh card
            continue;
        }
        if (std::memcmp(&*req, bytes.data(), sizeof *req) != 0) fail("the parsed request is not its bytes");
        if (req->inSize > req->outSize || req->inSize > kDeviceMaxInSize) fail("unbounded input was taken");
        const std::vector<uint8_t> input = in.ConsumeBytes<uint8_t>(req->inSize);
        if (input.size() < req->inSize) break;  // the client hung up mid-request
        (void)zebsim::log_line(req->code, req->record, req->outSize, req->inSize);

        const zebsim::Reply rep = card->answer(req->code, req->record, req->outSize, input, now);
        if (rep.ok != 0 && rep.ok != 1) fail("ok is neither 0 nor 1");
        if (rep.data.size() > req->outSize) fail("more data than the output holds");
        if (!rep.ok && (!rep.data.empty() || rep.status != 0)) fail("a refusal with data or a status");
        if (rep.status > 1) fail("a status other than 0 and 1");
        if (!std::isfinite(rep.due) || rep.due < now) fail("a reply due at no time or in the past");
        if (b.refused.count(req->code) && rep.ok) fail("a refused code was answered");

        const std::vector<uint8_t> wire = zebsim::encode_reply(rep);
        DeviceReplyHeader head;
        if (wire.size() != sizeof head + rep.data.size()) fail("the reply's size on the wire");
        std::memcpy(&head, wire.data(), sizeof head);
        if (head.magic != kDeviceMagic || head.ok != rep.ok || head.status != rep.status ||
            head.bytes != rep.data.size() ||
            (!rep.data.empty() && std::memcmp(wire.data() + sizeof head, rep.data.data(), rep.data.size()) != 0))
            fail("the reply on the wire is not the reply");
    }
    return 0;
}
