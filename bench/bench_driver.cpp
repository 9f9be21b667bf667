// A 32-channel continuous acquisition from zebsim as fast as it answers:
// what the library costs per fetch beside the socket transfer alone.
//
// Two zebsim processes serve two device folders. In one loop the library
// fetches a block from the first (get_dbl_data: request, transfer,
// conversion to engineering values, or get_dbl_dataW: raw words) and a bare
// client fetches the same block from the second (request header out, reply
// and raw words in, nothing else), so both see the same load on the
// machine. The time column is the library's; the counters give both per
// fetch, the samples per second the host receives, and the library's share
// beyond the transfer.
//
// The figures are for reading, never for asserting.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kelmo.h"
#include "platform/device_protocol.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace kelmo::platform;

constexpr int kType = 728;  // 32 channels, signed 16-bit
constexpr int kChannels = 32;
constexpr int kLen = 1024;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One zebsim serving DIR/ZEB1, stopped at exit.
struct Zebsim {
    std::string dir;
    pid_t pid = -1;
    explicit Zebsim(const std::string& d) : dir(d) {
        int out[2];
        if (::pipe(out) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], 1);
            ::execl(ZEBSIM_PROGRAM, "zebsim", "--unpaced", "--dir", dir.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        char line[512] = {};
        FILE* f = ::fdopen(out[0], "r");
        if (!f || !std::fgets(line, sizeof line, f)) pid = -1;  // the ready line
    }
    ~Zebsim() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

bool read_all(int fd, void* p, std::size_t n) {
    auto* c = static_cast<char*>(p);
    while (n > 0) {
        const ssize_t r = ::recv(fd, c, n, 0);
        if (r <= 0) return false;
        c += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

// The transfer alone: a client of the device protocol and nothing else.
class BareClient {
public:
    explicit BareClient(const std::string& dir) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s/ZEB1", dir.c_str());
        DeviceHello hello{};
        ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && read_all(fd_, &hello, sizeof hello) &&
              hello.ok;
        RequestRecord start{};
        start.cardType = kType;
        start.divider = 10;
        start.samples = kLen;
        start.channel = kChannels;
        ok_ = ok_ && request(kContinuousStart, start, 0);
        buffer_.resize(std::size_t{kChannels} * kLen * 2);
    }
    ~BareClient() { ::close(fd_); }
    bool ok() const { return ok_; }
    bool fetch() {
        RequestRecord r{};
        r.cardType = kType;
        r.samples = kLen;
        r.channel = kChannels;
        return request(kContinuousFetch, r, static_cast<uint32_t>(buffer_.size()));
    }

private:
    bool request(uint32_t code, const RequestRecord& r, uint32_t outSize) {
        const DeviceRequestHeader req{kDeviceMagic, code, r, outSize, 0};
        DeviceReplyHeader rep{};
        if (::send(fd_, &req, sizeof req, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof req)) return false;
        if (!read_all(fd_, &rep, sizeof rep) || !rep.ok) return false;
        return rep.bytes == 0 || read_all(fd_, buffer_.data(), rep.bytes);
    }
    int fd_ = -1;
    bool ok_ = false;
    std::vector<char> buffer_;
};

void fetches(benchmark::State& state, bool words) {
    const std::string base = "/tmp/kelmo-bench-" + std::to_string(::getpid());
    Zebsim forLibrary(base + "-a"), forBare(base + "-b");
    if (forLibrary.pid < 0 || forBare.pid < 0) {
        state.SkipWithError("zebsim did not start");
        return;
    }
    ::setenv("KELMO_DEVICE_DIR", forLibrary.dir.c_str(), 1);
    uint32_t code = 0;
    double actual = 0;
    PreSamp(kType, 1000.0, &code, &actual);  // the unit's block
    uint32_t handle = 0;
    BareClient bare(forBare.dir);
    if (!Set_dbl_MulChSam(&handle, kType, 10, 1, kChannels, kLen) || !bare.ok()) {
        state.SkipWithError("no continuous acquisition");
        recover(&handle, kType);
        return;
    }
    std::vector<double> values(std::size_t{kChannels} * kLen);
    std::vector<uint16_t> raw(std::size_t{kChannels} * kLen);
    double libraryTime = 0, bareTime = 0;
    int64_t n = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        const int ok = words ? get_dbl_dataW(&handle, kType, kLen, kChannels, raw.data(), kLen, 0, nullptr)
                             : get_dbl_data(&handle, kType, kLen, kChannels, values.data(), kLen, 0, nullptr);
        const auto t1 = Clock::now();
        const bool bareOk = bare.fetch();
        const auto t2 = Clock::now();
        if (!ok || !bareOk) {
            state.SkipWithError("a fetch failed");
            break;
        }
        state.SetIterationTime(seconds(t1 - t0));
        libraryTime += seconds(t1 - t0);
        bareTime += seconds(t2 - t1);
        ++n;
    }
    recover(&handle, kType);
    if (n == 0) return;
    state.SetItemsProcessed(n * kChannels * kLen);
    state.counters["library_us"] = libraryTime / double(n) * 1e6;
    state.counters["transfer_us"] = bareTime / double(n) * 1e6;
    state.counters["added_pct"] = (libraryTime - bareTime) / bareTime * 100.0;
    state.counters["Msamples_per_s"] = double(n) * kChannels * kLen / libraryTime / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("continuous_32ch/values", [](benchmark::State& s) { fetches(s, false); })
        ->UseManualTime()
        ->MinTime(2.0);
    benchmark::RegisterBenchmark("continuous_32ch/raw_words", [](benchmark::State& s) { fetches(s, true); })
        ->UseManualTime()
        ->MinTime(2.0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
