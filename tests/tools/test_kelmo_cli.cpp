// The kelmo host as a user runs it: exit codes and the errors that name
// the option, numbers with SI suffixes and durations, CSV streamed to
// standard output, WAV read back, Ctrl-C, write failures (files, pipes,
// standard output, closed descriptors), and the summary of a channel
// without signal. The simulated source serves (the host
// starts genwave, which is on PATH).
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "values.h"

namespace {

struct Result {
    int code = -1;
    std::string out, err;
};

std::string temp(const std::string& name) { return testing::TempDir() + "kelmo-cli-" + std::to_string(::getpid()) + "-" + name; }

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// `stdoutTo`, `stderrTo`: where the output goes instead of a file the
// result keeps ("1>&-" closes it).
Result kelmo(const std::string& args, const std::string& stdoutTo = "", const std::string& stderrTo = "") {
    const std::string out = temp("out"), err = temp("err");
    const std::string cmd = "timeout 60 " + std::string(KELMO_CLI) + " " + args + " " +
                            (stdoutTo.empty() ? ">" + out : stdoutTo) + " " + (stderrTo.empty() ? "2>" + err : stderrTo);
    const int status = std::system(cmd.c_str());
    Result r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return r;
}

int lines(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

// The shared-memory namespace of the run (without one, the user's own).
std::string shm_space() {
    const char* ns = std::getenv("KELMO_SHM_NAMESPACE");
    return ns && *ns ? std::string(ns) : "default-" + std::to_string(::geteuid());
}

// Stops the genwave programs of the run's namespace, and waits until they
// are gone; those of other runs on the machine go on.
void stop_genwave() {
    const std::string space = shm_space();
    std::vector<pid_t> stopped;
    if (DIR* proc = ::opendir("/proc")) {
        while (const dirent* e = ::readdir(proc)) {
            const std::string id = e->d_name;
            if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) continue;
            if (slurp("/proc/" + id + "/comm") != "genwave\n") continue;
            // The entries, each between NULs.
            std::string env(1, '\0');
            env += slurp("/proc/" + id + "/environ");
            const auto has = [&](const std::string& entry) {
                std::string key(1, '\0');
                key += entry;
                key.push_back('\0');
                return env.find(key) != std::string::npos;
            };
            const bool named = env.find(std::string("\0KELMO_SHM_NAMESPACE=", 21)) != std::string::npos;
            const bool ours = has("KELMO_SHM_NAMESPACE=" + space) ||
                              (!std::getenv("KELMO_SHM_NAMESPACE") && (!named || has("KELMO_SHM_NAMESPACE=")));
            const auto pid = static_cast<pid_t>(std::stol(id));
            if (ours && ::kill(pid, SIGTERM) == 0) stopped.push_back(pid);
        }
        ::closedir(proc);
    }
    for (int i = 0; i < 100 && std::any_of(stopped.begin(), stopped.end(), [](pid_t p) { return ::kill(p, 0) == 0; }); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

class KelmoCli : public testing::Test {
protected:
    static void TearDownTestSuite() { stop_genwave(); }
};

// scan looks for the parameters where the library publishes them, in the
// run's namespace or the user's own.
TEST_F(KelmoCli, ScanSeesAPublishedSignalSource) {
    stop_genwave();
    EXPECT_NE(kelmo("scan").out.find("no parameters published"), std::string::npos);
    ASSERT_EQ(kelmo("acquire -n 1k -c 1 -o -").code, 0);  // starts genwave
    EXPECT_NE(kelmo("scan").out.find("publishes its parameters (ready)"), std::string::npos);
    stop_genwave();
}

// Without a device, scan's answer carries its reason on the same stream:
// the socket it tried and what to start.
TEST_F(KelmoCli, ScanSaysWhyNoDeviceAnswers) {
    const std::string dir = temp("nodev");
    ::setenv("KELMO_DEVICE_DIR", dir.c_str(), 1);
    const Result r = kelmo("scan");
    ::unsetenv("KELMO_DEVICE_DIR");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("acquisition cards: device ZEB1 cannot be reached: GetPrintPortStatus failed: no acquisition "
                         "device is served at " + dir + "/ZEB1; start zebsim"),
              std::string::npos)
        << r.out;
}

TEST_F(KelmoCli, UsageErrorsNameTheOption) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"acquire -r 0", "--rate"},           {"acquire -r -100", "--rate"},
        {"acquire -r 10q", "--rate"},         {"acquire -g 0", "--gain"},
        {"acquire --first 30 -c 4", "--channels"}, {"acquire -c 0", "--channels"},
        {"acquire --first 1 -c 2147483647", "--channels"}, {"acquire --first -1", "--first"},
        {"acquire -n 1x", "--samples"},       {"acquire -n 8", "--samples"},
        {"acquire --time 5parsecs", "--time"}, {"acquire -n 1k --time 1s", "--time"},
        {"acquire --time 1e20s", "--time"},   {"acquire --time 1e307h", "--time"},
        {"acquire -t 999", "--type"},         {"cards -t 999", "--type"},
        {"dividers -r 0", "--rate"},          {"acquire -O mp3", "--format"},
        {"", "subcommand"},
    };
    for (const auto& [args, option] : cases) {
        const Result r = kelmo(args);
        EXPECT_EQ(r.code, 2) << args << "\n" << r.err;
        EXPECT_NE(r.err.find(option), std::string::npos) << args << "\n" << r.err;
    }
    const Result v = kelmo("--version");
    EXPECT_EQ(v.code, 0);
    EXPECT_EQ(v.out.rfind("kelmo ", 0), 0u);
    // The library it loaded answers with its own version.
    EXPECT_EQ(v.out, "kelmo " KELMO_TEST_VERSION " (library " KELMO_TEST_VERSION ")\n");
}

// SI suffixes on rates and counts, durations instead of counts, CSV on
// standard output with the summary on standard error, and a channel with
// no signal said so.
TEST_F(KelmoCli, NumbersAsPeopleWriteThemAndStreams) {
    Result r = kelmo("acquire -r 8k -n 2k -c 1");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("8000 Hz, 2000 samples per channel"), std::string::npos) << r.out;
    r = kelmo("acquire -r 8kHz --time 250ms -c 2 -o -");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("time_s,ch0,ch1\n", 0), 0u);
    EXPECT_EQ(lines(r.out), 2001);
    EXPECT_NE(r.err.find("2000 samples per channel"), std::string::npos) << r.err;
    r = kelmo("acquire -r 1k -n 1k --first 20 -c 1");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("no signal"), std::string::npos) << r.out;
}

// WAV: IEEE float, the rate and channels of the run, the values of the CSV
// of the same run scaled by the full scale.
TEST_F(KelmoCli, WavReadsBack) {
    const std::string wav = temp("a.wav"), csv = temp("a.csv");
    ASSERT_EQ(kelmo("acquire -r 10k -n 1000 -c 2 -o " + wav).code, 0);
    ASSERT_EQ(kelmo("acquire -r 10k -n 1000 -c 2 --csv " + csv).code, 0);
    const std::string w = slurp(wav);
    ASSERT_EQ(w.size(), 58u + 1000 * 2 * 4);
    auto u16 = [&](std::size_t at) { return uint16_t(uint8_t(w[at]) | uint8_t(w[at + 1]) << 8); };
    auto u32 = [&](std::size_t at) { return uint32_t(u16(at)) | uint32_t(u16(at + 2)) << 16; };
    EXPECT_EQ(w.substr(0, 4), "RIFF");
    EXPECT_EQ(u32(4), w.size() - 8);
    EXPECT_EQ(u16(20), 3);  // IEEE float
    EXPECT_EQ(u16(22), 2);
    EXPECT_EQ(u32(24), 10000u);
    EXPECT_EQ(u32(54), 8000u);
    // Channel 0 of the simulated source starts at its amplitude, 3000.
    float first = 0;
    std::memcpy(&first, w.data() + 58, 4);
    std::istringstream rows(slurp(csv));
    std::string header, row;
    std::getline(rows, header);
    std::getline(rows, row);
    const double v0 = std::stod(row.substr(row.find(',') + 1));
    int fullScale = 0;
    {
        const Result c = kelmo("cards -t 123");
        std::istringstream s(c.out.substr(c.out.find('\n') + 1));
        int type, ch;
        double high, low;
        s >> type >> ch >> high >> low >> fullScale;
    }
    ASSERT_GT(fullScale, 0);
    EXPECT_NEAR(first, v0 / fullScale, 1e-6);
    std::remove(wav.c_str());
    std::remove(csv.c_str());
}

// Ctrl-C ends a continuous run cleanly: exit 130, every sample acquired
// in the CSV and counted in the summary, no shared objects of the host's
// left once genwave is gone.
TEST_F(KelmoCli, InterruptedRunKeepsWhatItHas) {
    const std::string csv = temp("c.csv"), out = temp("c.out");
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string cmd = std::string(KELMO_CLI) + " acquire -r 10k --continuous -c 1 --csv " + csv + " >" + out + " 2>&1";
        ::execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 300 && lines(slurp(csv)) < 3000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(child, SIGINT);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    const std::string summary = slurp(out);
    const int rows = lines(slurp(csv)) - 1;
    EXPECT_GE(rows, 3000);
    EXPECT_NE(summary.find(std::to_string(rows) + " samples per channel"), std::string::npos) << summary;
    stop_genwave();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string prefix = "kelmo." + shm_space() + ".";
    for (const auto& e : std::filesystem::directory_iterator("/dev/shm"))
        EXPECT_NE(e.path().filename().string().rfind(prefix, 0), 0u) << e.path();
    std::remove(csv.c_str());
    std::remove(out.c_str());
}

// Values whose number or count cannot be held are no values.
TEST(KelmoValues, OnlyRepresentableNumbers) {
    using namespace kelmo::cli;
    EXPECT_EQ(parse_si("1.5M"), 1.5e6);
    EXPECT_EQ(parse_si("44100Hz"), 44100.0);
    EXPECT_FALSE(parse_si("1e308k"));
    EXPECT_FALSE(parse_si("1e306G"));
    EXPECT_FALSE(parse_si("nan"));
    EXPECT_FALSE(parse_si("-infk"));
    EXPECT_EQ(parse_count("9e15"), int64_t{9000000000000000});
    EXPECT_FALSE(parse_count("1e16"));
    EXPECT_FALSE(parse_count("1e308M"));
    EXPECT_EQ(parse_seconds("1.5min"), 90.0);
    EXPECT_FALSE(parse_seconds("1e307h"));
    EXPECT_FALSE(parse_seconds("1e307min"));
    EXPECT_FALSE(parse_seconds("nans"));
    EXPECT_EQ(count_of(0.25, 8000), int64_t{2000});
    EXPECT_EQ(count_of(9e11, 1e4), int64_t{9000000000000000});
    EXPECT_FALSE(count_of(1e20, 1e4));
    EXPECT_FALSE(count_of(1e300, 1e300));
    EXPECT_FALSE(count_of(std::nan(""), 1e4));
    EXPECT_FALSE(count_of(-1.0, 1e4));
}

TEST_F(KelmoCli, WriteFailuresAreFailures) {
    Result r = kelmo("acquire -n 1k -c 1 --csv /nonexistent/a.csv");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("cannot write /nonexistent/a.csv"), std::string::npos) << r.err;
    r = kelmo("acquire -n 1k -c 1 --plot /nonexistent/a.png");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("cannot write /nonexistent/a.png"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("PNG"), std::string::npos);  // no image on the terminal
    r = kelmo("acquire -n 1k -c 1 -O wav -o -");
    EXPECT_EQ(r.code, 1);
}

// A write that fails ends the run at once: one line naming the output and
// the cause, exit 1, and a continuous acquisition stopped (zebsim sees the
// stop request last).
TEST_F(KelmoCli, AFailedWriteStopsTheRun) {
    const std::string full = "writing /dev/full failed: " + std::string(std::strerror(ENOSPC)) + "\n";
    for (const char* args : {"--continuous -c 1 -o /dev/full", "--continuous -c 2 -O wav -o /dev/full",
                             "-n 100k -c 1 -o /dev/full", "-m block -r 1M -n 100k -c 1 -o /dev/full",
                             "-m block -r 1M -n 100k -c 1 -O wav -o /dev/full"}) {
        const Result r = kelmo(std::string("acquire ") + args);
        EXPECT_EQ(r.code, 1) << args << "\n" << r.err;
        EXPECT_EQ(r.err, "kelmo: " + full) << args;
        EXPECT_EQ(r.out, "") << args;  // no summary of a run whose samples were lost
    }
    // A reader that went away, SIGPIPE ignored (as by many a supervisor).
    const std::string err = temp("pipe.err"), rc = temp("pipe.rc");
    const std::string cmd = "trap '' PIPE; { timeout 60 " + std::string(KELMO_CLI) + " acquire --continuous -c 1 -o - 2>" +
                            err + "; echo $? >" + rc + "; } | head -n 2 >/dev/null";
    std::system(cmd.c_str());
    EXPECT_EQ(slurp(rc), "1\n");
    EXPECT_EQ(slurp(err), "kelmo: writing standard output failed: " + std::string(std::strerror(EPIPE)) + "\n");
    std::remove(err.c_str());
    std::remove(rc.c_str());

    const std::string dir = temp("dev"), log = dir + "/log";
    std::filesystem::create_directory(dir);
    const std::string card = "zebsim --dir " + dir + " --log " + log + " >/dev/null & z=$!; for i in $(seq 50); do [ -S " +
                             dir + "/ZEB1 ] && break; sleep 0.1; done; KELMO_DEVICE_DIR=" + dir + " timeout 60 " +
                             KELMO_CLI + " acquire -t 602 -r 10k --continuous -c 1 -o /dev/full 2>/dev/null; echo $? >" +
                             rc + "; kill $z; wait";
    std::system(card.c_str());
    EXPECT_EQ(slurp(rc), "1\n");
    std::istringstream requests(slurp(log));
    std::string request, last;
    while (std::getline(requests, request)) last = request;
    EXPECT_EQ(last.rfind("code=0x222463 ", 0), 0u) << last;  // the stop request of 602
    std::filesystem::remove_all(dir);
    std::remove(rc.c_str());
}

// What goes to standard output is checked before the exit.
TEST_F(KelmoCli, LostStandardOutputIsAFailure) {
    const std::string full = "kelmo: writing standard output failed: " + std::string(std::strerror(ENOSPC));
    for (const char* args : {"cards", "dividers", "scan", "acquire -n 1k -c 1", "--version", "acquire --help"}) {
        const Result r = kelmo(args, ">/dev/full");
        EXPECT_EQ(r.code, 1) << args << "\n" << r.err;
        EXPECT_NE(r.err.find(full), std::string::npos) << args << "\n" << r.err;
    }
}

// A tool started with its standard descriptors closed keeps its output out
// of the shared memories the library opens (they would take the numbers
// 1 and 2), and a closed standard output still fails the run.
TEST_F(KelmoCli, ClosedStandardDescriptorsStayOutOfSharedMemory) {
    auto shared_text = [](const std::string& space) {
        std::string all;
        for (const auto& e : std::filesystem::directory_iterator("/dev/shm"))
            if (e.path().filename().string().rfind("kelmo." + space + ".", 0) == 0) all += slurp(e.path().string());
        return all;
    };
    for (const char* stderrTo : {"", "2>&-"}) {
        const Result r = kelmo("acquire -n 1k -c 2 -o -", "1>&-", stderrTo);
        EXPECT_EQ(r.code, 1) << stderrTo;
        if (!*stderrTo) {
            EXPECT_EQ(r.err, "kelmo: writing standard output failed: " + std::string(std::strerror(EBADF)) + "\n");
        }
        const std::string shared = shared_text(shm_space());
        EXPECT_EQ(shared.find("time_s"), std::string::npos) << stderrTo;
        EXPECT_EQ(shared.find("standard output"), std::string::npos) << stderrTo;
    }
    const Result cards = kelmo("cards", "1>&-");
    EXPECT_EQ(cards.code, 1);
    EXPECT_EQ(cards.err, "kelmo: writing standard output failed: " + std::string(std::strerror(EBADF)) + "\n");

    // genwave, in a namespace of its own, looked at while it holds its
    // objects (it prints its first lines once they are published).
    const std::string own = shm_space() + "-fd" + std::to_string(::getpid()), dump = temp("shm");
    const std::string cmd = "KELMO_SHM_NAMESPACE=" + own + " genwave --for 2 1>&- 2>&- & for i in $(seq 50); do [ -e " +
                            "/dev/shm/kelmo." + own + ".Vort123SigPara ] && break; sleep 0.1; done; sleep 0.3; cat " +
                            "/dev/shm/kelmo." + own + ".* >" + dump + "; wait";
    std::system(cmd.c_str());
    const std::string held = slurp(dump);
    EXPECT_GT(held.size(), 0u);
    EXPECT_EQ(held.find("genwave:"), std::string::npos);
    std::remove(dump.c_str());
}

}  // namespace
