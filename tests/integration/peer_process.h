// A second process for the integration tests: started through the shell,
// its first output line read, and killed or waited for.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/types.h>
#endif

namespace kelmo::test {

class PeerProcess {
public:
    // Runs `command`; its first line must tell its process id, as
    // "ready <pid>" or "... (pid <pid>)", once it is set up.
    explicit PeerProcess(const std::string& command) {
        pipe_ = ::popen(command.c_str(), "r");
        if (!pipe_) return;
        char line[512] = {};
        if (!std::fgets(line, sizeof line, pipe_)) return;
        const char* at = std::strstr(line, "(pid ");
        ready_ = std::sscanf(line, "ready %ld", &pid_) == 1 || (at && std::sscanf(at, "(pid %ld)", &pid_) == 1);
    }
    ~PeerProcess() { wait(); }

    bool ready() const { return ready_; }

    long pid() const { return pid_; }

    // Asks the peer to stop (SIGTERM; on Windows there is no such request
    // and the peer is ended).
    void terminate() {
        if (!ready_) return;
#ifdef _WIN32
        kill();
#else
        ::kill(static_cast<pid_t>(pid_), SIGTERM);
#endif
    }

    // Ends the peer the hard way: no chance to close anything itself.
    void kill() {
        if (!ready_) return;
#ifdef _WIN32
        if (HANDLE h = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid_))) {
            ::TerminateProcess(h, 9);
            ::WaitForSingleObject(h, 5000);
            ::CloseHandle(h);
        }
#else
        ::kill(static_cast<pid_t>(pid_), SIGKILL);
#endif
    }

    // Waits until the peer has exited; returns its exit status.
    int wait() {
        if (!pipe_) return -1;
        char sink[256];
        while (std::fgets(sink, sizeof sink, pipe_)) {
        }
        const int rc = ::pclose(pipe_);
        pipe_ = nullptr;
        return rc;
    }

private:
    FILE* pipe_ = nullptr;
    long pid_ = 0;
    bool ready_ = false;
};

}  // namespace kelmo::test
