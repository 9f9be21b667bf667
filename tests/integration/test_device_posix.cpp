// The acquisition device on Linux, served on the socket where the library
// looks for it: the port-status request and its answer, greetings cut off
// or refused, silent devices and their time-out, the D/A buffer both ways,
// and a host whose standard descriptors are closed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "device_test.h"
#include "kelmo.h"
#include "peer_process.h"
#include "platform/device_protocol.h"
#include "platform/platform.h"

namespace {

using kelmo::test::use_device_dir;

// A listening socket where the library looks for the device "ZEB1".
int listen_as_device(const std::string& dir) {
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/ZEB1";
    ::unlink(path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(fd, 1), 0);
    return fd;
}

// A device on the socket that serves one connection with `serve`, after
// the first `helloBytes` bytes of its greeting.
class DeviceServer {
public:
    DeviceServer(const std::string& dir, std::function<void(int)> serve,
                 std::size_t helloBytes = sizeof(kelmo::platform::DeviceHello), uint32_t helloOk = 1)
        : listener_(listen_as_device(dir)) {
        thread_ = std::thread([this, serve = std::move(serve), helloBytes, helloOk] {
            const int c = ::accept(listener_, nullptr, nullptr);
            const kelmo::platform::DeviceHello hello{kelmo::platform::kDeviceMagic, helloOk};
            if (helloBytes) ::send(c, &hello, helloBytes, MSG_NOSIGNAL);
            serve(c);
            ::close(c);
        });
    }
    ~DeviceServer() {
        thread_.join();
        ::close(listener_);
    }

private:
    int listener_;
    std::thread thread_;
};

// Answers every request with `ok` and two status bytes, recording the
// request codes it saw.
std::function<void(int)> answering(bool ok, std::vector<uint32_t>& codes) {
    return [ok, &codes](int c) {
        kelmo::platform::DeviceRequestHeader req{};
        while (::recv(c, &req, sizeof req, MSG_WAITALL) == static_cast<ssize_t>(sizeof req)) {
            codes.push_back(req.code);
            const kelmo::platform::DeviceReplyHeader rep{kelmo::platform::kDeviceMagic, ok ? 1u : 0u, 0u, ok ? 2u : 0u};
            ::send(c, &rep, sizeof rep, MSG_NOSIGNAL);
            const uint16_t port = 0x1234;
            if (ok) ::send(c, &port, 2, MSG_NOSIGNAL);
        }
    };
}

// Takes the request, then sends `replyBytes` bytes of its reply header
// (none: it never answers) and holds the connection until the library
// hangs up.
std::function<void(int)> stuck(std::size_t replyBytes) {
    return [replyBytes](int c) {
        kelmo::platform::DeviceRequestHeader req{};
        if (::recv(c, &req, sizeof req, MSG_WAITALL) == static_cast<ssize_t>(sizeof req)) {
            const kelmo::platform::DeviceReplyHeader rep{kelmo::platform::kDeviceMagic, 1u, 0u, 2u};
            if (replyBytes) ::send(c, &rep, replyBytes, MSG_NOSIGNAL);
        }
        char sink;
        ::recv(c, &sink, 1, 0);
    };
}

TEST(Device, PortStatusFromTheDevice) {
    const std::string dir = testing::TempDir() + "kelmo-dev-" + std::to_string(::getpid());
    use_device_dir(dir);
    uint16_t status = 0;
    std::vector<uint32_t> codes;
    {
        DeviceServer dev(dir, answering(true, codes));
        EXPECT_EQ(GetPrintPortStatus(&status), 1);
        EXPECT_EQ(status, 0x1234);
    }
    codes.clear();
    {
        DeviceServer dev(dir, answering(false, codes));
        status = 0;
        EXPECT_EQ(GetPrintPortStatus(&status), 0);
    }
    ASSERT_EQ(codes.size(), 1u);
    EXPECT_EQ(codes[0], 0x22201Fu);
    std::filesystem::remove_all(dir);
}

// A host started with its standard descriptors closed: the device's socket
// lands above them, where the host's output cannot reach it.
TEST(Device, SocketNeverTakesAStandardDescriptor) {
    const std::string dir = testing::TempDir() + "kelmo-stdio-" + std::to_string(::getpid());
    use_device_dir(dir);
    // The device in a process of its own: its accepted socket must not be
    // counted as the library's.
    const int listener = listen_as_device(dir);
    const pid_t server = ::fork();
    if (server == 0) {
        const int c = ::accept(listener, nullptr, nullptr);
        const kelmo::platform::DeviceHello hello{kelmo::platform::kDeviceMagic, 1};
        ::send(c, &hello, sizeof hello, MSG_NOSIGNAL);
        char sink;
        ::recv(c, &sink, 1, 0);  // until the library hangs up
        ::_exit(0);
    }
    ::close(listener);
    int saved[3];
    for (int fd = 0; fd < 3; ++fd) saved[fd] = ::dup(fd);
    for (int fd = 0; fd < 3; ++fd) ::close(fd);
    bool opened = false, closed[3];
    {
        auto device = kelmo::platform::current().device.open_device();
        opened = device != nullptr;
        for (int fd = 0; fd < 3; ++fd) closed[fd] = ::fcntl(fd, F_GETFD) == -1;
    }
    for (int fd = 0; fd < 3; ++fd) {
        ::dup2(saved[fd], fd);
        ::close(saved[fd]);
    }
    int status = 0;
    ::waitpid(server, &status, 0);
    EXPECT_TRUE(opened);
    for (int fd = 0; fd < 3; ++fd) EXPECT_TRUE(closed[fd]) << "descriptor " << fd << " was taken";
    std::filesystem::remove_all(dir);
}

std::string last_error() {
    char text[1024];
    kelmo_last_error(text, sizeof text);
    return text;
}

// A device that hangs up before its greeting is complete went away: it is
// not busy, whatever part of the greeting came. A whole greeting that
// turns the client away is the busy device. Each export's reason names
// the socket and what to do.
TEST(Device, CutGreetingIsADeviceThatWentAway) {
    const std::string dir = testing::TempDir() + "kelmo-cut-" + std::to_string(::getpid());
    use_device_dir(dir);
    // On this system the console reader gets the cause in words, not a code,
    // and the export's reason is the same sentence.
    const std::string path = dir + "/ZEB1";
    auto reason = [&path](int code) {
        return std::string("GetPrintPortStatus failed: ") +
               (code == EBUSY    ? "another program holds the acquisition device ZEB1 at " + path +
                                    "; end it, or wait until it has finished, and try again"
                : code == ENODEV ? "the acquisition device at " + path +
                                       " hung up before it greeted; restart zebsim or the driver service"
                                 : "no acquisition device is served at " + path +
                                       "; start zebsim or the driver service (KELMO_DEVICE_DIR names another folder)");
    };
    auto fails_with = [&reason](int code) {
        uint16_t status = 0xAAAA;
        testing::internal::CaptureStderr();
        EXPECT_EQ(GetPrintPortStatus(&status), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "kelmo: " + reason(code) + "\n");
        EXPECT_EQ(status, 0xAAAA);
        EXPECT_EQ(last_error(), reason(code));
    };
    for (std::size_t bytes : {0, 3, 4, 7}) {
        SCOPED_TRACE(bytes);
        DeviceServer dev(dir, [](int) {}, bytes);
        fails_with(ENODEV);
    }
    {
        DeviceServer busy(dir, [](int) {}, sizeof(kelmo::platform::DeviceHello), 0);
        fails_with(EBUSY);
    }
    // The socket left behind with nobody listening, then no socket at all.
    fails_with(ENOENT);
    std::filesystem::remove_all(dir);
    fails_with(ENOENT);
}

// Every wait on the device is bounded: a device that never answers, or
// stops half-way through its reply header, fails the request after the
// time-out with a line that names the cause; the device is closed.
TEST(Device, SilentDeviceTimesOut) {
    const std::string dir = testing::TempDir() + "kelmo-stuck-" + std::to_string(::getpid());
    use_device_dir(dir);
    kelmo::test::set_env("KELMO_DEVICE_TIMEOUT_MS", "300");
    for (std::size_t bytes : {std::size_t{0}, std::size_t{8}}) {
        DeviceServer dev(dir, stuck(bytes));
        uint16_t status = 0xAAAA;
        testing::internal::CaptureStderr();
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(GetPrintPortStatus(&status), 0);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_GE(ms.count(), 290);
        EXPECT_LT(ms.count(), 3000);
        EXPECT_EQ(err, "kelmo: GetPrintPortStatus failed: Request to device ZEB1 (code 0x22201F) failed: no reply "
                       "within the time-out (time-out 300 ms); restart zebsim or the driver service, or set "
                       "KELMO_DEVICE_TIMEOUT_MS for a slower device\n");
        EXPECT_EQ(status, 0xAAAA);
    }
    kelmo::test::set_env("KELMO_DEVICE_TIMEOUT_MS", nullptr);
    std::filesystem::remove_all(dir);
}

std::string reply_bytes(uint32_t ok, uint32_t bytes, const std::string& data) {
    const kelmo::platform::DeviceReplyHeader h{kelmo::platform::kDeviceMagic, ok, 0u, bytes};
    return std::string(reinterpret_cast<const char*>(&h), sizeof h) + data;
}

// A request as the device received it: its header and its input.
struct Received {
    kelmo::platform::DeviceRequestHeader header;
    std::vector<uint8_t> input;
};

// Serves a continuous start, then answers the next request with the reply
// bytes `reply` makes of it and hangs up; records what came.
std::function<void(int)> scripted(std::vector<Received>& seen,
                                  std::function<std::string(const Received&)> reply) {
    return [&seen, reply = std::move(reply)](int c) {
        Received r{};
        while (::recv(c, &r.header, sizeof r.header, MSG_WAITALL) == static_cast<ssize_t>(sizeof r.header)) {
            r.input.assign(r.header.inSize, 0);
            if (r.header.inSize &&
                ::recv(c, r.input.data(), r.input.size(), MSG_WAITALL) != static_cast<ssize_t>(r.input.size()))
                return;
            seen.push_back(r);
            const bool start = r.header.code == kelmo::platform::kContinuousStart;
            const std::string bytes = start ? reply_bytes(1, 0, "") : reply(r);
            ::send(c, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (!start) return;
        }
    };
}

// The D/A buffer goes to the device with the request, and what the device
// sends back becomes the start of it. A reply that is cut off or longer
// than the buffer is refused and leaves the buffer as the host wrote it.
TEST(Device, DaBufferTravelsBothWays) {
    const std::string dir = testing::TempDir() + "kelmo-da-" + std::to_string(::getpid());
    use_device_dir(dir);
    uint32_t divider = 0;
    double actual = 0;
    ASSERT_EQ(PreSamp(678, 1000.0, &divider, &actual), 1);  // the unit's block, so that the start opens the device
    std::vector<unsigned char> host(32768);
    for (std::size_t i = 0; i < host.size(); ++i) host[i] = static_cast<unsigned char>(i * 7 + 1);
    const std::vector<unsigned char> written = host;
    struct Case {
        std::string reply;
        int result;
        const char* cause;  // of the console line, or nullptr for none
        std::size_t changed;
    } const cases[] = {
        {reply_bytes(1, 4, "ABCD"), 1, nullptr, 4},
        {reply_bytes(0, 0, ""), 0, nullptr, 0},
        {reply_bytes(1, 4, "AB"), 0, "the device closed the connection", 0},
        {reply_bytes(1, 32769, std::string(32769, 'x')), 0, "a reply that is not the device's", 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.result);
        host = written;
        std::vector<Received> seen;
        {
            DeviceServer dev(dir, scripted(seen, [&](const Received&) { return k.reply; }));
            uint32_t handle = 0;
            EXPECT_EQ(Set_dbl_MulChSam(&handle, 678, 100, 1, 1, 1024), 1);
            testing::internal::CaptureStderr();
            EXPECT_EQ(SetDAData(&handle, 678, 0x10002, host.data(), 1000), k.result);
            const std::string err = testing::internal::GetCapturedStderr();
            if (k.cause) {
                EXPECT_NE(err.find(std::string("(code 0x22209F) failed: ") + k.cause), std::string::npos) << err;
            } else {
                EXPECT_EQ(err, "");
            }
            recover(&handle, 678);
        }
        ASSERT_EQ(seen.size(), 2u);
        const auto& h = seen[1].header;
        EXPECT_EQ(h.code, 0x22209Fu);
        EXPECT_EQ(h.outSize, 32768u);
        EXPECT_EQ(h.record.channel, 2);
        EXPECT_EQ(h.record.samples, 1000);
        EXPECT_TRUE(seen[1].input == written);
        EXPECT_EQ(seen[0].header.inSize, 0u);  // the start's output is not read
        EXPECT_EQ(std::memcmp(host.data(), "ABCD", k.changed), 0);
        EXPECT_TRUE(std::equal(host.begin() + static_cast<std::ptrdiff_t>(k.changed), host.end(),
                               written.begin() + static_cast<std::ptrdiff_t>(k.changed)));
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
