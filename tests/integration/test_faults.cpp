// Faults of the real stack: the signal-source program killed in the middle
// of an acquisition, the simulated card killed or hanging up in the middle
// of a fetch, and a host killed (SIGKILL) while it holds a named shared
// memory. The host gets a failure result, never a crash or a hang, and the
// next acquisition works once the source is back; a killed holder leaves
// nothing behind that the next process could take for live.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "kelmo.h"
#include "peer_process.h"
#include "platform/platform.h"

namespace kelmo::test {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

bool param_block_exists() {
    return platform::current().shm.shm_open_existing("Vort123SigPara", 4000, platform::Access::ReadOnly) != nullptr;
}

bool wait_for_block(bool want, int ms) {
    for (int i = 0; i < ms / 20 && param_block_exists() != want; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return param_block_exists() == want;
}

// Everything a command prints.
std::string output_of(const std::string& command) {
    std::string all;
    if (FILE* f = ::popen(command.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, f)) all += buf;
        ::pclose(f);
    }
    return all;
}

uint32_t rate_code(double hz) {
    uint32_t code = 0;
    double actual = 0;
    EXPECT_EQ(PreSamp(123, hz, &code, &actual), 1);
    return code;
}

// Checkcard finds the block missing and starts genwave itself (found on
// PATH), which publishes within its 5 s.
void bring_source_back() {
    char text[131] = "x";
    int status = -1;
    ASSERT_EQ(Checkcard(123, text, &status), 1);
    EXPECT_STREQ(text, "");
    ASSERT_TRUE(wait_for_block(true, 10000));
}

class Faults : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char text[131];
        int status;
        ASSERT_EQ(Checkcard(5, text, &status), 1);  // keeps "USB_samp" for this process
    }
    // A source left by an interrupted earlier run of these goes first.
    void SetUp() override {
        stop_genwave();
        wait_for_block(false, 5000);
    }
    void TearDown() override {
        stop_genwave();  // one that Checkcard started
        wait_for_block(false, 5000);
    }
};

TEST_F(Faults, GenwaveKilledDuringAContinuousAcquisition) {
    ASSERT_TRUE(wait_for_block(false, 5000));
    auto genwave = std::make_unique<PeerProcess>(program_command("genwave"));
    ASSERT_TRUE(genwave->ready());
    ASSERT_TRUE(wait_for_block(true, 5000));
    const uint32_t code = rate_code(10000.0);
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code), 1, 2, 256), 1);
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        genwave->kill();
    });
    // Blocks of 25.6 ms until the source goes: then 0 and status 1, at once.
    std::vector<double> block(2 * 256);
    int delivered = 0, result = 1, status = 0;
    const auto t0 = Clock::now();
    while (result == 1 && seconds_since(t0) < 5.0) {
        const auto t = Clock::now();
        result = get_dbl_data(&handle, 123, 256, 2, block.data(), 256, 0, &status);
        EXPECT_LT(seconds_since(t), 1.0);
        delivered += result;
    }
    killer.join();
    genwave->wait();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(status, 1);
    EXPECT_GT(delivered, 3);
    EXPECT_EQ(get_dbl_data(&handle, 123, 256, 2, block.data(), 256, 0, &status), 0);  // and again
    recover(&handle, 123);

    bring_source_back();
    // The block genwave published anew has no acquisition started in it: a
    // fetch of the old one fails instead of inventing a time base.
    EXPECT_EQ(get_dbl_data(&handle, 123, 256, 2, block.data(), 256, 0, &status), 0);
    EXPECT_EQ(status, 1);
    // A new start works: channel 0 of the built-in set is a cosine of 3000.
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code), 1, 2, 256), 1);
    double peak = 0;
    for (int b = 0; b < 4; ++b) {
        ASSERT_EQ(get_dbl_data(&handle, 123, 256, 2, block.data(), 256, 0, &status), 1);
        EXPECT_EQ(status, 0);
        peak = std::max(peak, *std::max_element(block.begin(), block.begin() + 256));
    }
    EXPECT_NEAR(peak, 3000.0, 50.0);
    recover(&handle, 123);
}

TEST_F(Faults, GenwaveKilledDuringATriggeredAcquisition) {
    ASSERT_TRUE(wait_for_block(false, 5000));
    auto genwave = std::make_unique<PeerProcess>(program_command("genwave"));
    ASSERT_TRUE(genwave->ready());
    ASSERT_TRUE(wait_for_block(true, 5000));
    const uint32_t code = rate_code(10000.0);
    std::atomic<bool> done{false}, rescued{false};
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        genwave->kill();
        // Should the acquisition not notice, end it from here so that the
        // failure shows instead of a hang.
        for (int i = 0; i < 50 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!done) rescued = InterruptTrigSample() == 1;
    });
    std::vector<double> out(2 * 2048);
    const auto t0 = Clock::now();
    // A level the signal never reaches: the wait ends by the failed fetch.
    const int result = TriMulChSam(0, 0, 1e300, 123, static_cast<int>(code), 2048, 1, 2, out.data());
    done = true;
    killer.join();
    genwave->wait();
    EXPECT_EQ(result, 2);  // a block fetch failed
    EXPECT_FALSE(rescued);
    EXPECT_LT(seconds_since(t0), 2.0);
    EXPECT_EQ(InterruptTrigSample(), 0);  // nothing left waiting

    bring_source_back();
    // A level trigger on the built-in cosine of 3000 fires, and the
    // triggering sample is at index pre (here 10).
    const int fired = TriMulChSam(10, 0, 1000.0, 123, static_cast<int>(code), 2048, 1, 2, out.data());
    EXPECT_EQ(fired, 0);
    EXPECT_GT(std::abs(out[10]), 1000.0);
}

// zebsim delays every reply, so that a fetch is in flight when it is
// killed; every other round it hangs up instead, before the third request.
TEST_F(Faults, CardKilledOrHangingUpMidFetch) {
    const std::string dir = testing::TempDir() + "kelmo-faults-" + std::to_string(::getpid());
    set_env("KELMO_DEVICE_DIR", dir.c_str());
    int warm = 0;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        const bool hangUp = round % 2 == 1;
        auto zebsim = std::make_unique<PeerProcess>(program_command("zebsim") + " --unpaced --dir " + dir +
                                                    (hangUp ? " --drop-after 2" : " --delay-ms 300"));
        ASSERT_TRUE(zebsim->ready());
        uint32_t handle = 0;
        std::vector<double> block(2 * 256);
        ASSERT_EQ(Set_dbl_MulChSam(&handle, 638, 100, 1, 2, 256), 1);
        std::thread killer;
        if (hangUp) ASSERT_EQ(get_dbl_data(&handle, 638, 256, 2, block.data(), 256, 0, nullptr), 1);
        else killer = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            zebsim->kill();
        });
        testing::internal::CaptureStderr();
        const auto t0 = Clock::now();
        EXPECT_EQ(get_dbl_data(&handle, 638, 256, 2, block.data(), 256, 0, nullptr), 0);
        EXPECT_LT(seconds_since(t0), 2.0);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("Request to device ZEB1 (code 0x222017) failed"), std::string::npos) << said;
        if (killer.joinable()) killer.join();
        recover(&handle, 638);
        if (hangUp) zebsim->terminate();
        zebsim->wait();
        // The first round warms up what the library keeps; after it the
        // count of open descriptors must not grow.
        if (round == 0) warm = open_descriptors();
        else EXPECT_LE(open_descriptors(), warm);
    }
    // A card served again works as before.
    auto zebsim = std::make_unique<PeerProcess>(program_command("zebsim") + " --unpaced --dir " + dir);
    ASSERT_TRUE(zebsim->ready());
    std::vector<double> block(2 * 64);
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 638, 100, 1, 2, 64), 1);
    EXPECT_EQ(get_dbl_data(&handle, 638, 64, 2, block.data(), 64, 0, nullptr), 1);
    EXPECT_NEAR(block[16], 2500.0, 1.0);  // channel 0 at a quarter of its period
    recover(&handle, 638);
    zebsim->terminate();
    EXPECT_EQ(zebsim->wait(), 0);
    EXPECT_LE(open_descriptors(), warm);
    ::rmdir(dir.c_str());
    set_env("KELMO_DEVICE_DIR", nullptr);
}

// A host killed with SIGKILL while it holds a named shared memory: the
// object lives exactly while some process holds it. These run in a
// namespace of their own, where this process holds nothing: every look
// is taken by another process.
class KilledHolder : public ::testing::Test {
protected:
    KilledHolder() {
        const char* ns = std::getenv("KELMO_SHM_NAMESPACE");
        ns_ = std::string(ns && *ns ? ns : "default") + "-killed";
        env_ = "KELMO_SHM_NAMESPACE=" + ns_ + " ";
    }
    std::string peer(const std::string& args) const { return env_ + program_command("fault_peer") + " " + args; }
    std::string run(const std::string& args) const { return output_of(peer(args)); }
    std::unique_ptr<PeerProcess> start(const std::string& args) const {
        auto p = std::make_unique<PeerProcess>(peer(args));
        EXPECT_TRUE(p->ready()) << args;
        return p;
    }
    // Nothing is left under the namespace's names once its processes are
    // gone, the killed ones included (the next process cleared what they left).
    ~KilledHolder() override {
        const std::string prefix = "kelmo." + ns_ + ".";
        std::string left;
        if (DIR* d = ::opendir(shm_folder().c_str())) {
            while (dirent* e = ::readdir(d))
                if (std::string(e->d_name).rfind(prefix, 0) == 0) left += std::string(" ") + e->d_name;
            ::closedir(d);
        }
        EXPECT_EQ(left, "");
    }
    std::unique_ptr<PeerProcess> genwave() const {
        auto p = std::make_unique<PeerProcess>(env_ + program_command("genwave"));
        EXPECT_TRUE(p->ready());
        return p;
    }
    std::string ns_, env_;
};

TEST_F(KilledHolder, StatusBlock) {
    auto host = start("hold-block");
    EXPECT_EQ(run("look USB_samp"), "present -1\n");
    EXPECT_EQ(run("getfre"), "-1\n");  // 32-fold mode, as the holder set it
    host->kill();
    host->wait();
    EXPECT_EQ(run("look USB_samp"), "absent\n");
    EXPECT_EQ(run("getfre"), "1\n");   // no block: not the dead host's mode
    EXPECT_EQ(run("fresh USB_samp"), "0\n");  // created anew, all zero
}

TEST_F(KilledHolder, SingleChannelMapping) {
    auto source = genwave();
    auto host = start("continuous");
    EXPECT_EQ(run("look 123_1ch"), "present -3\n");
    host->kill();
    host->wait();
    EXPECT_EQ(run("look 123_1ch"), "absent\n");
    // The dead host's acquisition is still recorded in the parameter block,
    // but a fetch that is not started in the process finds no channel
    // setting; a start of its own makes a fresh one (two channels).
    EXPECT_EQ(run("fetch"), "0 1 1 2\n");
    source->terminate();
}

TEST_F(KilledHolder, TriggerFlag) {
    auto source = genwave();
    auto waiting = start("trigger");
    EXPECT_EQ(run("look ZebTrigShareMem"), "present 0\n");
    waiting->kill();
    waiting->wait();
    EXPECT_EQ(run("look ZebTrigShareMem"), "absent\n");
    EXPECT_EQ(run("interrupt"), "0\n");  // nothing is waiting

    // Held by a second process as well: the flag outlives the killed
    // acquisition until that one lets go too.
    waiting = start("trigger");
    auto other = start("hold ZebTrigShareMem");
    waiting->kill();
    waiting->wait();
    EXPECT_EQ(run("look ZebTrigShareMem"), "present 0\n");
    EXPECT_EQ(run("interrupt"), "1\n");
    EXPECT_EQ(run("look ZebTrigShareMem"), "present 1\n");
    other->kill();
    other->wait();
    EXPECT_EQ(run("interrupt"), "0\n");
    EXPECT_EQ(run("fresh ZebTrigShareMem"), "0\n");
    // What the killed acquisitions held besides: their status block and
    // their channel setting.
    EXPECT_EQ(run("look USB_samp"), "absent\n");
    EXPECT_EQ(run("look 123_1ch"), "absent\n");
    source->terminate();
}

}  // namespace
}  // namespace kelmo::test
