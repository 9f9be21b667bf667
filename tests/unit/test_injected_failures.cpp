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

// A caller's mistake is refused in words: every export given a bad argument
// returns its failure result and names the argument and its rule, never
// the sentence of a failure without a cause.
struct BadCall {
    const char* what;  // the export
    const char* how;   // the mistake
    std::function<int()> call;
    int failure;  // the result that says it failed
};

// Each call runs in a world of its own: a simulated source set up (its
// unit's block made by Checkcard, the mode word by PreSamp), a card whose
// driver answers, and sound devices.
void set_up_world(FakePlatform& fake, std::vector<platform::SharedMemoryPtr>& held, bool preSamp) {
    held = simulated_world(fake);
    driver_world(fake);
    char text[131];
    int status = 0;
    uint32_t code = 0;
    double actual = 0;
    ASSERT_EQ(Checkcard(123, text, &status), 1);
    if (preSamp) {
        ASSERT_EQ(PreSamp(123, 10000.0, &code, &actual), 1);
    }
}

TEST(InjectedFailures, BadArgumentsAreNamed) {
    static double values[4 * 1024], gains[32];
    static int16_t words[4 * 1024];
    static char text[300];
    static int status;
    static uint32_t code, handle;
    static double actual;
    const int c = 4096000000 / 10000;  // the simulated source's divider of 10 kHz
    const auto ptr = [](void* p) { return p ? 1 : 0; };
    const std::vector<BadCall> calls = {
        {"GetPrintPortStatus", "null status", [] { return GetPrintPortStatus(nullptr); }, 0},
        {"ZebAlloc", "no words", [&] { return ptr(ZebAlloc(123, 0)); }, 0},
        {"ZebFree", "null block", [] { return ZebFree(nullptr); }, 0},
        {"convert", "null values", [] { return convert(123, nullptr, words, 8, 1, nullptr, nullptr); }, 0},
        {"convert", "null raw words", [] { return convert(123, values, nullptr, 8, 0, nullptr, nullptr); }, 0},
        {"PreSamp", "null code", [] { return PreSamp(123, 1000.0, nullptr, &actual); }, 0},
        {"PreSamp", "null actual", [] { return PreSamp(123, 1000.0, &code, nullptr); }, 0},
        {"Checkcard", "null text", [] { return Checkcard(123, nullptr, &status); }, 0},
        {"Checkcard", "null status", [] { return Checkcard(123, text, nullptr); }, 0},
        {"OneChSam", "null buffer", [&] { return OneChSam(123, c, 64, 1, 1, nullptr); }, 0},
        {"OneChSamEx", "null buffer", [&] { return OneChSamEx(123, c, 64, 1, 1, nullptr); }, 0},
        {"OneChSamW", "null buffer", [&] { return OneChSamW(123, c, 64, 1, 1, nullptr); }, 0},
        {"OneChSam", "channel 33", [&] { return OneChSam(123, c, 64, 1, 33, values); }, 0},
        {"OneChSam", "channel 0", [&] { return OneChSam(123, c, 64, 1, 0, values); }, 0},
        {"MulChSam", "negative length", [&] { return MulChSam(123, c, -1, 1, 2, values); }, 0},
        {"MulChSam", "no channels", [&] { return MulChSam(123, c, 64, 1, 0, values); }, 0},
        {"MulChSam", "null buffer", [&] { return MulChSam(123, c, 64, 1, 2, nullptr); }, 0},
        {"MulChSamW", "null buffer", [&] { return MulChSamW(123, c, 64, 1, 2, nullptr); }, 0},
        {"MulChSamEx", "null gains", [&] { return MulChSamEx(123, c, 64, 1, 2, values, nullptr, nullptr); }, 0},
        {"MulChSamWEx", "null gains", [&] { return MulChSamWEx(123, c, 64, 1, 2, words, nullptr, nullptr); }, 0},
        {"MulChSam", "gain 0 on a card", [&] { return MulChSam(638, 5, 64, 0, 2, values); }, 0},
        {"OneChSam", "gain 0 on a card", [&] { return OneChSam(638, 5, 64, 0, 1, values); }, 0},
        {"Set_dbl_MulChSam", "null handle word", [&] { return Set_dbl_MulChSam(nullptr, 123, c, 1, 2, 64); }, 0},
        {"Set_dbl_MulChSam", "divider 0", [&] { return Set_dbl_MulChSam(&handle, 123, 0, 1, 2, 64); }, 0},
        {"Set_dbl_MulChSam", "single channel 40", [&] { return Set_dbl_MulChSam(&handle, 123, c, 1, -40, 64); }, 0},
        {"Set_dbl_MulChSamEx", "null gains",
         [&] { return Set_dbl_MulChSamEx(&handle, 123, c, 1, 2, 64, nullptr, nullptr); }, 0},
        {"Set_dbl_MulChSam", "gain 0 on a card", [&] { return Set_dbl_MulChSam(&handle, 638, 5, 0, 2, 64); }, 0},
        {"get_dbl_data", "negative length", [] { return get_dbl_data(&handle, 1230, -1, 2, values, 64, 0, &status); }, 0},
        {"get_dbl_data", "null buffer", [] { return get_dbl_data(&handle, 1230, 64, 2, nullptr, 64, 0, &status); }, 0},
        {"get_dbl_dataW", "null buffer", [] { return get_dbl_dataW(&handle, 1230, 64, 2, nullptr, 64, 0, &status); }, 0},
        {"get_dbl_data", "null handle word on a card",
         [] { return get_dbl_data(nullptr, 638, 64, 2, values, 64, 0, &status); }, 0},
        {"TriMulChSam", "negative mode", [&] { return TriMulChSam(-1, 0, 0.0, 123, c, 64, 1, 2, values); }, 2},
        {"TriMulChSam", "negative length", [&] { return TriMulChSam(10, 0, 0.0, 123, c, -1, 1, 2, values); }, 2},
        {"TriMulChSam", "no channels", [&] { return TriMulChSam(10, 0, 0.0, 123, c, 64, 1, 0, values); }, 2},
        {"TriMulChSam", "null buffer", [&] { return TriMulChSam(10, 0, 0.0, 123, c, 64, 1, 2, nullptr); }, 2},
        {"TriMulChSam", "trigger channel 5 of 2", [&] { return TriMulChSam(10, 5, 0.0, 123, c, 64, 1, 2, values); }, 2},
        {"TriMulChSam", "slope 3", [&] { return TriMulChSam(3 * 1024, 0, 0.0, 123, c, 64, 1, 2, values); }, 2},
        {"TriMulChSamEx", "null buffer",
         [&] { return TriMulChSamEx(10, 0, 0.0, 123, c, 64, 1, 2, nullptr, gains, nullptr); }, 2},
        {"TriMulChSamEx", "slope 7", [&] { return TriMulChSamEx(7 * 1024, 0, 0.0, 123, c, 64, 1, 2, values, gains, nullptr); }, 2},
        {"InterruptTrigSample", "none waiting", [] { return InterruptTrigSample(); }, 0},
        {"OpenSpeaker", "rate 0", [] { return OpenSpeaker(0.0, 1, 0, 5000.0); }, 0},
        {"OpenSpeaker", "3 channels", [] { return OpenSpeaker(44100.0, 3, 0, 5000.0); }, 0},
        {"TransSpeakerData", "nothing open", [] { return TransSpeakerData(10, 0, 10, values, nullptr); }, 0},
        {"CloseSpeaker", "nothing open", [] { return CloseSpeaker(); }, 0},
        {"InitialDA", "null handle word", [] { return InitialDA(nullptr, 678, 0, 0, values); }, 0},
        {"SetFixDA", "no acquisition", [] { return SetFixDA(&handle, 678, 0, 0, values); }, 0},
        {"SetDAData", "null handle word", [] { return SetDAData(nullptr, 678, 0, values, 16); }, 0},
        {"GetADParameterEx", "null record", [] { return GetADParameterEx(123, nullptr, nullptr, nullptr); }, 0},
        {"CheckSNR", "null amplitudes",
         [] { return CheckSNR(123, 4, nullptr, 1, 0.0, values, values + 8, values + 16); }, 0},
        {"ChangePath", "null path", [] { return ChangePath(nullptr, nullptr); }, 0},
    };
    for (const BadCall& bc : calls) {
        for (int g = 0; g < 32; ++g) gains[g] = 1.0;
        handle = 0;
        FakeSession session;
        std::vector<platform::SharedMemoryPtr> held;
        set_up_world(session.fake, held, true);
        const int r = bc.call();
        char reason[1024];
        kelmo_last_error(reason, sizeof reason);
        const std::string s = reason;
        EXPECT_EQ(r, bc.failure) << bc.what << " (" << bc.how << ")";
        EXPECT_EQ(s.rfind(std::string(bc.what) + " failed: ", 0), 0u) << bc.what << " (" << bc.how << "): " << s;
        EXPECT_EQ(s.find(kelmo::kNoCause), std::string::npos) << bc.what << " (" << bc.how << "): " << s;
    }
}

// A block asked for before its unit is set up: without the unit's block
// (no Checkcard or PreSamp), and with the block but no mode word yet
// (Checkcard only). Either says to call PreSamp first.
TEST(InjectedFailures, BlocksBeforeTheSetUpSayWhatToCallFirst) {
    static double values[4 * 64];
    static uint32_t handle;
    const std::vector<std::pair<const char*, std::function<int()>>> calls = {
        {"OneChSam", [] { return OneChSam(602, 5, 64, 1, 1, values); }},
        {"OneChSamW", [] { return OneChSamW(123, 5, 64, 1, 1, values); }},
        {"MulChSam", [] { return MulChSam(602, 5, 64, 1, 2, values); }},
        {"Set_dbl_MulChSam", [] { return Set_dbl_MulChSam(&handle, 602, 5, 1, 2, 64); }},
        {"get_dbl_data", [] { return get_dbl_data(&handle, 123, 64, 2, values, 64, 0, nullptr); }},
    };
    for (const bool checked : {false, true})
        for (const auto& [what, call] : calls) {
            FakeSession session;
            char text[131];
            int status = 0;
            if (checked) {
                ASSERT_EQ(Checkcard(602, text, &status), 1);
                ASSERT_EQ(Checkcard(123, text, &status), 0);  // no GENWAVE: the block is made all the same
            }
            EXPECT_EQ(call(), 0) << what;
            char reason[1024];
            kelmo_last_error(reason, sizeof reason);
            const std::string s = reason;
            EXPECT_EQ(s.find(kelmo::kNoCause), std::string::npos) << what << ": " << s;
            if (!checked || std::string(what) == "OneChSam") {
                EXPECT_NE(s.find("PreSamp"), std::string::npos) << what << (checked ? " after Checkcard: " : ": ") << s;
            }
        }
}

}  // namespace
}  // namespace kelmo::test
