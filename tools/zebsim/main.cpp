// zebsim: a simulated acquisition card. It serves the device "ZEB1", the
// Unix-domain socket the library opens on Linux, one client at a time, and
// answers its requests with sine blocks in the raw word format of the card
// type each request names, or (--loopback) with what its D/A converter
// plays. Options inject failures for tests of the library's failure paths.
//
// One thread: a poll over the stop pipe, the listener and the client. A
// reply that must wait (--delay-ms, the card's own pace) waits in that poll, so a
// second client is still turned away at once and a stop is still taken.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "../portable.h"
#include "card.h"
#include "platform/device_protocol.h"
#include "platform/posix/posix.h"

namespace {

using namespace kelmo::platform;

int g_stopPipe[2] = {-1, -1};

extern "C" void on_signal(int) {
    const int saved = errno;
    const char c = 1;
    [[maybe_unused]] const ssize_t w = ::write(g_stopPipe[1], &c, 1);
    errno = saved;
}

double now_s() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void fail(const std::string& what) {
    std::fprintf(stderr, "zebsim: %s\n", what.c_str());
}

// Creates the missing folders of `dir`, each with mode 0700.
bool make_folder(const std::string& dir) {
    for (std::size_t at = 1; at <= dir.size(); ++at) {
        if (at < dir.size() && dir[at] != '/') continue;
        const std::string prefix = dir.substr(0, at);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st{};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool fill_address(const std::string& path, sockaddr_un& addr) {
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Removes a socket file nobody serves. False (with the reason printed) when
// another program serves it or the path is something else.
bool clear_stale(const std::string& path, const sockaddr_un& addr) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) return true;
    if (!S_ISSOCK(st.st_mode)) {
        fail(path + " exists and is not a socket");
        return false;
    }
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool live = probe >= 0 && ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) ::close(probe);
    if (live) {
        fail(path + " is already served by another program");
        return false;
    }
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

// The served client and where its current request stands.
struct Client {
    enum class Phase { Reading, Waiting, Sending };

    Client(int f, const zebsim::Behaviour& b, zebsim::Playback& playback) : fd(f), card(b, playback) {}
    ~Client() { ::close(fd); }

    int fd;
    zebsim::Card card;
    Phase phase = Phase::Reading;
    unsigned char header[sizeof(DeviceRequestHeader)];
    std::size_t have = 0;                        // header bytes read
    std::optional<DeviceRequestHeader> request;  // once its header is whole
    std::vector<uint8_t> input;                  // the input that comes with it
    std::size_t inputHave = 0;                   // input bytes read
    std::vector<uint8_t> reply;                  // header and output of the pending reply
    std::size_t sent = 0;
    double due = 0.0;
    uint64_t answered = 0;
};

class Server {
public:
    Server(int listener, const zebsim::Behaviour& b, int logFd, std::optional<uint64_t> dropAfter, bool once)
        : listener_(listener), b_(b), logFd_(logFd), dropAfter_(dropAfter), once_(once) {}

    void run() {
        while (!stop_) {
            if (client_ && client_->phase == Client::Phase::Waiting && now_s() >= client_->due) {
                client_->phase = Client::Phase::Sending;
                send_some();
                if (stop_) break;
            }
            pollfd p[3] = {{g_stopPipe[0], POLLIN, 0}, {listener_, POLLIN, 0}, {-1, 0, 0}};
            int timeout = -1;
            if (client_) {
                p[2].fd = client_->fd;
                p[2].events = client_->phase == Client::Phase::Reading   ? POLLIN
                              : client_->phase == Client::Phase::Sending ? POLLOUT
                                                                          : 0;  // hang-ups are always reported
                if (client_->phase == Client::Phase::Waiting) {
                    const double ms = std::ceil((client_->due - now_s()) * 1000.0);
                    timeout = static_cast<int>(std::clamp(ms, 0.0, 60000.0));
                }
            }
            if (::poll(p, client_ ? 3 : 2, timeout) < 0) {
                if (errno == EINTR) continue;
                fail(std::string("poll: ") + std::strerror(errno));
                return;
            }
            if (p[0].revents) return;
            // The client first: one that has just gone makes room for the
            // next, who must not be turned away.
            if (client_ && p[2].revents) serve_client(p[2].revents);
            if (p[1].revents & POLLIN) accept_all();
        }
    }

private:
    void accept_all() {
        for (;;) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                // EAGAIN: none left. Anything else (out of descriptors):
                // pause, or the next poll would return at once, for ever.
                if (errno != EAGAIN && errno != EWOULDBLOCK) ::poll(nullptr, 0, 100);
                return;
            }
            const DeviceHello hello{kDeviceMagic, client_ ? 0u : 1u};
            const bool greeted = ::send(fd, &hello, sizeof hello, MSG_NOSIGNAL | MSG_DONTWAIT) == sizeof hello;
            if (client_ || !greeted) {
                ::close(fd);  // the device is not shared
                continue;
            }
            client_ = std::make_unique<Client>(fd, b_, playback_);
        }
    }

    void serve_client(short revents) {
        switch (client_->phase) {
            case Client::Phase::Reading: read_request(); break;
            case Client::Phase::Sending:
                if (revents & (POLLERR | POLLHUP)) drop();
                else send_some();
                break;
            case Client::Phase::Waiting: drop(); break;  // it hung up
        }
    }

    // The header, then the input it announces (bounded by parse_request).
    void read_request() {
        Client& c = *client_;
        if (!c.request) {
            const ssize_t r = ::recv(c.fd, c.header + c.have, sizeof c.header - c.have, MSG_DONTWAIT);
            if (r < 0 && (errno == EINTR || errno == EAGAIN)) return;
            if (r <= 0) return drop();
            c.have += static_cast<std::size_t>(r);
            if (c.have < sizeof c.header) return;
            c.have = 0;
            c.request = zebsim::parse_request(c.header, sizeof c.header);
            if (!c.request) return drop();
            c.input.resize(c.request->inSize);
            c.inputHave = 0;
        }
        if (c.inputHave < c.input.size()) {
            const ssize_t r = ::recv(c.fd, c.input.data() + c.inputHave, c.input.size() - c.inputHave, MSG_DONTWAIT);
            if (r < 0 && (errno == EINTR || errno == EAGAIN)) return;
            if (r <= 0) return drop();
            c.inputHave += static_cast<std::size_t>(r);
            if (c.inputHave < c.input.size()) return;
        }
        const DeviceRequestHeader req = *c.request;
        c.request.reset();
        log(req);
        if (dropAfter_ && c.answered >= *dropAfter_) return drop();

        const zebsim::Reply rep = c.card.answer(req.code, req.record, req.outSize, c.input, now_s());
        c.reply = zebsim::encode_reply(rep);
        c.sent = 0;
        c.due = rep.due;
        c.phase = Client::Phase::Waiting;
    }

    void send_some() {
        Client& c = *client_;
        while (c.sent < c.reply.size()) {
            const ssize_t w = ::send(c.fd, c.reply.data() + c.sent, c.reply.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0 && errno == EAGAIN) return;  // the rest when the socket takes it
            if (w <= 0) return drop();
            c.sent += static_cast<std::size_t>(w);
        }
        std::vector<uint8_t>().swap(c.reply);
        ++c.answered;
        c.phase = Client::Phase::Reading;
    }

    void drop() {
        client_.reset();
        if (once_) stop_ = true;
    }

    void log(const DeviceRequestHeader& req) {
        if (logFd_ < 0) return;
        const std::string line = zebsim::log_line(req.code, req.record, req.outSize, req.inSize) + "\n";
        // One write per line: O_APPEND keeps lines whole beside other writers.
        if (::write(logFd_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            fail(std::string("log: ") + std::strerror(errno));
    }

    int listener_;
    const zebsim::Behaviour& b_;
    int logFd_;
    std::optional<uint64_t> dropAfter_;
    bool once_;
    bool stop_ = false;
    zebsim::Playback playback_;  // the D/A converter's, kept across clients
    std::unique_ptr<Client> client_;
};

}  // namespace

int main(int argc, char** argv) {
    kelmo::tools::open_closed_standard_descriptors();
    CLI::App app{
        "zebsim: a simulated acquisition card. Serves the device ZEB1 (a Unix-domain socket) to one client at a "
        "time; every channel carries a sine, encoded in the raw format of the card type each request names.\n"
        "Blocks are delivered in real time, at the card's sampling rate, as a card delivers them (--unpaced: at "
        "once, for tests). Continuous fetches answer status 0 (the block was delivered in time) or, when paced, 1 "
        "(the fetch came after the card had acquired the following block as well). A channel beyond the card "
        "type's count is refused.",
        "zebsim"};
    std::string dir;
    std::vector<std::string> signals;
    std::vector<std::string> refuse;
    uint32_t delayMs = 0;
    int64_t dropAfter = 0;
    std::string logFile;
    std::string portStatus;
    bool realtime = false;
    bool unpaced = false;
    bool loopback = false;
    bool once = false;
    app.add_option("--dir", dir,
                   "Serve DIR/ZEB1 (default: the library's device path, $KELMO_DEVICE_DIR/ZEB1, else "
                   "$XDG_RUNTIME_DIR/kelmo/ZEB1, else /tmp/kelmo-<uid>/ZEB1)")
        ->type_name("DIR");
    app.add_option("--signal", signals,
                   "Channel C (0 .. 63) carries RATIO cycles per sample (a number or a fraction such as 3/64) with "
                   "AMPLITUDE in engineering units (default: half the full scale). Repeatable. Default signal: "
                   "channel c at (c+1)/64 of the sampling rate")
        ->type_name("C:RATIO[:AMPLITUDE]")
        ->allow_extra_args(false);
    auto* realtimeOpt = app.add_flag("--realtime", realtime,
                                     "Deliver blocks at the card's sampling rate, as a card does (the default)");
    app.add_flag("--unpaced", unpaced,
                 "Deliver every block at once, faster than real time (for tests that must not wait for the card)")
        ->excludes(realtimeOpt);
    app.add_flag("--loopback", loopback,
                 "D/A channel c drives A/D channel c: a D/A data request's words (16-bit codes of the full scale) "
                 "replace channel c's sine, repeated from raw sample 0, until the next data request for that "
                 "channel (0 words: the sine again); they stay loaded across clients");
    app.add_option("--refuse", refuse, "Answer this request code with ok = 0 (hex 0x222017 or decimal). Repeatable")
        ->type_name("CODE")
        ->allow_extra_args(false);
    app.add_option("--delay-ms", delayMs, "Wait N ms before every reply")->type_name("N");
    const CLI::Option* dropOpt =
        app.add_option("--drop-after", dropAfter,
                       "After answering N requests on a connection, close it when the next request arrives, unanswered")
            ->type_name("N");
    app.add_option("--log", logFile, "Append one line per request received to FILE")->type_name("FILE");
    app.add_option("--port-status", portStatus, "The port status word answered (default 0xA55A)")
        ->type_name("VALUE");
    app.add_flag("--once", once, "Exit when the first served client has disconnected");
    CLI11_PARSE(app, argc, argv);

    zebsim::Behaviour b;
    b.realtime = !unpaced;
    b.loopback = loopback;
    b.delayMs = delayMs;
    for (const auto& s : signals) {
        if (const std::string e = b.signal.set(s); !e.empty()) {
            fail("--signal " + s + ": " + e);
            return 2;
        }
    }
    for (const auto& s : refuse) {
        const auto code = zebsim::parse_code(s);
        if (!code) {
            fail("--refuse " + s + ": not a request code");
            return 2;
        }
        b.refused.insert(*code);
    }
    if (dropAfter < 0) {
        fail("--drop-after: N must be 0 or more");
        return 2;
    }
    if (!portStatus.empty()) {
        const auto v = zebsim::parse_code(portStatus);
        if (!v || *v > 0xFFFF) {
            fail("--port-status " + portStatus + ": not a 16-bit value");
            return 2;
        }
        b.portStatus = static_cast<uint16_t>(*v);
    }

    const std::string path = dir.empty() ? kelmo::platform::posix::device_path() : dir + "/ZEB1";
    sockaddr_un addr{};
    if (!fill_address(path, addr)) {
        fail(path + ": the path is too long for a socket");
        return 1;
    }
    const std::string folder = path.substr(0, path.rfind('/'));
    if (!folder.empty() && !make_folder(folder)) {
        fail("cannot create " + folder + ": " + std::strerror(errno));
        return 1;
    }
    if (!clear_stale(path, addr)) return 1;

    int logFd = -1;
    if (!logFile.empty()) {
        logFd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (logFd < 0) {
            fail("cannot open " + logFile + ": " + std::strerror(errno));
            return 1;
        }
    }

    if (::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        fail(std::string("pipe: ") + std::strerror(errno));
        return 1;
    }
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener < 0 || ::bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 16) != 0) {
        fail("cannot serve " + path + ": " + std::strerror(errno));
        return 1;
    }
    struct stat bound{};
    ::stat(path.c_str(), &bound);
    std::printf("zebsim: serving %s (pid %ld)\n", path.c_str(), static_cast<long>(::getpid()));
    std::fflush(stdout);

    Server(listener, b, logFd, dropOpt->count() ? std::optional<uint64_t>(dropAfter) : std::nullopt, once).run();

    ::close(listener);
    // Only our own socket: another program may have replaced the file.
    struct stat now{};
    if (::lstat(path.c_str(), &now) == 0 && now.st_ino == bound.st_ino && now.st_dev == bound.st_dev)
        ::unlink(path.c_str());
    if (logFd >= 0) ::close(logFd);
    return 0;
}
