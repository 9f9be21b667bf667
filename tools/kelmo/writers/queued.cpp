#include "say.h"
#include "queued.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace kelmo::cli {
namespace {

// However many seconds are asked for, the queue never holds more than this:
// a long --buffer at a high rate would otherwise take all of memory first.
constexpr uint64_t kMostBytes = uint64_t(1) << 30;

// KELMO_WRITER_MOST_BYTES (for tests) lowers the bound.
uint64_t most_bytes() {
    if (const char* m = std::getenv("KELMO_WRITER_MOST_BYTES")) {
        const long long v = std::atoll(m);
        if (v > 0 && uint64_t(v) < kMostBytes) return uint64_t(v);
    }
    return kMostBytes;
}

uint64_t capacity_for(double rate, int channels, double seconds) {
    const double asked = std::max(1.0, seconds * rate);
    const double most = double(most_bytes()) / (8.0 * std::max(1, channels));
    return static_cast<uint64_t>(std::max(1.0, std::min(asked, most)));
}

struct Block {
    std::vector<double> data;  // channel-major, `len` samples per channel
    int len = 0;
};

class QueuedWriter final : public SampleWriter {
public:
    QueuedWriter(std::unique_ptr<SampleWriter> inner, double rate, int channels, double seconds)
        : inner_(std::move(inner)), rate_(rate), channels_(channels),
          capacity_(capacity_for(rate, channels, seconds)),
          capped_(double(capacity_) < seconds * rate), opened_(std::chrono::steady_clock::now()) {
        if (const char* d = std::getenv("KELMO_WRITER_DELAY_MS")) delayMs_ = std::max(0, std::atoi(d));
        // The writer's failures are said where its opener's lines go.
        thread_ = std::thread([this, sink = thread_say_sink()] {
            SayOnThisThread here(sink);
            drain();
        });
    }
    ~QueuedWriter() override { stop(); }

    bool block(const double* data, int len, int stride) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (failed_) return false;
        // A block larger than the whole queue still goes in once the queue
        // is empty: the queue covers at least one block.
        if (waiting_ > 0 && waiting_ + uint64_t(len) > capacity_) return overflow(lock);
        Block b;
        b.len = len;
        try {
            b.data.resize(std::size_t(channels_) * len);
        } catch (const std::bad_alloc&) {
            return overflow(lock);  // no memory for the block is a full queue too
        }
        for (int c = 0; c < channels_; ++c)
            std::copy_n(data + std::size_t(c) * stride, len, b.data.begin() + std::size_t(c) * len);
        waiting_ += uint64_t(len);
        accepted_ += uint64_t(len);
        queue_.push_back(std::move(b));
        wake_.notify_one();
        return true;
    }

    bool finish() override {
        stop();
        const bool written = inner_->finish();
        return written && !overflowed_ && !innerFailed_;
    }

private:
    bool overflow(std::unique_lock<std::mutex>& lock) {
        overflowed_ = true;
        failed_ = true;
        const uint64_t kept = accepted_;
        lock.unlock();
        // A card delivers no more than its rate allows in the time it ran
        // (and a block or so ahead): a source that delivered well beyond
        // that ran faster than real time, which no disk keeps up with.
        const double ran = std::chrono::duration<double>(std::chrono::steady_clock::now() - opened_).count();
        const double delivered = double(kept) / rate_;
        if (delivered > 1.25 * ran + 0.5) {
            say("kelmo: the output could not keep up with the acquisition: the run stops at sample %llu "
                "(%.3f s), where the gap would have begun, and the file holds the %llu samples per channel before "
                "it; the source delivered %.3f s of samples at %g Hz in %.3f s, faster than real time, which no "
                "disk keeps up with: pace the source as a card is paced (zebsim without --unpaced)",
                static_cast<unsigned long long>(kept), delivered, static_cast<unsigned long long>(kept), delivered,
                rate_, ran);
            return false;
        }
        say(
                     "kelmo: the output could not keep up with the acquisition: the run stops at sample %llu "
                     "(%.3f s), where the gap would have begun, and the file holds the %llu samples per channel "
                     "before it; %s",
                     static_cast<unsigned long long>(kept), double(kept) / rate_,
                     static_cast<unsigned long long>(kept),
                     capped_ ? "the queue is at its most (1 GiB), so write to a faster disk or record fewer channels"
                             : "give --buffer more seconds, or write to a faster disk");
        return false;
    }

    void drain() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return done_ || !queue_.empty(); });
            if (queue_.empty()) return;  // done, and nothing left
            Block b = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            if (delayMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_));
            const bool ok = !innerFailed_ && inner_->block(b.data.data(), b.len, b.len);
            lock.lock();
            waiting_ -= uint64_t(b.len);
            if (!ok && !innerFailed_) {
                innerFailed_ = true;  // the writer named the output and the cause
                failed_ = true;
            }
        }
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

    std::unique_ptr<SampleWriter> inner_;
    const double rate_;
    const int channels_;
    const uint64_t capacity_;  // samples per channel that may wait
    const bool capped_;        // the memory bound, not the seconds, set it
    const std::chrono::steady_clock::time_point opened_;
    int delayMs_ = 0;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Block> queue_;
    uint64_t waiting_ = 0, accepted_ = 0;
    bool done_ = false, failed_ = false, overflowed_ = false, innerFailed_ = false;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<SampleWriter> queued(std::unique_ptr<SampleWriter> inner, double rate, int channels,
                                     double seconds) {
    return std::make_unique<QueuedWriter>(std::move(inner), rate, channels, seconds);
}

}  // namespace kelmo::cli
