// kelmo view's server: the CPU of the kelmo process serving 8 channels x
// 100 kHz from zebsim to 0, 1 and 4 pages, measured in one run; the
// server's share is what a number of pages adds to the acquisition alone
// (0 pages). Each page is a WebSocket client that reads every frame and
// reports it drawn, as the page does (without drawing).
//
// The figures are for reading, never for asserting.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <utility>  // before Boost.Asio, which takes std::exchange for granted

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

double process_cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

// zebsim and kelmo view, started once for the whole run.
struct Servers {
    pid_t zebsim = -1, view = -1;
    std::string dir, host = "127.0.0.1", port, token;
    bool ok = false;
    Servers() {
        dir = "/tmp/kelmo-bench-view-" + std::to_string(::getpid());
        std::system(("mkdir -p " + dir).c_str());
        ::setenv("KELMO_DEVICE_DIR", dir.c_str(), 1);
        ::setenv("KELMO_SHM_NAMESPACE", ("bench-view-" + std::to_string(::getpid())).c_str(), 1);
        zebsim = spawn({ZEBSIM_PROGRAM, "--dir", dir, "--realtime"}, nullptr);
        for (int i = 0; i < 100 && ::access((dir + "/ZEB1").c_str(), F_OK) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        int out = -1;
        view = spawn({KELMO_PROGRAM, "view", "-t", "638", "-r", "100k", "-c", "8"}, &out);
        std::string line;
        char ch;
        while (::read(out, &ch, 1) == 1 && ch != '\n') line += ch;
        ::close(out);
        const auto scheme = line.find("http://"), colon = line.rfind(':'), slash = line.find("/?token=");
        if (scheme == std::string::npos || slash == std::string::npos) return;
        port = line.substr(colon + 1, slash - colon - 1);
        token = line.substr(slash + 8);
        ok = true;
        std::this_thread::sleep_for(std::chrono::seconds(2));  // the acquisition runs
    }
    ~Servers() {
        for (pid_t p : {view, zebsim})
            if (p > 0) {
                ::kill(p, SIGINT);
                ::waitpid(p, nullptr, 0);
            }
        std::system(("rm -rf " + dir).c_str());
    }
    static pid_t spawn(std::vector<std::string> argv, int* out) {
        int fds[2] = {-1, -1};
        if (out && ::pipe(fds) != 0) return -1;
        const pid_t p = ::fork();
        if (p == 0) {
            if (out) {
                ::dup2(fds[1], 1);
                ::close(fds[0]);
            }
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        if (out) {
            ::close(fds[1]);
            *out = fds[0];
        }
        return p;
    }
};

Servers& servers() {
    static Servers s;
    return s;
}

// A page: reads frames and says each one was drawn, until told to stop.
struct PageClient {
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<long> frames{0};
    explicit PageClient(const Servers& s) {
        thread = std::thread([this, &s] {
            try {
                asio::io_context io;
                tcp::resolver resolver(io);
                websocket::stream<tcp::socket> ws(io);
                asio::connect(ws.next_layer(), resolver.resolve(s.host, s.port));
                ws.handshake(s.host, "/ws?token=" + s.token);
                ws.write(asio::buffer(std::string(R"({"type":"view","columns":1200,"seconds":0.02})")));
                beast::flat_buffer b;
                while (!stop) {
                    ws.read(b);
                    if (!ws.got_text() && b.size() >= 12) {
                        uint32_t seq = 0;
                        std::memcpy(&seq, static_cast<const char*>(b.data().data()) + 8, 4);
                        ws.text(true);
                        ws.write(asio::buffer(R"({"type":"drawn","seq":)" + std::to_string(seq) + "}"));
                        ++frames;
                    }
                    b.consume(b.size());
                }
                ws.close(websocket::close_code::normal);
            } catch (...) {
            }
        });
    }
    ~PageClient() {
        stop = true;
        thread.join();
    }
};

void serve_pages(benchmark::State& state) {
    Servers& s = servers();
    if (!s.ok) return state.SkipWithError("kelmo view did not start");
    const int pages = static_cast<int>(state.range(0));
    double cpu = 0, wall = 0;
    long frames = 0;
    for (auto _ : state) {
        std::vector<std::unique_ptr<PageClient>> clients;
        for (int i = 0; i < pages; ++i) clients.push_back(std::make_unique<PageClient>(s));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // connected and served
        const double c0 = process_cpu_seconds(s.view);
        const auto t0 = std::chrono::steady_clock::now();
        long f0 = 0;
        for (auto& c : clients) f0 += c->frames;
        std::this_thread::sleep_for(std::chrono::seconds(4));
        cpu += process_cpu_seconds(s.view) - c0;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        for (auto& c : clients) frames += c->frames;
        frames -= f0;
    }
    state.counters["cpu_share"] = cpu / wall;
    state.counters["fps_per_page"] = pages ? double(frames) / wall / pages : 0;
}

}  // namespace

BENCHMARK(serve_pages)->Arg(0)->Arg(1)->Arg(4)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    struct Keep : benchmark::ConsoleReporter {
        std::vector<double> shares;
        void ReportRuns(const std::vector<Run>& runs) override {
            for (const auto& r : runs) shares.push_back(r.counters.at("cpu_share").value);
            ConsoleReporter::ReportRuns(runs);
        }
    } reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (reporter.shares.size() == 3)
        std::printf("\nkelmo view at 8 x 100 kHz: the process takes %.1f%% of a core with no page (the acquisition); "
                    "1 page adds %.1f%%, 4 pages add %.1f%%\n",
                    100 * reporter.shares[0], 100 * (reporter.shares[1] - reporter.shares[0]),
                    100 * (reporter.shares[2] - reporter.shares[0]));
    return 0;
}
