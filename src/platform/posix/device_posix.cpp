// The acquisition device "ZEB1" as a Unix-domain stream socket. A missing
// socket (or one nobody listens on) is a missing device.
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

bool write_all(int fd, const void* p, std::size_t n) {
    const char* c = static_cast<const char*>(p);
    while (n > 0) {
        const ssize_t w = ::send(fd, c, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        c += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool read_all(int fd, void* p, std::size_t n) {
    char* c = static_cast<char*>(p);
    while (n > 0) {
        const ssize_t r = ::recv(fd, c, n, 0);
        if (r < 0 && errno == EINTR) continue;
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

    bool ioctl(uint32_t code, const driver::RequestRecord& record, void* out, uint32_t outSize,
               uint32_t* status) override {
        if (fd_ < 0) {
            errno = EBADF;
            return false;
        }
        DeviceRequestHeader req{};
        req.magic = kDeviceMagic;
        req.code = code;
        req.record = record;
        req.outSize = out ? outSize : 0;
        if (!write_all(fd_, &req, sizeof req)) return false;
        DeviceReplyHeader rep{};
        if (!read_all(fd_, &rep, sizeof rep)) return false;
        if (rep.magic != kDeviceMagic || rep.bytes > req.outSize) {
            errno = EPROTO;
            return false;
        }
        if (rep.bytes && !read_all(fd_, out, rep.bytes)) return false;
        if (status) *status = rep.status;
        if (!rep.ok) errno = EIO;
        return rep.ok != 0;
    }

    bool close() override {
        const int fd = fd_;
        fd_ = -1;
        return fd >= 0 && ::close(fd) == 0;
    }

private:
    int fd_;
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

DevicePtr open_device() {
    const std::string path = device_path();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int e = errno;
        ::close(fd);
        // Nobody serving the socket is the same as no device at all.
        errno = (e == ECONNREFUSED) ? ENOENT : e;
        return nullptr;
    }
    return std::make_unique<SocketDevice>(fd);
}

}  // namespace kelmo::platform::posix
