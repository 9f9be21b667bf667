#include "frames.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "../analysis.h"
#include "kelmo.h"
#include "protocol.h"

namespace kelmo::view {
namespace {

void put_header(std::string& out, const FrameHeader& h) {
    out.assign(reinterpret_cast<const char*>(&h), sizeof h);  // little-endian hosts
}

void put_floats(std::string& out, const std::vector<float>& v) {
    out.append(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float));
}

// The index of the crossing nearest the end of x[from .. to) (of the
// samples before it too), or -1.
int64_t last_crossing(const std::vector<float>& x, int64_t from, int64_t to, bool rising, double level) {
    for (int64_t i = to - 1; i > from && i > 0; --i) {
        const double a = x[std::size_t(i - 1)], b = x[std::size_t(i)];
        if (rising ? (a < level && b >= level) : (a > level && b <= level)) return i;
    }
    return -1;
}

// A duration for a person: "10 s", "200 ms", "50 µs".
std::string seconds_text(double s) {
    char b[32];
    if (s >= 1) std::snprintf(b, sizeof b, "%.3g s", s);
    else if (s >= 1e-3) std::snprintf(b, sizeof b, "%.3g ms", s * 1e3);
    else std::snprintf(b, sizeof b, "%.3g \u00b5s", s * 1e6);
    return b;
}

}  // namespace

bool scope_frame(const Acquisition& acq, const View& view, ScopeCursor& cursor, uint32_t seq, std::string& out) {
    const Status st = acq.status();
    uint64_t generation = 0;
    const uint64_t end = acq.end(&generation);
    if (view.mode == "stop" || st.state != "running" || !(st.rate > 0)) {
        cursor.stall.clear();  // nothing is awaited (a failure has its own reason)
        return false;
    }
    if (generation != cursor.generation) cursor = ScopeCursor{generation, 0, 0, 0, ""};
    if (end == cursor.end) return false;  // nothing new
    const int columns = std::clamp(view.columns, 16, 8192);
    const uint64_t n = static_cast<uint64_t>(std::clamp(view.seconds * st.rate, 2.0, 1e9));
    if (n > st.kept) {
        char b[200];
        std::snprintf(b, sizeof b,
                      "the screen's %s is more than the %s kept of %d channel%s at this rate: choose %s/div or less",
                      seconds_text(view.seconds).c_str(), seconds_text(double(st.kept) / st.rate).c_str(),
                      int(st.config.channels.size()), st.config.channels.size() == 1 ? "" : "s",
                      seconds_text(double(st.kept) / st.rate / 10).c_str());
        cursor.stall = b;
        return false;
    }
    if (end < n) return false;

    // Which channel of the acquisition the trigger watches.
    const auto& chosen = st.config.channels;
    const auto at = std::find(chosen.begin(), chosen.end(), view.channel);
    const bool triggering = view.slope != "off" && at != chosen.end();
    uint64_t first = end - n;
    int64_t crossing = -1;
    Window w;
    if (triggering) {
        // The latest crossing whose whole window is there: at least `pre`
        // of it before the crossing and the rest after it.
        const double pre = std::clamp(view.pre, 0.0, 1.0);
        const uint64_t before = static_cast<uint64_t>(std::llround(pre * double(n))), after = n - before;
        // Three screens back at most, as much as the ring holds.
        const uint64_t span = std::min<uint64_t>({end, 3 * n, st.kept});
        if (!acq.copy(end - span, span, w)) return false;
        const auto& x = w.channels[std::size_t(at - chosen.begin())];
        const int64_t lo = std::max<int64_t>(int64_t(before), int64_t(cursor.trigger - w.first) + 1);
        const int64_t hi = int64_t(span) - int64_t(after) + 1;
        const int64_t i = lo < hi ? last_crossing(x, std::max<int64_t>(lo - 1, 0), hi, view.slope == "rising", view.level)
                                  : -1;
        if (i < 0 || i < int64_t(before)) {
            cursor.end = end;
            // No new crossing yet: the page keeps the last one, and is told
            // once none has come for a screen and two seconds.
            if (end - cursor.shown > n + static_cast<uint64_t>(2 * st.rate)) {
                char b[200];
                std::snprintf(b, sizeof b, "waiting for the trigger: no %s crossing of %g on channel %d for over %s",
                              view.slope.c_str(), view.level, view.channel,
                              seconds_text(double(n) / st.rate + 2).c_str());
                cursor.stall = b;
            }
            return false;
        }
        crossing = int64_t(w.first) + i;
        first = uint64_t(crossing) - before;
        cursor.trigger = uint64_t(crossing);
        // The window out of what was copied.
        for (auto& ch : w.channels) {
            const auto off = std::ptrdiff_t(first - w.first);
            ch.erase(ch.begin(), ch.begin() + off);
            ch.resize(n);
        }
        w.first = first;
    } else if (!acq.copy(first, n, w)) {
        return false;
    }
    cursor.end = cursor.shown = end;
    cursor.stall.clear();

    const uint64_t per = std::max<uint64_t>(1, (n + uint64_t(columns) - 1) / uint64_t(columns));
    const uint64_t cols = (n + per - 1) / per;
    FrameHeader h;
    h.kind = kScopeFrame;
    h.channels = static_cast<uint16_t>(w.channels.size());
    h.seq = seq;
    h.columns = static_cast<uint32_t>(cols);
    h.rate = st.rate;
    h.first = first;
    h.per = static_cast<uint32_t>(per);
    h.flags = crossing >= 0 ? kTriggered : 0;
    h.trigger = crossing >= 0 ? double(crossing) : -1.0;
    put_header(out, h);
    std::vector<float> lo(cols), hi(cols);
    for (const auto& x : w.channels) {
        for (uint64_t c = 0; c < cols; ++c) {
            const auto b = x.begin() + std::ptrdiff_t(c * per);
            const auto e = x.begin() + std::ptrdiff_t(std::min<uint64_t>(n, (c + 1) * per));
            const auto [mn, mx] = std::minmax_element(b, e);
            lo[c] = *mn;
            hi[c] = *mx;
        }
        put_floats(out, lo);
        put_floats(out, hi);
    }
    return true;
}

bool spectrum_frame(const Acquisition& acq, const View& view, SpectrumState& state, uint32_t seq, std::string& out,
                    std::vector<Dominant>& dominant) {
    const Status st = acq.status();
    if (st.state != "running" || !(st.rate > 0)) return false;
    int bins = 256;
    while (bins < std::clamp(view.bins, 256, 2048)) bins *= 2;
    const uint64_t m = 2 * uint64_t(bins);
    uint64_t generation = 0;
    const uint64_t end = acq.end(&generation);
    Window w;
    if (end < m || !acq.copy(end - m, m, w)) return false;
    const std::size_t channels = w.channels.size();
    if (generation != state.generation || bins != state.bins || state.fft.size() != channels) {
        state = SpectrumState{generation, bins, std::vector<std::vector<double>>(channels, std::vector<double>(bins)),
                              std::vector<std::vector<double>>(channels, std::vector<double>(bins)), 0};
    }
    // Exponential averaging of the powers over `average` spectra.
    const double keep = state.taken == 0 ? 0.0 : 1.0 - 1.0 / std::clamp(view.average, 1, 1024);
    ++state.taken;
    const double fs = st.fullScale > 0 ? st.fullScale : 1.0;
    const double sine = fs * fs / 2;  // the power of a sine at full scale: 0 dB
    dominant.assign(channels, Dominant{});
    FrameHeader h;
    h.kind = kSpectrumFrame;
    h.channels = static_cast<uint16_t>(channels);
    h.seq = seq;
    h.columns = static_cast<uint32_t>(bins);
    h.rate = st.rate;
    h.first = end - m;
    h.trigger = st.rate / double(m);  // bin width
    put_header(out, h);
    std::vector<double> x(m), d(41), p(static_cast<std::size_t>(bins));
    std::vector<float> db(static_cast<std::size_t>(bins));
    for (std::size_t c = 0; c < channels; ++c) {
        double mean = 0;
        for (uint64_t i = 0; i < m; ++i) mean += (x[i] = w.channels[c][i]);
        mean /= double(m);
        // FFT: a Hann window's coherent gain is 1/2, so a sine of amplitude
        // A has |X| = A m / 4 at its bin.
        const auto a = cli::hann_fft(x.data(), m, mean);
        auto& fft = state.fft[c];
        for (int k = 0; k < bins; ++k) {
            const double amp = std::abs(a[std::size_t(k)]) * 4.0 / double(m);
            fft[std::size_t(k)] = keep * fft[std::size_t(k)] + (1 - keep) * amp * amp / 2;
            db[std::size_t(k)] = static_cast<float>(10 * std::log10(fft[std::size_t(k)] / sine + 1e-30));
        }
        put_floats(out, db);
        double variance = 0;
        for (uint64_t i = 0; i < m; ++i) variance += (x[i] - mean) * (x[i] - mean);
        variance /= double(m);
        if (variance > 0) {
            const double f = cli::peak_bin(a);
            const std::size_t k = std::min<std::size_t>(std::size_t(std::llround(f)), std::size_t(bins - 1));
            dominant[c] = {f * st.rate / double(m), double(db[k])};
        }
        // Maximum entropy (order 40, of the latest 1024 samples at most),
        // each bin's share of the variance.
        const int used = static_cast<int>(std::min<uint64_t>(m, 1024));
        std::vector<double> y(x.end() - used, x.end());
        for (double& v : y) v -= mean;
        double xms = 0;
        memcof(y.data(), used, 40, &xms, d.data());
        auto& mem = state.mem[c];
        if (xms > 0) {
            evlmem(0.0, double(bins - 1) / double(m), bins - 1, p.data(), d.data(), 40, xms);
            // A signal without noise puts a pole on the unit circle: the
            // bins there overflow, and they then hold all the power.
            double sum = 0;
            int infinite = 0;
            for (double v : p) {
                if (std::isinf(v)) ++infinite;
                else if (std::isfinite(v) && v > 0) sum += v;
            }
            for (int k = 0; k < bins; ++k) {
                const double v = p[std::size_t(k)];
                double share = 0;
                if (infinite > 0) share = std::isinf(v) ? variance / infinite : 0;
                else if (sum > 0 && std::isfinite(sum) && std::isfinite(v) && v > 0) share = variance * v / sum;
                mem[std::size_t(k)] = keep * mem[std::size_t(k)] + (1 - keep) * share;
            }
        }
        for (int k = 0; k < bins; ++k)
            db[std::size_t(k)] = static_cast<float>(10 * std::log10(mem[std::size_t(k)] / sine + 1e-30));
        put_floats(out, db);
    }
    return true;
}

}  // namespace kelmo::view
