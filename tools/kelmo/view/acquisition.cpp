#include "acquisition.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "../commands.h"
#include "kelmo.h"

namespace kelmo::view {
namespace {

// A fetch every 25 ms: what is drawn is at most a block and a frame
// behind, and a card, which lets a fetch be late by one block's time, lets
// this thread be late by 25 ms, and pages get 40 new frames a second. A
// source's ring may serve only shorter blocks (the sound card's).
int block_length(const Config& c, int span) {
    int len = static_cast<int>(std::clamp(c.rate / 40.0, 16.0, 65536.0));
    if (const int most = kelmo_block_limit(c.card, span); most > 0 && most < len) len = std::max(16, most / 4 * 4);
    return len;
}

// The samples [first, first + count) of a ring of `capacity` as at most two
// runs: f(position in the ring, position from first, length).
template <class F>
void ring_runs(uint64_t first, uint64_t count, uint64_t capacity, F f) {
    uint64_t at = first % capacity;
    for (uint64_t done = 0; done < count;) {
        const uint64_t run = std::min(count - done, capacity - at);
        f(at, done, run);
        done += run;
        at = 0;
    }
}

std::string hz(double rate) {
    char b[48];
    std::snprintf(b, sizeof b, "%g Hz", rate);
    return b;
}

}  // namespace

Refusal refusal(const Config& c, double mostRate) {
    const std::string card = "card type " + std::to_string(c.card);
    const cli::Card k = cli::card_of(c.card);
    if (k.source == KELMO_SOURCE_NONE) return {"card", card + " is not in the catalogue; choose one of the cards offered"};
    if (k.rates.empty()) return {"card", card + " cannot be used: " + k.why};
    if (c.channels.empty()) return {"channels", "no channel is chosen; choose at least one"};
    for (std::size_t i = 0; i < c.channels.size(); ++i) {
        const int ch = c.channels[i];
        if (ch < 0 || ch >= k.channels)
            return {"channels", "channel " + std::to_string(ch) + " is not one of " + card + ", whose channels are 0 to " +
                                    std::to_string(k.channels - 1)};
        if (i > 0 && ch <= c.channels[i - 1])
            return {"channels", "the channels are to be listed once each, in increasing order"};
    }
    if (!cli::offers_gain(k, c.gain))
        return {"gain", "gain " + std::to_string(c.gain) + " is not one of " + card + "; it offers " +
                            cli::listed(k.gains)};
    if (!(c.rate <= mostRate)) return {"rate", hz(c.rate) + " is more than the view draws; choose at most " + hz(mostRate)};
    const int span = c.channels.back() - c.channels.front() + 1;
    if (!kelmo_card_divider(c.card, c.rate, span, nullptr, nullptr))
        return {"rate", cli::library_cause(hz(c.rate) + " is not a rate of " + card)};
    return {};
}

Acquisition::Acquisition(Config config, double seconds) : seconds_(seconds), wanted_(std::move(config)) {
    status_.config = wanted_;
}

Acquisition::~Acquisition() { stop(); }

void Acquisition::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable()) return;
    quit_ = false;
    thread_ = std::thread([this] { run(); });
}

void Acquisition::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Acquisition::reconfigure(const Config& config) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wanted_ = config;
        changed_ = true;
    }
    wake_.notify_all();
}

Status Acquisition::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

uint64_t Acquisition::end(uint64_t* generation) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation) *generation = status_.generation;
    return end_;
}

std::chrono::steady_clock::time_point Acquisition::arrived(uint64_t sample) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [after, at] : arrivals_)
        if (after >= sample) return at;
    return arrivals_.empty() ? std::chrono::steady_clock::now() : arrivals_.back().second;
}

bool Acquisition::copy(uint64_t first, uint64_t count, Window& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count == 0 || first + count > end_ || end_ - first > capacity_ || ring_.empty()) return false;
    out.first = first;
    out.rate = status_.rate;
    out.generation = status_.generation;
    out.channels.resize(ring_.size());
    for (std::size_t c = 0; c < ring_.size(); ++c) {
        auto& to = out.channels[c];
        to.resize(count);
        const auto& from = ring_[c];
        ring_runs(first, count, capacity_, [&](uint64_t at, uint64_t done, uint64_t run) {
            std::copy_n(from.begin() + static_cast<std::ptrdiff_t>(at), run, to.begin() + static_cast<std::ptrdiff_t>(done));
        });
    }
    return true;
}

void Acquisition::fail(const std::string& reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.state = "failed";
    status_.reason = reason;
}

void Acquisition::run() {
    for (;;) {
        Config c;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (quit_) break;
            c = wanted_;
            changed_ = false;
        }
        try {
            if (acquire(c)) continue;  // reconfigured: at once
        } catch (const std::exception& e) {
            // Out of memory, most likely: the pages are told, and the
            // acquisition (already recovered) is tried again in a while.
            fail("the acquisition of card type " + std::to_string(c.card) + " failed: " + e.what() +
                 "; choose fewer channels or a lower rate");
        }
        // Failed: the reason stays on the pages; try again in a while (a
        // signal source that comes back is taken up again).
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, std::chrono::seconds(2), [this] { return quit_ || changed_; });
    }
    std::lock_guard<std::mutex> lock(mutex_);
    status_.state = "stopped";
}

// The ring for `c` at `rate`: `seconds_` of every channel as far as
// kMostRingBytes holds them, at least four blocks of `len`. The last one
// goes first, so that the two are never held together. False, with the
// reason on the pages, when the memory cannot be had.
bool Acquisition::make_ring(const Config& c, double rate, int len) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::vector<float>>().swap(ring_);
        capacity_ = end_ = 0;
        status_.kept = 0;
        arrivals_.clear();
    }
    const double most = std::floor(double(kMostRingBytes) / (double(c.channels.size()) * sizeof(float)));
    const auto capacity = static_cast<uint64_t>(std::max(4.0 * len, std::min(std::ceil(seconds_ * rate), most)));
    std::vector<std::vector<float>> ring;
    try {
        ring.assign(c.channels.size(), std::vector<float>(capacity));
    } catch (const std::exception&) {
        const double mb = double(capacity) * double(c.channels.size()) * sizeof(float) / double(1 << 20);
        char b[64];
        std::snprintf(b, sizeof b, "%.0f MB", mb);
        fail(std::string("the ") + b + " that keep the latest samples of " + std::to_string(c.channels.size()) +
             " channels at " + hz(rate) + " cannot be had (out of memory); choose fewer channels or a lower rate");
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ring_ = std::move(ring);
    capacity_ = capacity;
    return true;
}

// One acquisition, from Checkcard to recover. True when it ended because a
// new configuration came (or the thread is to end), false on a failure.
bool Acquisition::acquire(const Config& c) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.state = "starting";
        status_.reason.clear();
        status_.config = c;
    }
    if (const Refusal r = refusal(c, 1e300)) {
        fail(r.reason);
        return false;
    }
    char text[131] = {};
    int checked = 0;
    if (!Checkcard(c.card, text, &checked)) {
        fail("card type " + std::to_string(c.card) + " cannot be used: " + cli::library_reason(cli::to_utf8(text)));
        return false;
    }
    const int first = c.channels.front(), span = c.channels.back() - first + 1;
    cli::Divided divided;
    if (!cli::set_up_divider(c.card, c.rate, span, &divided)) {
        fail(cli::library_cause("card type " + std::to_string(c.card) + " has no divider for " + hz(c.rate)));
        return false;
    }
    const uint32_t code = divided.code;
    const double rate = divided.rate;
    int channels = 0, gainCount = 0, fullScale = 0;
    double gains[10] = {}, high = 0, low = 0;
    GetADParameter(c.card, &channels, gains, &gainCount, nullptr, nullptr, nullptr, &high, &low, &fullScale);

    const int len = block_length(Config{c.card, rate, c.channels, c.gain}, span);
    const int packed = first > 0 ? first * 256 + span : span;
    uint32_t handle = 0;
    struct Recover {
        uint32_t* h;
        int type;
        ~Recover() { recover(h, type); }
    } stopping{&handle, c.card};
    if (!Set_dbl_MulChSam(&handle, c.card, static_cast<int>(code), c.gain, packed, len)) {
        fail(cli::library_reason("the continuous acquisition of card type " + std::to_string(c.card) +
                                 " did not start"));
        return false;
    }
    if (!make_ring(c, rate, len)) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.state = "running";
        status_.rate = rate;
        status_.fullScale = fullScale;
        status_.blocks = status_.gaps = status_.samples = 0;
        status_.kept = capacity_;
        ++status_.generation;
    }
    std::vector<double> block(std::size_t(len) * span);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (quit_ || changed_) return true;
        }
        int st = 0;
        if (get_dbl_data(&handle, c.card, len, span, block.data(), len, 0, &st) != 1) {
            fail(cli::library_reason("the source stopped delivering"));
            return false;
        }
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t k = 0; k < c.channels.size(); ++k) {
            const double* from = block.data() + std::size_t(c.channels[k] - first) * len;
            auto& to = ring_[k];
            ring_runs(end_, uint64_t(len), capacity_, [&](uint64_t at, uint64_t done, uint64_t run) {
                std::transform(from + done, from + done + run, to.begin() + static_cast<std::ptrdiff_t>(at),
                               [](double v) { return static_cast<float>(v); });
            });
        }
        end_ += uint64_t(len);
        arrivals_.emplace_back(end_, now);
        if (arrivals_.size() > 64) arrivals_.erase(arrivals_.begin());
        ++status_.blocks;
        status_.gaps += st != 0;
        status_.samples = end_;
    }
}

}  // namespace kelmo::view
