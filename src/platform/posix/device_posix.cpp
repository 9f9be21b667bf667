// The acquisition device "ZEB1" as a Unix-domain stream socket. A missing
// socket (or one nobody listens on) is a missing device.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/device_protocol.h"
#include "platform/posix/posix.h"

namespace kelmo::platform::posix {
namespace {

constexpr uint64_t kHelloWaitMs = 5000;  // how long a device may take to greet

// Waits until fd is ready for `events` or the deadline passes (ETIMEDOUT).
bool wait_ready(int fd, short events, uint64_t deadline) {
    for (;;) {
        const uint64_t now = monotonic_ms();
        if (now >= deadline) {
            errno = ETIMEDOUT;
            return false;
        }
        const uint64_t left = deadline - now;
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, left > 60000 ? 60000 : static_cast<int>(left));
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}

bool write_all(int fd, const void* p, std::size_t n, uint64_t deadline) {
    const char* c = static_cast<const char*>(p);
    while (n > 0) {
        if (!wait_ready(fd, POLLOUT, deadline)) return false;
        const ssize_t w = ::send(fd, c, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (w <= 0) return false;
        c += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool read_all(int fd, void* p, std::size_t n, uint64_t deadline) {
    char* c = static_cast<char*>(p);
    while (n > 0) {
        if (!wait_ready(fd, POLLIN, deadline)) return false;
        const ssize_t r = ::recv(fd, c, n, MSG_DONTWAIT);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (r <= 0) {
            if (r == 0) errno = EPIPE;
            return false;
        }
        c += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

class SocketDevice final : public Device {
public:
    explicit SocketDevice(int fd) : fd_(fd) {}
    ~SocketDevice() override {
        if (fd_ >= 0) ::close(fd_);
    }

    bool ioctl(uint32_t code, const platform::RequestRecord& record, void* out, uint32_t outSize,
               uint32_t* status, uint32_t timeoutMs) override {
        cause_ = nullptr;
        if (fd_ < 0 || broken_) {
            errno = broken_ ? EPIPE : EBADF;
            cause_ = broken_ ? "an earlier request was not answered in full" : nullptr;
            return false;
        }
        // A buffer the driver reads goes to the device with the request;
        // what comes back is staged, so that a cut-off reply leaves the
        // caller's data as it was.
        const bool carries = out && request_reads_buffer(code);
        if (carries && outSize > kDeviceMaxInSize) {
            errno = EMSGSIZE;
            cause_ = "a buffer larger than the device takes";
            return false;
        }
        const uint64_t deadline = monotonic_ms() + timeoutMs;
        DeviceRequestHeader req{};
        req.magic = kDeviceMagic;
        req.code = code;
        req.record = record;
        req.outSize = out ? outSize : 0;
        req.inSize = carries ? outSize : 0;
        DeviceReplyHeader rep{};
        // Once a request or its reply is cut off, the stream is out of step
        // with the requests: the device is not used again.
        if (!write_all(fd_, &req, sizeof req, deadline) || !write_all(fd_, out, req.inSize, deadline) ||
            !read_all(fd_, &rep, sizeof rep, deadline))
            return broke();
        if (rep.magic != kDeviceMagic || rep.bytes > req.outSize) {
            errno = EPROTO;
            return broke();
        }
        if (carries) {
            staged_.resize(rep.bytes);
            if (!read_all(fd_, staged_.data(), rep.bytes, deadline)) return broke();
            if (rep.bytes) std::memcpy(out, staged_.data(), rep.bytes);
        } else if (rep.bytes && !read_all(fd_, out, rep.bytes, deadline)) {
            return broke();
        }
        if (status) *status = rep.status;
        if (!rep.ok) errno = EIO;
        return rep.ok != 0;
    }

    const char* failure_cause() const override { return cause_; }

    bool close() override {
        const int fd = fd_;
        fd_ = -1;
        return fd >= 0 && ::close(fd) == 0;
    }

private:
    bool broke() {
        const int e = errno;
        broken_ = true;
        cause_ = e == ETIMEDOUT ? "no reply within the time-out"
                 : e == EPROTO  ? "a reply that is not the device's"
                 : e == EPIPE   ? "the device closed the connection"
                                : "the connection failed";
        errno = e;
        return false;
    }

    int fd_;
    std::vector<unsigned char> staged_;  // the reply to a request that carries its buffer
    bool broken_ = false;
    const char* cause_ = nullptr;
};

}  // namespace

std::string device_path() {
    std::string dir;
    if (const char* d = std::getenv("KELMO_DEVICE_DIR"); d && *d) {
        dir = d;
    } else if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) {
        dir = std::string(x) + "/kelmo";
    } else {
        dir = "/tmp/kelmo-" + std::to_string(::getuid());
    }
    return dir + "/ZEB1";
}

namespace {
class PosixDevices final : public Devices {
public:
    DevicePtr open_device() override;
    std::string device_open_failure(uint32_t code) override;
};
}  // namespace

std::string PosixDevices::device_open_failure(uint32_t code) {
    const int error = static_cast<int>(code);
    const std::string path = device_path();
    switch (error) {
        case ENOENT:
            return "no acquisition device is served at " + path +
                   "; start zebsim or the driver service (KELMO_DEVICE_DIR names another folder)";
        case EBUSY:
            return "another program holds the acquisition device ZEB1 at " + path +
                   "; end it, or wait until it has finished, and try again";
        case ENODEV:
            return "the acquisition device at " + path +
                   " hung up before it greeted; restart zebsim or the driver service";
        case ETIMEDOUT:
            return "the acquisition device at " + path +
                   " did not answer within 5 s; restart zebsim or the driver service";
        case EPROTO:
            return "the program serving " + path +
                   " is not an acquisition device; stop it and start zebsim or the driver service";
        case EACCES:
        case EPERM:
            return "this user may not use the acquisition device at " + path +
                   "; ask for access to it, or start zebsim as this user";
        case ENAMETOOLONG:
            return "the acquisition device's path " + path +
                   " is longer than a socket's name may be; set KELMO_DEVICE_DIR to a shorter folder";
        default:
            return "the acquisition device at " + path + " cannot be opened: " + error_text(error) +
                   "; start zebsim or the driver service";
    }
}

DevicePtr PosixDevices::open_device() {
    const std::string path = device_path();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = keep_above_stdio(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd < 0) return nullptr;
    // A server that never accepts would hold connect() for ever.
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int e = errno;
        ::close(fd);
        // Nobody serving the socket is the same as no device at all.
        errno = (e == ECONNREFUSED) ? ENOENT : e;
        return nullptr;
    }
    return greet_device(fd);
}

DevicePtr greet_device(int fd) {
    // The device greets every client; one that is not served (another
    // client holds the device) is refused as busy. Only a whole greeting
    // says so: a device that hangs up before its greeting is complete has
    // gone away, whatever part of the greeting came.
    DeviceHello hello{};
    const bool whole = read_all(fd, &hello, sizeof hello, monotonic_ms() + kHelloWaitMs);
    if (!whole || hello.magic != kDeviceMagic || hello.ok == 0) {
        const int e = errno;
        ::close(fd);
        errno = !whole ? (e == ETIMEDOUT ? ETIMEDOUT : ENODEV) : hello.magic != kDeviceMagic ? EPROTO : EBUSY;
        return nullptr;
    }
    return std::make_unique<SocketDevice>(fd);
}

Devices& devices() {
    static PosixDevices instance;
    return instance;
}

}  // namespace kelmo::platform::posix
