// The acquisition device through the real backend: a missing device prints
// the system's error code; on Linux a device served on the socket answers
// the port-status request.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "kelmo.h"

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "platform/device_protocol.h"
#endif

namespace {

#ifdef _WIN32
void use_device_dir(const std::string&) {}
#else
void use_device_dir(const std::string& dir) { ::setenv("KELMO_DEVICE_DIR", dir.c_str(), 1); }
#endif

TEST(Device, MissingDevicePrintsTheErrorCode) {
    use_device_dir("/nonexistent-kelmo-device-dir");
    uint16_t status = 0xAAAA;
#ifdef _WIN32
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetPrintPortStatus(&status), 0);
    const std::string out = testing::internal::GetCapturedStdout();
#else  // stdout is the host's: console lines go to stderr
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(GetPrintPortStatus(&status), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::string out = testing::internal::GetCapturedStderr();
#endif
    EXPECT_EQ(out, "Failed to obtain file handle to device: ZEB1 with Win32 error code: 2\n");
    EXPECT_EQ(status, 0xAAAA);
}

#ifndef _WIN32
// Serves one connection: answers every request with `ok` and two status
// bytes, recording the request codes it saw.
class OneShotDevice {
public:
    OneShotDevice(const std::string& dir, bool ok) {
        std::filesystem::create_directories(dir);
        const std::string path = dir + "/ZEB1";
        ::unlink(path.c_str());
        listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listener_, 1), 0);
        thread_ = std::thread([this, ok] {
            const int c = ::accept(listener_, nullptr, nullptr);
            kelmo::platform::DeviceRequestHeader req{};
            while (::recv(c, &req, sizeof req, MSG_WAITALL) == static_cast<ssize_t>(sizeof req)) {
                codes_.push_back(req.code);
                kelmo::platform::DeviceReplyHeader rep{kelmo::platform::kDeviceMagic, ok ? 1u : 0u, 0u,
                                                       ok ? 2u : 0u};
                ::send(c, &rep, sizeof rep, MSG_NOSIGNAL);
                const uint16_t port = 0x1234;
                if (ok) ::send(c, &port, 2, MSG_NOSIGNAL);
            }
            ::close(c);
        });
    }
    ~OneShotDevice() {
        thread_.join();
        ::close(listener_);
    }
    std::vector<uint32_t> codes_;

private:
    int listener_ = -1;
    std::thread thread_;
};

TEST(Device, PortStatusFromTheDevice) {
    const std::string dir = testing::TempDir() + "kelmo-dev-" + std::to_string(::getpid());
    use_device_dir(dir);
    uint16_t status = 0;
    {
        OneShotDevice dev(dir, true);
        EXPECT_EQ(GetPrintPortStatus(&status), 1);
        EXPECT_EQ(status, 0x1234);
    }
    {
        OneShotDevice dev(dir, false);
        status = 0;
        EXPECT_EQ(GetPrintPortStatus(&status), 0);
        ASSERT_EQ(dev.codes_.size(), 1u);
        EXPECT_EQ(dev.codes_[0], 0x22201Fu);
    }
    std::filesystem::remove_all(dir);
}
#endif

}  // namespace
