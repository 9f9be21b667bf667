// The run-time choice of kernel: the fastest by measurement, or the one the
// environment names; a kernel asked for by name is never measured.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "core/cpu.h"
#include "peer_process.h"

namespace kelmo::test {
namespace {

std::map<Kernel, int> g_trials;
Kernel g_slow = Kernel::Avx512;

// A trial of which g_slow takes 2 ms more than the others.
void trial(Kernel k) {
    ++g_trials[k];
    if (k == g_slow) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

class KernelChoice : public ::testing::Test {
protected:
    KernelChoice() {
        g_trials.clear();
        set_env("KELMO_KERNEL", nullptr);
    }
    ~KernelChoice() override { set_env("KELMO_KERNEL", nullptr); }
};

TEST_F(KernelChoice, AutoIsTheFastestMeasuredOnceAndANamedKernelIsTaken) {
    if (!cpu_has_avx2() || !cpu_has_avx512()) GTEST_SKIP() << "the processor runs fewer than two vector kernels";
    for (Kernel slow : {Kernel::Avx512, Kernel::Avx2}) {
        g_trials.clear();
        g_slow = slow;
        KernelChooser c("trial", true, trial);
        const Kernel fast = slow == Kernel::Avx512 ? Kernel::Avx2 : Kernel::Avx512;
        EXPECT_EQ(c.choose(Kernel::Auto), fast);
        EXPECT_EQ(c.choose(Kernel::Auto), fast);
        EXPECT_EQ(g_trials[Kernel::Avx2], 6);  // one to warm, five timed: once only
        EXPECT_EQ(g_trials[Kernel::Avx512], 6);
        EXPECT_EQ(g_trials[Kernel::Scalar], 0);
        EXPECT_EQ(c.choose(Kernel::Scalar), Kernel::Scalar);
        EXPECT_EQ(c.choose(slow), slow);
        const std::string why = c.why();
        EXPECT_NE(why.find(std::string("trial: ") + kernel_name(fast) + ", the fastest here"), std::string::npos) << why;
    }
}

TEST_F(KernelChoice, TheEnvironmentForcesAKernelAndANameItDoesNotKnowIsSaid) {
    set_env("KELMO_KERNEL", "scalar");
    KernelChooser forced("trial", true, trial);
    EXPECT_EQ(forced.choose(Kernel::Auto), Kernel::Scalar);
    EXPECT_TRUE(g_trials.empty());
    EXPECT_EQ(forced.why(), "trial: scalar, as KELMO_KERNEL=scalar asks");

    set_env("KELMO_KERNEL", "avx512");
    KernelChooser best("trial", false, trial);  // a build without AVX-512 kernels
    EXPECT_EQ(best.choose(Kernel::Auto), kernel_for(Kernel::Avx512, false));
    EXPECT_TRUE(g_trials.empty());
    EXPECT_NE(best.why().find("the processor runs no faster one"), std::string::npos) << best.why();

    set_env("KELMO_KERNEL", "sse9");
    KernelChooser unknown("trial", true, trial);
    const Kernel k = unknown.choose(Kernel::Auto);
    EXPECT_EQ(k, kernel_for(Kernel::Auto, true) == Kernel::Scalar ? Kernel::Scalar : k);
    EXPECT_NE(unknown.why().find("KELMO_KERNEL names no kernel: scalar, avx2 or avx512"), std::string::npos)
        << unknown.why();
}

}  // namespace
}  // namespace kelmo::test
