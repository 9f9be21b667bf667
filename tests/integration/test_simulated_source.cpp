// The simulated source end to end: genwave publishes in a second process,
// this process acquires from it through the real backend.
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cmath>
#include <filesystem>
#include <ctime>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "kelmo.h"
#include "peer_process.h"
#include "platform/platform.h"

namespace kelmo::test {
namespace {

bool param_block_exists() {
    return platform::current().shm.shm_open_existing("Vort123SigPara", 4000, platform::Access::ReadOnly) != nullptr;
}

bool wait_for(bool want, int ms) {
    for (int i = 0; i < ms / 20; ++i) {
        if (param_block_exists() == want) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return param_block_exists() == want;
}

const std::string kGenwave = program_command("genwave");
const std::string kInterrupter = program_command("interrupt_peer");

class SimulatedSource : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char text[131];
        int status;
        ASSERT_EQ(Checkcard(5, text, &status), 1);  // keeps "USB_samp" for this process
    }
    uint32_t rate(double hz) {
        uint32_t code = 0;
        double actual = 0;
        EXPECT_EQ(PreSamp(123, hz, &code, &actual), 1);
        return code;
    }
};

TEST_F(SimulatedSource, AcquiresWhatGenwavePublishes) {
    PeerProcess genwave(kGenwave);
    ASSERT_TRUE(genwave.ready());
    ASSERT_TRUE(wait_for(true, 5000));
    char text[131];
    int status = -1;
    ASSERT_EQ(Checkcard(123, text, &status), 1);

    // Eight channels, 0.1 s at 10 kHz: paced in real time.
    const uint32_t code = rate(10000.0);
    std::vector<double> out(8 * 1000);
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = process_cpu_ms();
    ASSERT_EQ(MulChSam(123, static_cast<int>(code), 1000, 1, 8, out.data()), 1);
    const double wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    const double cpuMs = process_cpu_ms() - c0;
    EXPECT_GE(wallMs, 99.0);
    std::printf("8 x 1000 samples at 10 kHz: %.1f ms wall, %.1f ms CPU\n", wallMs, cpuMs);

    // Channel 0 is the built-in 50 Hz cosine of amplitude 3000.
    const double* c0s = out.data();
    const double peak = *std::max_element(c0s, c0s + 1000);
    EXPECT_NEAR(peak, 3000.0, 5.0);
    int crossings = 0;
    for (int i = 1; i < 1000; ++i) crossings += (c0s[i - 1] < 0) != (c0s[i] < 0);
    EXPECT_NEAR(crossings, 10, 1);  // 5 cycles in 0.1 s
    // Channel 1 is noise: it moves, and stays inside full scale.
    const double* n = out.data() + 1000;
    const double rms = std::sqrt(std::inner_product(n, n + 1000, n, 0.0) / 1000);
    EXPECT_GT(rms, 10.0);

    // Continuous: the count of delivered samples is published in the block.
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code), 1, 2, 1000), 1);
    std::vector<double> block(2 * 500);
    int st = 0;
    for (int b = 0; b < 3; ++b) ASSERT_EQ(get_dbl_data(&handle, 123, 500, 2, block.data(), 500, 0, &st), 1);
    recover(&handle, 123);
    auto shared = platform::current().shm.shm_open_existing("Vort123SigPara", 4000, platform::Access::ReadOnly);
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(shared->word(3968 / 4)), 1500u);
    shared.reset();

    genwave.terminate();
    genwave.wait();
    ASSERT_TRUE(wait_for(false, 5000));
    EXPECT_EQ(MulChSam(123, static_cast<int>(code), 10, 1, 1, out.data()), 0);  // nothing published any more
}

TEST_F(SimulatedSource, InterruptFromAnotherProcess) {
    PeerProcess genwave(kGenwave);
    ASSERT_TRUE(genwave.ready());
    ASSERT_TRUE(wait_for(true, 5000));
    const uint32_t code = rate(10000.0);
    PeerProcess interrupter(kInterrupter);
    ASSERT_TRUE(interrupter.ready());
    std::vector<double> out(1024);
    // Should the other process never get through, end the wait from here
    // after a while, so that the failure shows instead of a hang.
    std::atomic<bool> done{false}, rescued{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 300 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!done) rescued = InterruptTrigSample() == 1;
    });
    // A level the signal never reaches: only the interrupt ends the wait.
    EXPECT_EQ(TriMulChSam(0, 0, 1e300, 123, static_cast<int>(code), 1024, 1, 1, out.data()), 1);
    done = true;
    watchdog.join();
    EXPECT_FALSE(rescued);
    EXPECT_EQ(interrupter.wait(), 0);
    genwave.terminate();
}

#ifndef _WIN32
// Another process on the same genwave (a view beside a recording) starts,
// runs at another gain and ends while this one acquires: this one's time
// base and gain stay its own. (The other is a forked child here.)
TEST_F(SimulatedSource, AnotherProcessOnTheSameSourceChangesNothingHere) {
    PeerProcess genwave(kGenwave);
    ASSERT_TRUE(genwave.ready());
    ASSERT_TRUE(wait_for(true, 5000));
    const uint32_t code = rate(10000.0);
    const int n = 1000;
    uint32_t handle = 0;
    int st = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code), 1, 1, n), 1);
    std::vector<double> v(4 * n);
    ASSERT_EQ(get_dbl_data(&handle, 1230, n, 1, v.data(), n, 0, &st), 1);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        uint32_t mine = 0;
        std::vector<double> w(n);
        int ok = Set_dbl_MulChSam(&mine, 123, static_cast<int>(code), 2, 1, n);
        for (int b = 0; b < 5 && ok; ++b) ok = get_dbl_data(&mine, 1230, n, 1, w.data(), n, 0, &st);
        recover(&mine, 123);
        uint32_t inherited = handle;
        recover(&inherited, 123);
        ::_exit(ok == 1 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int b = 1; b < 4; ++b) ASSERT_EQ(get_dbl_data(&handle, 1230, n, 1, v.data() + b * n, n, 0, &st), 1) << b;
    recover(&handle, 123);
    // Channel 0 is the built-in 50 Hz cosine of amplitude 3000: its phase
    // from the first two samples, then every sample of the four blocks.
    const double w = 2 * 3.14159265358979323846 * 50.0 / 10000.0, A = 3000.0;
    const double phi = std::atan2((v[0] * std::cos(w) - v[1]) / std::sin(w), v[0]);
    for (int s = 0; s < 4 * n; ++s) ASSERT_NEAR(v[s], A * std::cos(phi + w * s), 0.5) << s;
    genwave.terminate();
}
#endif

void write_file(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

double amp1_of_entry0() {
    auto b = platform::current().shm.shm_open_existing("Vort123SigPara", 4000, platform::Access::ReadOnly);
    double v = -1.0;
    if (b) std::memcpy(&v, static_cast<const char*>(b->data()) + 1024, sizeof v);
    return v;
}

TEST_F(SimulatedSource, ParameterFileIsReadAndReRead) {
    const std::string path = testing::TempDir() + "kelmo-genwave-params.toml";
    write_file(path, "[[channel]]\nentry = 0\nwaveform = \"cosine\"\nfreq1 = 100.0\namp1 = 1234.0\n");
    PeerProcess genwave(std::string(kGenwave) + " -p " + path);
    ASSERT_TRUE(genwave.ready());
    ASSERT_TRUE(wait_for(true, 5000));
    EXPECT_EQ(amp1_of_entry0(), 1234.0);
    // A continuous run leaves its count in the block; a re-read keeps it.
    const uint32_t code = rate(10000.0);
    uint32_t handle = 0;
    std::vector<double> block(100);
    int st = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code), 1, 1, 1000), 1);
    ASSERT_EQ(get_dbl_data(&handle, 1230, 100, 1, block.data(), 100, 0, &st), 1);
    EXPECT_NEAR(block[0], 1234.0, 1e-9);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // a new modification time
    write_file(path, "[[channel]]\nentry = 0\nwaveform = \"cosine\"\nfreq1 = 100.0\namp1 = 777.0\n");
    for (int i = 0; i < 100 && amp1_of_entry0() != 777.0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(amp1_of_entry0(), 777.0);
    ASSERT_EQ(get_dbl_data(&handle, 1230, 100, 1, block.data(), 100, 0, &st), 1);
    EXPECT_NEAR(block[0], 777.0, 1e-9);  // sample 100 of a 100 Hz cosine at 10 kHz: a whole cycle
    auto shared = platform::current().shm.shm_open_existing("Vort123SigPara", 4000, platform::Access::ReadOnly);
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(shared->word(3968 / 4)), 200u);
    shared.reset();
    recover(&handle, 123);
    genwave.terminate();
    genwave.wait();
    ASSERT_TRUE(wait_for(false, 5000));
    std::remove(path.c_str());
}

TEST_F(SimulatedSource, CheckcardStartsGenwave) {
    ASSERT_TRUE(wait_for(false, 5000));
    char text[131] = "x";
    int status = -1;
    ASSERT_EQ(Checkcard(-123, text, &status), 1);  // returns at once
    EXPECT_STREQ(text, "");
    EXPECT_TRUE(wait_for(true, 10000));
    stop_genwave();
    EXPECT_TRUE(wait_for(false, 10000));
}

#ifndef _WIN32
// (On Linux, where the shared memories are files in a folder.)
// genwave in a runtime folder and namespace of the test's own, where
// nothing else is: asked what is published while nothing is, it leaves
// nothing behind (in neither folder); running, it publishes where this
// process looks, and another genwave reads it back.
TEST(GenwaveRuntimeFolder, PublishesThereAndLeavesNothing) {
    std::string dir = testing::TempDir() + "kelmo-genwave-XXXXXX";
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    const std::string ns = "genwave-folder-" + std::to_string(::getpid());
    const std::string env = "XDG_RUNTIME_DIR=" + dir + " KELMO_SHM_NAMESPACE=" + ns + " ";
    std::string stem = "kelmo.";
    stem += ns;
    stem += '.';
    const auto left = [&] {
        std::string names;
        for (const std::string& folder : {dir, std::string("/dev/shm")})
            for (const auto& e : std::filesystem::directory_iterator(folder))
                if (e.path().filename().string().rfind(stem, 0) == 0) (names += ' ') += e.path().string();
        return names;
    };
    const auto published = [&](std::string* out) {
        FILE* p = ::popen((env + kGenwave + " --published 2>&1").c_str(), "r");
        char buf[4096];
        std::size_t n = 0;
        while (p && (n = std::fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
        const int status = p ? ::pclose(p) : -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };

    std::string none;
    EXPECT_EQ(published(&none), 1) << none;
    EXPECT_NE(none.find("no parameters are published"), std::string::npos) << none;
    EXPECT_EQ(left(), "") << "genwave --published left these behind";

    {
        PeerProcess genwave(env + kGenwave);
        ASSERT_TRUE(genwave.ready());
        const std::string block = dir + "/" + stem + "Vort123SigPara";
        struct stat st {};
        EXPECT_EQ(::stat(block.c_str(), &st), 0) << block;
        std::string seen;
        EXPECT_EQ(published(&seen), 0) << seen;
        EXPECT_NE(seen.find("50"), std::string::npos) << seen;  // the built-in 50 Hz cosine
        genwave.terminate();
        EXPECT_EQ(genwave.wait(), 0);
    }
    EXPECT_EQ(left(), "");
    std::filesystem::remove_all(dir);
}
#endif

}  // namespace
}  // namespace kelmo::test
