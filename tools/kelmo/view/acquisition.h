// kelmo view's acquisition: one thread running the library's continuous
// exports for the configuration the pages chose, keeping the latest seconds
// of every channel in a ring that the server's frames are cut from. A
// failure (a source that vanished) is shown with the library's reason and
// retried; a new configuration stops the acquisition (recover) and starts
// the next one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelmo::view {

struct Config {
    int card = 123;
    double rate = 10000;
    std::vector<int> channels{0};
    int gain = 1;
    bool operator==(const Config&) const = default;
};

// What the pages are told about the acquisition.
struct Status {
    std::string state = "starting";  // starting, running, failed, stopped
    std::string reason;              // the library's, when failed
    Config config;
    double rate = 0;                 // what the card really runs at
    double fullScale = 0;
    uint64_t blocks = 0, gaps = 0, samples = 0;
    uint64_t generation = 0;         // one more for every start
    uint64_t kept = 0;               // samples per channel the ring holds
};

// Why `config` cannot run on its card, by what the catalogue says of it
// (channels, gains, rates; at most `mostRate`): `what` names the part at
// fault ("card", "rate", "channels" or "gain"). Empty when it can.
struct Refusal {
    std::string what, reason;
    explicit operator bool() const { return !reason.empty(); }
};
Refusal refusal(const Config& config, double mostRate);

// The most the ring takes, all channels together: 32 channels at 1 MHz
// get 2 s.
inline constexpr uint64_t kMostRingBytes = uint64_t{256} << 20;

// The samples of a window, channel after channel, and where it begins.
struct Window {
    std::vector<std::vector<float>> channels;
    uint64_t first = 0;  // sample index of channels[c][0]
    double rate = 0;
    uint64_t generation = 0;
};

class Acquisition {
public:
    // `seconds` of every channel are kept, as far as kMostRingBytes holds
    // them: by default three of the longest screens a page offers (10 s)
    // and some, so that a trigger finds its crossing there.
    explicit Acquisition(Config config, double seconds = 32);
    ~Acquisition();
    Acquisition(const Acquisition&) = delete;
    Acquisition& operator=(const Acquisition&) = delete;

    void start();
    // Stops the acquisition (recover) and ends the thread.
    void stop();
    // Restarts with `config` (the thread stops the running acquisition
    // first).
    void reconfigure(const Config& config);

    Status status() const;
    // Samples [first, first + count) of every channel when the ring still
    // holds them all, else false.
    bool copy(uint64_t first, uint64_t count, Window& out) const;
    // The index one past the newest sample, and the generation it belongs to.
    uint64_t end(uint64_t* generation = nullptr) const;
    // When the newest sample arrived (for the latency of what is drawn).
    std::chrono::steady_clock::time_point arrived(uint64_t sample) const;

private:
    void run();
    bool acquire(const Config& c);
    bool make_ring(const Config& c, double rate, int len);  // false when stopped or reconfigured
    void fail(const std::string& reason);

    const double seconds_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    Config wanted_;
    bool changed_ = false, quit_ = false;
    Status status_;
    // The ring: `capacity_` samples per channel, the newest ending at end_.
    std::vector<std::vector<float>> ring_;
    uint64_t capacity_ = 0, end_ = 0;
    // When blocks arrived: (sample index after the block, time), the last few.
    std::vector<std::pair<uint64_t, std::chrono::steady_clock::time_point>> arrivals_;
    std::thread thread_;
};

}  // namespace kelmo::view
