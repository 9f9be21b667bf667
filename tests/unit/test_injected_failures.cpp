// Every platform call failing in turn: a host's sequence of exports runs
// once for each call it makes of the platform, with that one call failing.
// Each export must still return one of its defined results; the same
// sequence run again then succeeds throughout, and once it has ended
// nothing it took is left: no view, no page, no device, no waveform device,
// no mixer.
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "core/reason.h"
#include "sources/source.h"
#include "fixture.h"
#include "sources/sim/param_block.h"

namespace kelmo::test {
namespace {

using platform::FakePlatform;

// One export call's result and the results it may give.
struct Step {
    std::string what;
    int result;
    std::set<int> allowed;
    std::string reason;  // kelmo_last_error right after the call
};

// Taken once the call has returned (arguments are evaluated first).
Step step(const char* what, int result, std::set<int> allowed) {
    char reason[1024];
    kelmo_last_error(reason, sizeof reason);
    return {what, result, std::move(allowed), reason};
}

struct Scenario {
    const char* name;
    // What other processes hold before the host starts (kept alive by the
    // returned handles) and how the fake devices behave.
    std::function<std::vector<platform::SharedMemoryPtr>(FakePlatform&)> world;
    // The host's calls, in its order.
    std::function<std::vector<Step>(FakePlatform&)> host;
};

const std::set<int> kOkOrFailed{1, 0};

std::vector<platform::SharedMemoryPtr> simulated_world(FakePlatform& fake) {
    std::vector<platform::SharedMemoryPtr> held;
    held.push_back(fake.shm_create_or_open("Vort123SigPara", 4000, nullptr));
    held.push_back(fake.shm_create_or_open("Random_Simu", 32 * 8192, nullptr));
    auto& p = *static_cast<sim::SimParamBlock*>(held[0]->data());
    for (int k = 0; k < 32; ++k) p.waveform[k] = 6;
    p.waveform[0] = 2, p.freq1[0] = 50, p.amp1[0] = 1000, p.period[0] = 1;  // a cosine
    p.waveform[1] = 0, p.amp1[1] = 500;                                      // white noise
    p.waveform[2] = 5, p.mixWeight[2][0] = 1, p.mixWeight[2][1] = 0.5;      // a sum of two
    p.waveform[8] = 2, p.freq1[8] = 70, p.amp1[8] = 100, p.period[8] = 1;
    p.waveform[9] = 1, p.freq1[9] = 500, p.freq2[9] = 1500, p.amp1[9] = 100;
    return held;
}

std::vector<Step> simulated_host(FakePlatform&) {
    char text[131];
    int status = 0;
    uint32_t code = 4096000000u;  // 10 kHz, kept should PreSamp fail
    double actual = 0;
    std::vector<double> out(4 * 64);
    std::vector<int16_t> words(4 * 64);
    uint32_t handle = 0;
    std::vector<Step> s;
    s.push_back(step("Checkcard", Checkcard(123, text, &status), kOkOrFailed));
    s.push_back(step("PreSamp", PreSamp(123, 10000.0, &code, &actual), kOkOrFailed));
    s.push_back(step("OneChSam", OneChSam(123, code, 64, 1, 2, out.data()), kOkOrFailed));
    s.push_back(step("MulChSam", MulChSam(123, static_cast<int>(code), 64, 1, 3, out.data()), kOkOrFailed));
    s.push_back(step("MulChSamW", MulChSamW(123, static_cast<int>(code), 64, 1, 3, words.data()), kOkOrFailed));
    s.push_back(step("Set_dbl_MulChSam", Set_dbl_MulChSam(&handle, 123, static_cast<int>(code), 1, 3, 64), kOkOrFailed));
    s.push_back(step("get_dbl_data", get_dbl_data(&handle, 1230, 64, 3, out.data(), 64, 0, &status), kOkOrFailed));
    s.push_back(step("get_dbl_dataW", get_dbl_dataW(&handle, 1230, 64, 3, words.data(), 64, 0, &status), kOkOrFailed));
    recover(&handle, 123);
    // 0 triggered, 2 failed, 4 no trigger flag to be had.
    s.push_back(step("TriMulChSam", TriMulChSam(1024 + 10, 0, 0.0, 123, static_cast<int>(code), 64, 1, 2, out.data()),
                 {0, 2, 4}));
    return s;
}

std::vector<platform::SharedMemoryPtr> driver_world(FakePlatform& fake) {
    fake.deviceMissing = false;
    fake.handler = [](uint32_t, const platform::RequestRecord&, void* out, uint32_t size, uint32_t* status) {
        auto* b = static_cast<unsigned char*>(out);
        for (uint32_t i = 0; i < size; ++i) b[i] = static_cast<unsigned char>(i * 7 + 3);
        if (status) *status = 0;
        return true;
    };
    return {};
}

std::vector<Step> driver_host(FakePlatform&) {
    char text[131];
    int status = 0;
    uint32_t code = 0x10005;
    double actual = 0;
    std::vector<double> out(4 * 256);
    uint32_t handle = 0;
    uint16_t port = 0;
    std::vector<Step> s;
    s.push_back(step("Checkcard", Checkcard(638, text, &status), kOkOrFailed));
    s.push_back(step("PreSamp", PreSamp(638, 10000.0, &code, &actual), kOkOrFailed));
    s.push_back(step("OneChSam", OneChSam(638, code, 256, 1, 1, out.data()), kOkOrFailed));
    s.push_back(step("MulChSam", MulChSam(638, static_cast<int>(code), 256, 2, 4, out.data()), kOkOrFailed));
    s.push_back(step("Set_dbl_MulChSam", Set_dbl_MulChSam(&handle, 638, static_cast<int>(code), 1, 4, 256), kOkOrFailed));
    s.push_back(step("get_dbl_data", get_dbl_data(&handle, 638, 256, 4, out.data(), 256, 0, &status), kOkOrFailed));
    s.push_back(step("get_dbl_data", get_dbl_data(&handle, 638, 256, 4, out.data(), 256, 0, &status), kOkOrFailed));
    recover(&handle, 638);
    s.push_back(step("GetPrintPortStatus", GetPrintPortStatus(&port), kOkOrFailed));
    void* block = ZebAlloc(638, 4096);
    s.push_back(step("ZebAlloc", block ? 1 : 0, kOkOrFailed));
    if (block) s.push_back(step("ZebFree", ZebFree(block) ? 1 : 0, {1}));
    return s;
}

std::vector<platform::SharedMemoryPtr> sound_world(FakePlatform& fake) {
    // The user picks line in on the recording-input dialog and moves its slider.
    fake.dialog = [](platform::SoundInputDialogModel& m) {
        uint32_t slider[3] = {};
        m.refresh(1, &slider[0], &slider[1], &slider[2]);
        m.done(1, 30000);
        return 1;
    };
    return {};
}

std::vector<Step> sound_host(FakePlatform&) {
    char text[131];
    int status = 0;
    uint32_t code = 8;
    double actual = 0;
    std::vector<double> out(2 * 512), tone(600, 100.0);
    uint32_t handle = 0;
    std::vector<Step> s;
    SetSoundWaveIn();
    s.push_back(step("Checkcard", Checkcard(800, text, &status), kOkOrFailed));
    s.push_back(step("PreSamp", PreSamp(800, 44100.0, &code, &actual), kOkOrFailed));
    s.push_back(step("OneChSam", OneChSam(800, code, 256, 1, 1, out.data()), kOkOrFailed));
    s.push_back(step("Set_dbl_MulChSam", Set_dbl_MulChSam(&handle, 800, static_cast<int>(code), 1, 2, 512), kOkOrFailed));
    for (int i = 0; i < 3; ++i)
        s.push_back(step("get_dbl_data", get_dbl_data(&handle, 800, 512, 2, out.data(), 512, 0, &status), kOkOrFailed));
    recover(&handle, 800);
    s.push_back(step("OpenSpeaker", OpenSpeaker(8000.0, 1, 1000, 5000.0), kOkOrFailed));
    s.push_back(step("TransSpeakerData", TransSpeakerData(600, 0, 600, tone.data(), nullptr), kOkOrFailed));
    s.push_back(step("CloseSpeaker", CloseSpeaker(), kOkOrFailed));
    return s;
}

const Scenario kScenarios[] = {
    {"simulated source", simulated_world, simulated_host},
    {"card behind the driver", driver_world, driver_host},
    {"sound card", sound_world, sound_host},
};

// Runs the scenario with call `failAt` failing (-1: none); returns how many
// fallible calls the host made.
int run(const Scenario& sc, int failAt) {
    reset_process_state_for_tests();
    FakePlatform fake;
    int calls = 0;
    {
        auto held = sc.world(fake);
        fake.failAt = failAt;
        const auto steps = sc.host(fake);
        calls = fake.fallibleCalls;
        for (const Step& st : steps) {
            EXPECT_TRUE(st.allowed.count(st.result))
                << sc.name << ": " << st.what << " gave " << st.result << " with call " << failAt << " failing";
            // A failure says why, in words of its own; a success leaves no reason.
            const bool failed = st.allowed.count(1) ? st.result != 1 : st.result != 0;
            if (failed) {
                EXPECT_EQ(st.reason.rfind(st.what + " failed: ", 0), 0u)
                    << sc.name << ": " << st.what << " with call " << failAt << " failing: \"" << st.reason << '"';
                EXPECT_EQ(st.reason.find(kelmo::kNoCause), std::string::npos)
                    << sc.name << ": " << st.what << " with call " << failAt << " failing (" << fake.failedCall << ")";
            } else {
                EXPECT_EQ(st.reason, "") << sc.name << ": " << st.what << " with call " << failAt << " failing";
            }
        }
        // The host tries again, and now everything works. (A device whose
        // closing failed is kept with its buffer until then: it might still
        // record into it.)
        for (const Step& st : sc.host(fake))
            EXPECT_EQ(st.result, st.allowed.count(1) ? 1 : 0) << sc.name << ": " << st.what << " again, after call "
                                                                << failAt << " failed";
        // Nothing the calls took is left: devices, pages, waveform devices, mixers.
        EXPECT_EQ(fake.openDevices, 0) << sc.name << ", call " << failAt;
        EXPECT_TRUE(fake.livePages.empty()) << sc.name << ", call " << failAt;
        EXPECT_FALSE(fake.sound.open) << sc.name << ", call " << failAt;
        EXPECT_FALSE(fake.speaker.open) << sc.name << ", call " << failAt;
        EXPECT_EQ(fake.mixer.open, 0) << sc.name << ", call " << failAt;
        // Views: once the library drops what it keeps for the process and
        // the other processes have gone, no object is left.
        reset_process_state_for_tests();
    }
    for (const auto& [name, object] : fake.objects)
        ADD_FAILURE() << sc.name << ", call " << failAt << ": " << name << " still has " << object->handles
                      << " handle(s)";
    return calls;
}

TEST(InjectedFailures, EveryPlatformCallFailingInTurn) {
    for (const Scenario& sc : kScenarios) {
        const int calls = run(sc, -1);
        EXPECT_GT(calls, 5) << sc.name;
        std::printf("%s: %d platform calls, each failing in turn\n", sc.name, calls);
        for (int k = 0; k < calls; ++k) {
            run(sc, k);
            if (HasFailure()) return;  // the first path that fails is the one to look at
        }
    }
}

}  // namespace
}  // namespace kelmo::test
