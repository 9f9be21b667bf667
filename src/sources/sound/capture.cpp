#include "sources/sound/capture.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include "core/convert.h"
#include "core/messages.h"
#include "core/numconv.h"
#include "core/reason.h"
#include "core/share_block.h"
#include "platform/lock.h"
#include "platform/platform.h"
#include "sources/sound/caps.h"
#include "sources/sound/poll.h"
#include "sources/sound/ring.h"
#include "sources/sound/state.h"
#include "sources/sound/step.h"

namespace kelmo::sound {
namespace {

constexpr uint64_t kMargin = 1024;        // samples the copy stays behind the position

// The capture state: one per process, kept for its whole life (a device
// thread may write into the buffer until the device is closed). Every
// change of its device or buffer counts a new generation, so that a call
// which ran the host's code (a message handler, a window procedure) can
// tell that the capture it was using is gone.
struct Capture {
    platform::WaveInPtr device;
    TwoHalfRing buffer;
    uint64_t generation = 0;
    uint32_t blocks = 0;  // fetched since the start
    FrameCount position;  // the device's, since the start
    int32_t channels = 0;
    int32_t picked = -1;  // the one channel delivered of a stereo capture, or -1: all
    uint32_t rate = 0;
};
Capture& state() {
    static Capture* c = new Capture;
    return *c;
}

// Closes the device, quietly, and gives the buffer back.
void drop_capture() {
    Capture& s = state();
    if (s.device) {
        s.device->reset();
        s.device->close();
        s.device.reset();
    }
    s.buffer.reset();
    ++s.generation;
}

// A call on the capture device, which may not be open: then it fails as
// a call on a bad handle does.
template <class F>
uint32_t on_device(F&& f) {
    Capture& s = state();
    return s.device ? f(*s.device) : static_cast<uint32_t>(platform::kWaveBadHandle);
}

platform::WaveFormat format_of(uint32_t freqCode, int32_t count) {
    platform::WaveFormat f{};
    f.channels = static_cast<uint16_t>(count);
    f.rate = freqCode > 32 ? 8000u : static_cast<uint32_t>(trunc_i64(kClock / freqCode + 0.1));
    f.bitsPerSample = 16;
    f.blockAlign = static_cast<uint16_t>(count * 2);
    f.bytesPerSecond = f.blockAlign * f.rate;
    return f;
}

// Points slot's header at its half again and queues it; the messages are
// those of the half.
bool requeue(int slot, const char* unprepareMsg, const char* prepareMsg, const char* addMsg) {
    Capture& s = state();
    return s.buffer.requeue(s.device.get(), slot, [](platform::WaveIn& d, int k) { return d.add(k); }, "capture",
                            "give back a recorded half", unprepareMsg, prepareMsg, addMsg);
}

}  // namespace

int32_t most_capture_block() { return static_cast<int32_t>((kHalfSamples - 2 * kMargin - 1) / 4); }

std::unique_lock<kelmo::platform::RecursiveLock> lock_capture() {
    static auto* m = new kelmo::platform::RecursiveLock;
    return std::unique_lock<kelmo::platform::RecursiveLock>(*m);
}

bool start_capture(uint32_t freqCode, int32_t count) {
    const auto lock = lock_capture();
    // A single channel (a count of 0 or less, the channel being -count): a
    // sound card has two, so channel 0 is a mono capture and channel 1 the
    // second channel of a stereo one; any other is not a format it has.
    int32_t picked = -1;
    if (count == 0) {
        count = 1;
    } else if (count == -1) {
        count = 2;
        picked = 1;
    }
    Capture& s = state();
    // What ran before is closed first: its device must not record into a
    // buffer that is given back.
    drop_capture();
    // The new capture is built aside and only then made the process's: the
    // messages of its steps run the host's code, which may start or stop a
    // capture of its own meanwhile.
    TwoHalfRing buffer = TwoHalfRing::make();
    if (!buffer) {  // the reason is recorded
        show_message(msg::kNotEnoughMemory);
        return false;
    }
    auto& p = platform::current();
    const bool shapeOk = count >= 1 && count <= 0xFFFF / 2 && freqCode != 0;
    const platform::WaveFormat format = format_of(shapeOk ? freqCode : 8, shapeOk ? count : 1);
    const uint32_t query = shapeOk ? p.wave_in.wave_in_query(0, format) : platform::kWaveOk;
    if (!shapeOk || query != platform::kWaveOk) {
        if (!shapeOk)
            because("%d channels at divider %u are not a format a sound card records; give 1 or 2 channels", count,
                    static_cast<unsigned>(freqCode));
        else if (query == platform::kWaveBadDevice)
            because("the system has no capture device (the system's sound code %u); connect one, or start the "
                    "sound server (PulseAudio), and try again", static_cast<unsigned>(query));
        else
            because("the capture device does not record %u Hz, %d channel(s) of 16 bits; choose 44100, 22050, "
                    "11025 or 8000 Hz, or one channel", static_cast<unsigned>(format.rate), count);
        show_message(msg::kSoundFormatUnsupported);
        drop_capture();
        s.buffer = std::move(buffer);
        return false;
    }
    bool ok = true;
    platform::WaveInPtr device;
    if (!device_step(p.wave_in.wave_in_open(0, format, &device), "capture", "open", msg::kWaveInOpenError)) {
        device.reset();
        ok = false;
    }
    const auto on_new = [&](auto&& f) {
        return device ? f(*device) : static_cast<uint32_t>(platform::kWaveBadHandle);
    };
    ok &= device_step(on_new([&](platform::WaveIn& d) { return d.prepare(0, buffer.half(0), kHalfBytes); }), "capture",
                      "prepare the first half of its buffer", msg::kPrepareFirstError);
    ok &= device_step(on_new([&](platform::WaveIn& d) { return d.add(0); }), "capture",
                      "queue the first half of its buffer", msg::kAddFirstError);
    ok &= device_step(on_new([](platform::WaveIn& d) { return d.start(); }), "capture", "start recording",
                      msg::kWaveInStartError);
    // The second half's steps have no message of their own.
    const bool second =
        device_step(on_new([&](platform::WaveIn& d) { return d.prepare(1, buffer.half(1), kHalfBytes); }),
                    "capture", "prepare the second half of its buffer", nullptr) &&
        device_step(on_new([](platform::WaveIn& d) { return d.add(1); }), "capture",
                    "queue the second half of its buffer", nullptr);
    drop_capture();
    s.device = std::move(device);
    s.buffer = std::move(buffer);
    s.channels = count;
    s.picked = picked;
    s.rate = format.rate;
    s.blocks = 0;
    s.position = FrameCount{};
    return ok && second;
}

int fetch_capture(const ContinuousFetch& q) {
    const auto lock = lock_capture();
    Capture& s = state();
    const uint64_t generation = s.generation;
    const auto gone = [&] { return s.generation != generation; };
    if (!s.buffer) {
        because("no sound card acquisition is running; start one with Set_dbl_MulChSam first");
        return 0;
    }
    if (q.nch <= 0 || q.len <= 0) {
        because("%d channels of %d samples were asked for; give at least one of each", q.nch, q.len);
        return 0;
    }
    // A picked channel is the one channel delivered; the ring holds frames
    // of both.
    const bool picked = s.picked >= 0;
    if (picked && q.nch != 1) {
        because("the acquisition records one picked channel, but %d were asked for", q.nch);
        return 0;
    }
    const uint64_t n = picked ? uint64_t(s.channels) : static_cast<uint64_t>(q.nch), L = static_cast<uint64_t>(q.len),
                   block = n * L;
    // The device records into a half only once it is queued again.
    if (block > uint64_t(most_capture_block())) {
        because("%llu samples in one block are more than the sound card's buffer serves; fetch fewer at a time",
                static_cast<unsigned long long>(block));
        return 0;
    }
    const uint64_t T = uint64_t{s.blocks} * block;
    const uint64_t pos = T % kRingSamples;
    const uint64_t b = pos / block;
    if (b == 3 && T > kRingSamples &&
        !requeue(1, msg::kUnprepareSecondError, msg::kPrepareSecondError, msg::kAddSecondError))
        return 0;
    if (b == kHalfSamples / block + 3 &&
        !requeue(0, msg::kUnprepareFirstError, msg::kPrepareFirstAgainError, msg::kAddFirstAgainError))
        return 0;

    // Wait until the device has recorded past the block and its margin,
    // sleeping and letting the host's window procedures run. A device that
    // records nothing for kStallMs ends the wait.
    auto& p = platform::current();
    const uint64_t target = T / n + 2048 / n + L;
    uint64_t last = 0;
    uint32_t since = p.clock.tick_count();
    bool reported = false;
    for (;;) {
        uint32_t reportedFrames = 0;
        if (on_device([&](platform::WaveIn& d) { return d.position(&reportedFrames); }) != platform::kWaveOk) {
            if (!reported) show_message(msg::kGetPositionError);
            reported = true;
            if (gone()) {
                because("the acquisition was stopped or restarted while this fetch waited");
                return 0;
            }
        } else {
            const uint64_t frames = s.position.update(reportedFrames);
            if (frames > target) break;
            if (frames != last) {
                last = frames;
                since = p.clock.tick_count();
            }
        }
        if (p.clock.tick_count() - since >= kStallMs) {
            because("the capture device recorded nothing for %u ms; check that no other program holds it, and "
                    "start the acquisition again", static_cast<unsigned>(kStallMs));
            return 0;
        }
        dispatch_messages();
        if (gone()) {
            because("the acquisition was stopped or restarted while this fetch waited");
            return 0;
        }
        p.clock.sleep_us(poll_sleep_us(last <= target ? target + 1 - last : 1, s.rate, 10000));
    }

    const int16_t* ring = s.buffer.samples();
    const bool interleaved = q.delivery == Delivery::Words && q.offset == 65535;
    const double gain = process_state().inputGain;
    for (uint64_t i = picked ? uint64_t(s.picked) : 0; i < block; i += picked ? n : 1) {
        const int16_t v = ring[(pos + kMargin + i) % kRingSamples];
        const uint64_t c = picked ? 0 : i % n, k = picked ? i / n : i;  // as delivered
        const std::ptrdiff_t at = interleaved ? std::ptrdiff_t(k)
                                              : std::ptrdiff_t(q.offset) + std::ptrdiff_t(c) * q.stride +
                                                    std::ptrdiff_t(i / n);
        if (q.delivery == Delivery::Words)
            static_cast<int16_t*>(q.buf)[at] = v;
        else
            static_cast<double*>(q.buf)[at] = conv::to_engineering<ConvGroup::Sound>(static_cast<uint16_t>(v), gain);
    }
    ++s.blocks;
    return 1;
}

void stop_capture() {
    const auto lock = lock_capture();
    Capture& s = state();
    if (!s.device) {
        // Nothing records: the same messages as a device that refused to
        // stop, but nothing failed.
        show_message(msg::kWaveInStopError);
        show_message(msg::kWaveInResetError);
        show_message(msg::kWaveInCloseError);
        if (!s.buffer) {
            show_message(msg::kReleaseMemoryFailed);
            return;
        }
        s.buffer.reset();
        ++s.generation;
        return;
    }
    device_step(on_device([](platform::WaveIn& d) { return d.stop(); }), "capture", "stop", msg::kWaveInStopError);
    device_step(on_device([](platform::WaveIn& d) { return d.reset(); }), "capture", "reset", msg::kWaveInResetError);
    if (device_step(on_device([](platform::WaveIn& d) { return d.close(); }), "capture", "close",
                    msg::kWaveInCloseError)) {
        s.device.reset();
        ++s.generation;
    }
    // The buffer goes back only once no device can record into it.
    if (!s.buffer || s.device) {
        show_message(msg::kReleaseMemoryFailed);
        return;
    }
    s.buffer.reset();
    ++s.generation;
}

void reset_capture_for_tests() {
    const auto lock = lock_capture();
    drop_capture();
    Capture& s = state();
    const uint64_t generation = s.generation;
    s = Capture{};
    s.generation = generation;
}

}  // namespace kelmo::sound
