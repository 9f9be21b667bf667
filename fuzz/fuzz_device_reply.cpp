// The library's side of the Linux device protocol: whatever the device
// sends (greeting, reply headers, output bytes; malformed, truncated, too
// long) through greet_device and a few requests on one connection.
//
// The device's bytes are queued on one end of a socket pair, whose writing
// side is then shut, so every read finds data or the end at once. Checks:
// nothing is written beyond a request's output; the status word is written
// only by a request that was answered; once the connection is out of step
// (a cut-off or foreign reply) every later request fails with a cause; a
// request that carries its buffer and fails so leaves the buffer as it
// was; the requests on the wire are whole, carry the magic, the code, the
// record and the output size asked (0 without an output), followed by the
// buffer for the requests whose buffer the driver reads.
#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/device_protocol.h"
#include "platform/posix/posix.h"

namespace {

using namespace kelmo::platform;

constexpr uint32_t kCodes[] = {kSingleChannel, kMultiChannel, kContinuousStart, kContinuousFetch,
                               kPortStatus,    kStop,         kDaInit,          kDaData};
constexpr std::size_t kMaxStream = 64 * 1024;  // fits a socket pair's buffer
constexpr uint32_t kStatusUnset = 0xDEADBEEF;

void fail(const char* what) {
    std::fprintf(stderr, "fuzz device_reply: %s\n", what);
    std::abort();
}

constexpr uint8_t kFill = 0x5A;  // every output buffer's bytes before the request

struct Sent {
    uint32_t code;
    RequestRecord record;
    uint32_t outSize;
    uint32_t inSize;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int count = in.ConsumeIntegralInRange<int>(1, 4);
    struct Plan {
        uint32_t code;
        uint32_t outSize;
        bool withOut, withStatus;
        RequestRecord record;
    } plans[4];
    for (int i = 0; i < count; ++i) {
        Plan& p = plans[i];
        const uint8_t c = in.ConsumeIntegral<uint8_t>();
        p.code = c < 16 * std::size(kCodes) ? kCodes[c % std::size(kCodes)] : in.ConsumeIntegral<uint32_t>();
        p.outSize = in.ConsumeIntegralInRange<uint32_t>(0, in.ConsumeBool() ? 16 : 4096);
        p.withOut = in.ConsumeIntegralInRange<int>(0, 7) != 0;
        p.withStatus = in.ConsumeBool();
        std::memset(&p.record, 0, sizeof p.record);
        p.record.cardType = in.ConsumeIntegral<int32_t>();
        p.record.samples = in.ConsumeIntegral<int32_t>();
    }
    std::vector<uint8_t> stream = in.ConsumeRemainingBytes<uint8_t>();
    if (stream.size() > kMaxStream) stream.resize(kMaxStream);

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) fail("socketpair");
    const int lib = fds[0], dev = fds[1];
    const int bufBytes = 4 * static_cast<int>(kMaxStream);
    ::setsockopt(dev, SOL_SOCKET, SO_SNDBUF, &bufBytes, sizeof bufBytes);
    ::fcntl(dev, F_SETFL, O_NONBLOCK);
    std::size_t queued = 0;
    while (queued < stream.size()) {
        const ssize_t w = ::send(dev, stream.data() + queued, stream.size() - queued, MSG_NOSIGNAL);
        if (w <= 0) break;  // the rest does not fit: the device sends no more
        queued += static_cast<std::size_t>(w);
    }
    ::shutdown(dev, SHUT_WR);

    DevicePtr device = posix::greet_device(lib);  // takes the socket over, also on failure
    std::vector<Sent> expected;
    if (device) {
        bool broken = false;
        for (int i = 0; i < count; ++i) {
            const Plan& p = plans[i];
            // Exactly the output's size on the heap, so a write beyond it
            // is caught.
            std::unique_ptr<uint8_t[]> out(p.withOut ? new uint8_t[p.outSize ? p.outSize : 1] : nullptr);
            if (out) std::memset(out.get(), kFill, p.outSize ? p.outSize : 1);
            uint32_t status = kStatusUnset;
            const bool ok = device->ioctl(p.code, p.record, out.get(), p.outSize, p.withStatus ? &status : nullptr, 1000);
            const char* cause = device->failure_cause();
            if (broken && (ok || !cause)) fail("a request went through on a connection out of step");
            const bool carries = p.withOut && request_reads_buffer(p.code);
            if (!broken) expected.push_back({p.code, p.record, p.withOut ? p.outSize : 0, carries ? p.outSize : 0});
            if (cause) {
                if (ok) fail("a request both succeeded and failed");
                if (status != kStatusUnset) fail("a failed transport wrote the status word");
                if (carries)
                    for (uint32_t k = 0; k < p.outSize; ++k)
                        if (out[k] != kFill) fail("a failed transport changed the buffer it carried");
                broken = true;
            }
        }
        device.reset();
    }

    // What reached the device: whole requests, as asked.
    std::vector<uint8_t> wire;
    uint8_t buf[4096];
    for (ssize_t r; (r = ::recv(dev, buf, sizeof buf, MSG_DONTWAIT)) > 0;) wire.insert(wire.end(), buf, buf + r);
    ::close(dev);
    std::size_t at = 0;
    for (const Sent& e : expected) {
        DeviceRequestHeader h;
        if (wire.size() - at < sizeof h + e.inSize) fail("the requests on the wire are not whole");
        std::memcpy(&h, wire.data() + at, sizeof h);
        at += sizeof h;
        if (h.magic != kDeviceMagic || h.code != e.code || h.outSize != e.outSize || h.inSize != e.inSize ||
            std::memcmp(&h.record, &e.record, sizeof h.record) != 0)
            fail("a request on the wire is not the one asked");
        for (uint32_t k = 0; k < e.inSize; ++k)
            if (wire[at + k] != kFill) fail("the buffer on the wire is not the caller's");
        at += e.inSize;
    }
    if (at != wire.size()) fail("the requests on the wire are not whole");
    return 0;
}
