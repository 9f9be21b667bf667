#include "sources/sound/speaker.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "core/messages.h"
#include "core/numconv.h"
#include "core/reason.h"
#include "platform/lock.h"
#include "platform/platform.h"
#include "sources/sound/caps.h"
#include "sources/sound/poll.h"
#include "sources/sound/ring.h"
#include "sources/sound/step.h"

namespace kelmo::sound {
namespace {

constexpr double kPi = 3.14159265358979323846;

// One playback per process, kept for its whole life (a device thread may
// read the ring until the device is closed). Its generation counts every
// change of device or ring, so that a call which ran the host's code (a
// message handler) can tell that the playback it was using is gone.
struct Speaker {
    platform::WaveOutPtr device;
    TwoHalfRing ring;
    uint64_t generation = 0;
    int32_t channels = 1;
    double rateRatio = 1.0;
    Resampler resampler;
    double fullScale = 0.0;
    uint64_t playPos = 0;   // frames written since the start
    bool started = false;   // the device restarted and the second half queued
    FrameCount played;      // the device's position
    uint32_t deviceRate = 0;
    int halfToggle = 1;
};
Speaker& state() {
    static Speaker* s = new Speaker;
    return *s;
}

// Threads take turns on the playback; recursive, as the host's code that a
// call runs may call in again.
std::unique_lock<kelmo::platform::RecursiveLock> lock_speaker() {
    static auto* m = new kelmo::platform::RecursiveLock;
    return std::unique_lock<kelmo::platform::RecursiveLock>(*m);
}

// A signal whose rate is near the device's is copied as it is, one frame
// a frame; one far from it is resampled.
bool copies(double rateRatio) { return std::fabs(rateRatio - 1.0) < 1.1; }

template <class F>
uint32_t on_device(F&& f) {
    Speaker& s = state();
    return s.device ? f(*s.device) : static_cast<uint32_t>(platform::kWaveBadHandle);
}

// Closes a playback still open, quietly.
void drop_playback() {
    Speaker& s = state();
    if (s.device) {
        s.device->reset();
        s.device->close();
        s.device.reset();
    }
    s.ring.reset();
    ++s.generation;
}

// Writes slot's half again: unprepare, prepare, write, each failure with
// its message.
bool requeue(int slot, const char* unprepareMsg, const char* prepareMsg, const char* writeMsg) {
    Speaker& s = state();
    if (!s.ring.requeue(s.device.get(), slot, [](platform::WaveOut& d, int k) { return d.write(k); }, "output",
                        "give back a played half", unprepareMsg, prepareMsg, writeMsg))
        return false;
    s.halfToggle = s.halfToggle ? 0 : 1;
    return true;
}

}  // namespace

namespace {

// The Blackman window over the 33 taps, computed once.
struct Window {
    double w[33];
    Window() {
        for (int q = -16; q <= 16; ++q)
            w[q + 16] = 0.42 - 0.5 * std::cos(kPi * (q / 16.0 + 1.0)) + 0.08 * std::cos(2.0 * kPi * q / 16.0);
    }
};
const Window kWindow;

// The low-pass kernel at cut-off c, u samples from the tap: sin(pi c u) /
// (pi u), and its limit c at u = 0. Every weight of the resampler is the
// window's times this, to the bit.
double kernel_at(double c, double u) { return u == 0.0 ? c : std::sin(kPi * c * u) / (kPi * u); }

// Output frame n's first tap k (the signal sample at or before it) and its
// fraction f beyond that sample.
struct Phase {
    int64_t k;
    double f;
};
Phase phase_of(uint32_t n, double ratio) {
    const double t = static_cast<double>(n) / ratio;
    const int64_t k = trunc_i64(std::floor(t) + 0.1);
    return {k, t - static_cast<double>(k)};
}

}  // namespace

double resample_at(const double* x, int32_t length, uint32_t pos, uint32_t j, double ratio) {
    const double c = std::min(ratio, 1.0);  // the cut-off
    const Phase ph = phase_of(static_cast<uint32_t>(pos + j), ratio);
    double acc = 0.0;
    for (int q = -16; q <= 16; ++q) {
        const int64_t at = ph.k - q;
        if (at < 0 || at >= length) continue;
        acc += kWindow.w[q + 16] * kernel_at(c, q + ph.f) * x[at];
    }
    return acc;
}

namespace {

constexpr int kTaps = 33;
// How far a fraction may lie from its phase's before the phase's weights
// are worked out anew: the Taylor polynomial's error grows with its cube.
constexpr double kNearFraction = 1e-5;

// The weights' dot product with x around tap k, in resample_at's order.
double dot(const double* w, const double* x, int32_t length, int64_t k) {
    double acc = 0.0;
    if (k >= 16 && k + 16 < length) {
        const double* at = x + k + 16;
        for (int i = 0; i < kTaps; ++i) acc += w[i] * at[-i];
        return acc;
    }
    for (int q = -16; q <= 16; ++q) {
        const int64_t at = k - q;
        if (at < 0 || at >= length) continue;
        acc += w[q + 16] * x[at];
    }
    return acc;
}

}  // namespace

Resampler::Resampler(double ratio) : ratio_(ratio), cutoff_(std::min(ratio, 1.0)) {
    // The fewest frames after which (pos + j) / ratio has moved by a whole
    // number of samples.
    for (uint32_t p = 1; p <= kPhases; ++p) {
        const double moved = p / ratio;
        if (std::fabs(moved - std::nearbyint(moved)) <= 1e-9) {
            period_ = p;
            break;
        }
    }
    weights_.assign(std::size_t(period_) * 3 * kTaps, 0.0);
    anchor_.assign(period_, std::nan(""));
}

void Resampler::fill(uint32_t slot, double f) {
    const double c = cutoff_;
    double* w = &weights_[std::size_t(slot) * 3 * kTaps];
    for (int q = -16; q <= 16; ++q) {
        const double u = q + f;
        const double kernel = kernel_at(c, u);
        // Its derivatives in u: near u = 0 by the series of sin(z)/z, where
        // the closed forms would cancel.
        const double z = kPi * c * u;
        double d1, d2;
        if (std::fabs(z) < 0.1) {
            const double z2 = z * z;
            d1 = c * c * kPi * z * (-1.0 / 3 + z2 * (1.0 / 30 - z2 / 840));
            d2 = c * c * c * kPi * kPi * (-1.0 / 3 + z2 * (1.0 / 10 - z2 / 168));
        } else {
            const double sn = std::sin(z), cs = std::cos(z);
            d1 = c * cs / u - sn / (kPi * u * u);
            d2 = -kPi * c * c * sn / u - 2 * c * cs / (u * u) + 2 * sn / (kPi * u * u * u);
        }
        const double win = kWindow.w[q + 16];
        w[q + 16] = win * kernel;
        w[kTaps + q + 16] = win * d1;
        w[2 * kTaps + q + 16] = win * d2 / 2;
    }
    anchor_[slot] = f;
}

void Resampler::run(const double* x, const double* y, int32_t length, uint32_t pos, uint32_t count, double* out,
                    uint32_t stride) {
    double near[kTaps];
    for (uint32_t j = 0; j < count; ++j) {
        const auto n = static_cast<uint32_t>(pos + j);
        const Phase ph = phase_of(n, ratio_);
        const double* w = near;
        if (period_) {
            const uint32_t slot = n % period_;
            double d = ph.f - anchor_[slot];
            if (!(std::fabs(d) <= kNearFraction)) {
                fill(slot, ph.f);
                d = 0.0;
            }
            const double* base = &weights_[std::size_t(slot) * 3 * kTaps];
            if (d == 0.0) {
                w = base;
            } else {
                for (int i = 0; i < kTaps; ++i) near[i] = base[i] + d * (base[kTaps + i] + d * base[2 * kTaps + i]);
            }
        } else {
            for (int q = -16; q <= 16; ++q) near[q + 16] = kWindow.w[q + 16] * kernel_at(cutoff_, q + ph.f);
        }
        out[std::size_t(j) * stride] = dot(w, x, length, ph.k);
        if (y) out[std::size_t(j) * stride + 1] = dot(w, y, length, ph.k);
    }
}

int open_speaker(double rate, int32_t channels, int32_t volume, double fullScale) {
    const auto lock = lock_speaker();
    Speaker& s = state();
    s.fullScale = fullScale;
    auto& p = platform::current();
    if (p.wave_out.wave_out_count() == 0) {
        because("the system has no output device that can be opened; connect one, or start the sound server");
        return 0;
    }
    platform::WaveOutCaps caps{};
    if (!device_step(p.wave_out.wave_out_caps(0, &caps), "output", "describe itself", msg::kWaveInCapsError)) caps = {};
    // The highest standard rate the device offers (44100 when it says none).
    const double highest = highest_standard_rate(caps.formats, 44100.0);
    if (caps.channels == 1 && channels == 2) {
        show_message(msg::kSpeakerOneChannel);
        channels = 1;
    }
    if ((channels != 1 && channels != 2) || !(rate > 0.0) || !std::isfinite(rate)) {
        because("%d channels at %g Hz cannot be played; give 1 or 2 channels and a rate above 0", channels, rate);
        show_message(msg::kSoundFormatUnsupported);
        return 0;
    }
    double deviceRate = standard_rate_at_most(rate);
    if (deviceRate > highest) deviceRate = highest;

    // One playback at a time: one still open is closed first.
    drop_playback();
    s.ring = TwoHalfRing::make();
    const uint64_t generation = ++s.generation;
    if (!s.ring) {  // the reason is recorded
        show_message(msg::kNotEnoughMemory);
        return 0;
    }
    s.channels = channels;
    s.rateRatio = deviceRate / rate;
    s.resampler = copies(s.rateRatio) ? Resampler{} : Resampler{s.rateRatio};
    s.playPos = 0;
    s.started = false;
    s.played = FrameCount{};
    s.halfToggle = 1;
    platform::WaveFormat f{};
    f.channels = static_cast<uint16_t>(channels);
    f.rate = static_cast<uint32_t>(trunc_i64(deviceRate + 0.1));
    s.deviceRate = f.rate;
    f.bitsPerSample = 16;
    f.blockAlign = static_cast<uint16_t>(2 * channels);
    f.bytesPerSecond = f.blockAlign * f.rate;
    if (p.wave_out.wave_out_query(0, f) != platform::kWaveOk) {
        because("the output device does not play %u Hz, %d channel(s) of 16 bits", static_cast<unsigned>(f.rate),
                channels);
        show_message(msg::kSoundFormatUnsupported);
        return 0;
    }
    if (!device_step(p.wave_out.wave_out_open(0, f, &s.device), "output", "open", msg::kWaveOutOpenError)) {
        s.device.reset();
        return 0;
    }
    if (caps.volume)
        device_step(on_device([&](platform::WaveOut& d) { return d.set_volume(uint32_t(volume) * 0x10001u); }),
                    "output", "set its volume", msg::kWaveOutVolumeError);
    if (s.generation != generation) {
        because("another thread opened or closed the playback meanwhile; open it again");
        return 0;
    }
    const bool queued =
        device_step(on_device([&](platform::WaveOut& d) { return d.prepare(0, s.ring.half(0), kHalfBytes); }),
                    "output", "prepare the first half of its buffer", msg::kPrepareFirstError) &&
        device_step(on_device([](platform::WaveOut& d) { return d.write(0); }), "output",
                    "queue the first half of its buffer", msg::kAddWhoutError);
    return queued ? 1 : 0;
}

int write_speaker(int32_t count, int32_t start, int32_t length, const double* left, const double* right) {
    const auto lock = lock_speaker();
    Speaker& s = state();
    const uint64_t generation = s.generation;
    if (!s.device || !s.ring) {
        because("no playback is open; call OpenSpeaker first");
        return 0;
    }
    if (count < 0 || !left || (s.channels == 2 && !right)) {
        because(count < 0 ? "the count is negative" : "a channel's array is missing (null)");
        return 0;
    }
    const int32_t ch = s.channels;
    const bool copy = copies(s.rateRatio);
    const int64_t frames = copy ? count : trunc_i64(count * s.rateRatio);
    // The conversion block, and in copy mode the caller's arrays, bound
    // what one call may do.
    if (frames * ch > kSpeakerBlock) {
        because("%lld values in one call, more than the %d that one call converts; pass the signal in pieces",
                static_cast<long long>(frames * ch), static_cast<int>(kSpeakerBlock));
        return 0;
    }
    if (copy && (start < 0 || int64_t{start} + count > length)) {
        because("samples %d .. %lld lie outside arrays of %d", start, static_cast<long long>(int64_t{start} + count - 1),
                length);
        return 0;
    }
    const auto m = static_cast<uint32_t>(frames);
    const std::size_t total = std::size_t(m) * ch;
    const std::unique_ptr<double[]> block(new double[total]);  // every value is written below
    if (copy) {
        for (uint32_t j = 0; j < m; ++j) {
            block[j * ch] = left[start + j];
            if (ch == 2) block[j * ch + 1] = right[start + j];
        }
    } else {  // the signal's index wraps at 32 bits
        s.resampler.run(left, ch == 2 ? right : nullptr, length, static_cast<uint32_t>(s.playPos), m, block.get(),
                        static_cast<uint32_t>(ch));
    }

    // Into the ring, from the running position on.
    const double d = s.fullScale / 32768.0;
    const double pos = std::fmod(static_cast<double>(s.playPos) * ch, double{kRingSamples});
    const auto w0 = static_cast<uint32_t>(trunc_i64(pos + 0.1));
    int16_t* ring = s.ring.samples();
    // In at most two runs: to the ring's end, then on from its start.
    // (A value that is not finite truncates to INT64_MIN, whose low 16 bits
    // are 0.)
    const auto code_of = [d](double x) {
        return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(trunc_i64(x / d))));
    };
    const std::size_t first = std::min<std::size_t>(total, kRingSamples - w0 % kRingSamples);
    int16_t* at = ring + w0 % kRingSamples;
    for (std::size_t i = 0; i < first; ++i) at[i] = code_of(block[i]);
    static_assert(kSpeakerBlock <= kRingSamples, "one call wraps the ring at most once");
    for (std::size_t i = first; i < total; ++i) ring[i - first] = code_of(block[i]);

    // The first block (an empty one too) starts the device and queues the
    // second half.
    if (!s.started) {
        if (!device_step(on_device([](platform::WaveOut& dv) { return dv.restart(); }), "output", "start playing",
                         msg::kWaveOutStartError))
            return 0;
        unsigned char* second = s.ring.half(1);
        if (!device_step(on_device([&](platform::WaveOut& dv) { return dv.prepare(1, second, kHalfBytes); }),
                         "output", "prepare the second half of its buffer", nullptr) ||
            !device_step(on_device([](platform::WaveOut& dv) { return dv.write(1); }), "output",
                         "queue the second half of its buffer", nullptr))
            return 0;
        s.started = true;
    }
    // The halves go back to the device as the write position passes the
    // quarter marks.
    const bool firstDue = w0 > 38400 && s.halfToggle != 0;
    if (w0 > 12800 && w0 < 25600 && s.halfToggle == 0 &&
        !requeue(1, msg::kUnprepareWhout1Error, msg::kPrepareWhout1Error, msg::kWriteWhout1Error))
        return 0;
    if (firstDue && !requeue(0, msg::kUnprepareWhoutError, msg::kPrepareWhoutError, msg::kWriteWhoutError))
        return 0;

    // Wait until the device has played past the block's start; a device
    // that plays nothing for kSpeakerStallMs ends the wait. The frames still
    // missing cannot have played before they take at the device's rate:
    // the wait sleeps that long (at most kSpeakerSliceUs a look), or until
    // the device says it has played them, where it can.
    auto& p = platform::current();
    uint64_t last = 0, played = 0;
    uint32_t since = p.clock.tick_count();
    bool reported = false;
    for (;;) {
        uint32_t reportedFrames = 0;
        bool known = false;
        if (on_device([&](platform::WaveOut& dv) { return dv.position(&reportedFrames); }) != platform::kWaveOk) {
            if (!reported) show_message(msg::kWaveOutPositionError);
            reported = true;
            if (s.generation != generation) {
                because("the playback was closed or opened again while this call waited");
                return 0;
            }
        } else {
            played = s.played.update(reportedFrames);
            if (played > s.playPos) break;
            known = true;
            if (played != last) {
                last = played;
                since = p.clock.tick_count();
            }
        }
        const uint32_t waited = p.clock.tick_count() - since;
        if (waited >= kSpeakerStallMs) {
            because("the output device played nothing for %u ms; check that no other program holds it",
                    static_cast<unsigned>(kSpeakerStallMs));
            return 0;
        }
        const uint64_t missing = known ? s.playPos + 1 - played : 1;
        const uint64_t due = s.deviceRate ? missing * 1000000 / s.deviceRate : 1000;
        const uint64_t stallUs = uint64_t{kSpeakerStallMs - waited} * 1000;
        if (known && s.device &&
            s.device->wait_position(static_cast<uint32_t>(reportedFrames + missing),
                                    static_cast<uint32_t>(std::min(due + kSpeakerSliceUs, stallUs))))
            continue;
        p.clock.sleep_us(static_cast<uint32_t>(std::clamp<uint64_t>(due, 1000, kSpeakerSliceUs)));
    }
    s.playPos += m;
    return 1;
}

int close_speaker() {
    const auto lock = lock_speaker();
    Speaker& s = state();
    if (!s.device) {
        because("no playback is open, so there was nothing to close; CloseSpeaker ends what OpenSpeaker began");
        show_message(msg::kWaveOutPauseError);
        return 0;
    }
    if (!device_step(on_device([](platform::WaveOut& d) { return d.pause(); }), "output", "pause",
                     msg::kWaveOutPauseError) ||
        !device_step(on_device([](platform::WaveOut& d) { return d.reset(); }), "output", "reset",
                     msg::kWaveOutResetError) ||
        !device_step(on_device([](platform::WaveOut& d) { return d.close(); }), "output", "close",
                     msg::kWaveOutCloseError))
        return 0;
    s.device.reset();
    ++s.generation;
    if (!s.ring) {
        because("no playback is open; call OpenSpeaker first");
        show_message(msg::kReleaseMemoryFailed);
        return 0;
    }
    s.ring.reset();
    return 1;
}

void reset_speaker_for_tests() {
    const auto lock = lock_speaker();
    drop_playback();
    Speaker& s = state();
    const uint64_t generation = s.generation;
    s = Speaker{};
    s.generation = generation;
}

}  // namespace kelmo::sound
