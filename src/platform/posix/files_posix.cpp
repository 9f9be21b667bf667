// Small files of the working folder (the settings files), and folders.
// The working folder may be shared with other users, so a name is never
// followed where it is a symbolic link, and only a regular file is read or
// written: what is checked is the descriptor that was opened, so nobody can
// swap the name between the check and the use.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/posix.h"

namespace kelmo::platform::posix {
namespace {

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

bool regular(int fd) {
    struct stat st{};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Writes all of `bytes`, across short writes and interruptions.
bool write_all(int fd, const unsigned char* p, std::size_t bytes) {
    while (bytes > 0) {
        const ssize_t n = ::write(fd, p, bytes);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = 0;
        if (n <= 0) return false;
        p += n;
        bytes -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

namespace {
class PosixFiles final : public Files {
public:
    // Paths start with "/".
    bool drive_paths() override { return false; }
    long read_small_file(const char* name, void* data, std::size_t bytes) override;
    bool write_small_file(const char* name, const void* data, std::size_t bytes, std::string* why) override;
    bool directory_exists(const std::string& path) override;
    void create_directory(const std::string& path) override;
};
}  // namespace

long PosixFiles::read_small_file(const char* name, void* data, std::size_t bytes) {
    // O_NONBLOCK: a FIFO under the name must not block the open.
    Fd f{::open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (f.fd < 0 || !regular(f.fd)) return -1;
    auto* p = static_cast<unsigned char*>(data);
    std::size_t got = 0;
    while (got < bytes) {
        const ssize_t n = ::read(f.fd, p + got, bytes - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long>(got);
}

bool PosixFiles::write_small_file(const char* name, const void* data, std::size_t bytes, std::string* why) {
    const auto refuse = [&](std::string text) {
        if (why) *why = std::move(text);
        return false;
    };
    // A new file is created only where no name of any kind is (a dangling
    // link included); an existing one is opened without following a link.
    Fd f{::open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666)};
    if (f.fd < 0 && errno == EEXIST) {
        // What is there, to say so (the descriptor is checked again below).
        struct stat st{};
        if (::lstat(name, &st) == 0) {
            if (S_ISLNK(st.st_mode)) return refuse("it is a symbolic link");
            if (S_ISDIR(st.st_mode)) return refuse("it is a folder");
            if (!S_ISREG(st.st_mode)) return refuse("it is not a plain file (a pipe, a device or a socket)");
        }
        f.fd = ::open(name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    }
    if (f.fd < 0) return refuse(errno == ELOOP ? "it is a symbolic link" : error_text(errno));
    if (!regular(f.fd)) return refuse("it is not a plain file (a pipe, a device or a socket)");
    if (::ftruncate(f.fd, 0) != 0) return refuse(error_text(errno));
    if (!write_all(f.fd, static_cast<const unsigned char*>(data), bytes))
        return refuse(errno ? error_text(errno) : "the disk took no more");
    return true;
}

bool PosixFiles::directory_exists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void PosixFiles::create_directory(const std::string& path) { ::mkdir(path.c_str(), 0777); }

Files& files() {
    static PosixFiles instance;
    return instance;
}

}  // namespace kelmo::platform::posix
