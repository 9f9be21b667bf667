// The recording input against a fake mixer: the sound-card check's search
// for the chosen source line, its messages, the gain from the volume, and
// the volume control object itself.
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "sources/sound/caps.h"
#include "sources/sound/state.h"
#include "fixture.h"
#include "sources/sound/input_dialog.h"
#include "sources/sound/input_volume.h"

namespace kelmo::test {
namespace {

using sound::InputVolumeControl;

class InputVolume : public FakeTest {
protected:
    InputVolume() { fake.shm_create_or_open("USB_samp", 1024, nullptr); }
    int check(std::string* text) {
        char t[131];
        std::memset(t, 'x', sizeof t);
        int status = -1;
        const int r = Checkcard(800, t, &status);
        EXPECT_EQ(status, 0);
        *text = t;
        return r;
    }
    void set_input_type(const std::string& v) { fake.textSettings["software\\KELMO\\vort\\settings|InputType"] = v; }
    // Nothing of the mixer or the capture device is left open.
    void expect_released() {
        EXPECT_EQ(fake.mixer.open, 0);
        EXPECT_FALSE(fake.sound.open);
        EXPECT_EQ(sound::currentInputVolume, nullptr);
    }
};

// The volume of the chosen line becomes the gain: full volume 1.0, half
// volume four steps of 1.5 dB, nothing at all 71 steps, and never more
// steps than the control has.
TEST_F(InputVolume, GainFromTheChosenLinesVolume) {
    std::string text;
    fake.mixer.sources[0].value = {32767, 32767};
    fake.mixer.sources[1].value = {65535, 65535};
    ASSERT_EQ(check(&text), 1);
    EXPECT_EQ(text, "");
    EXPECT_DOUBLE_EQ(sound::process_state().inputGain, std::pow(10.0, 0.3));
    // The microphone (the first line) was made the recording source.
    EXPECT_EQ(fake.mixer.muxValues, (std::vector<uint32_t>{1, 0}));
    expect_released();

    set_input_type(" +1 trailing");  // line in
    ASSERT_EQ(check(&text), 1);
    EXPECT_DOUBLE_EQ(sound::process_state().inputGain, 1.0);
    EXPECT_EQ(fake.mixer.muxValues, (std::vector<uint32_t>{0, 1}));

    set_input_type("0");
    fake.mixer.sources[0].value = {0, 0};
    ASSERT_EQ(check(&text), 1);
    EXPECT_DOUBLE_EQ(sound::process_state().inputGain, std::pow(10.0, 71 * 0.075));
    fake.mixer.sources[0].steps = 32;
    ASSERT_EQ(check(&text), 1);
    EXPECT_DOUBLE_EQ(sound::process_state().inputGain, std::pow(10.0, 32 * 0.075));
    for (uint32_t v : {65535u, 60000u, 1000u, 1u})
        EXPECT_NEAR(sound::input_gain(v, 65535), std::pow(10.0, 0.075 * std::trunc(13.333333333333332 * std::log10(65535.0 / (v + 0.3)) + 0.5)), 1e-9) << v;
    // Louder than full scale never attenuates (n < 0 taken as unsigned is the step count).
    EXPECT_DOUBLE_EQ(sound::input_gain(0xFFFFFFFE, 10), std::pow(10.0, 0.75));
}

// An input type that is a raw component type searches for that type; when
// no line matches, or the line has no usable volume, the message box says
// so, the check still succeeds and the samples stay unscaled.
TEST_F(InputVolume, NoUsableLine) {
    std::string text;
    set_input_type("4100");
    fake.mixer.sources.push_back({0x1004});
    sound::process_state().inputGain = 3.0;
    ASSERT_EQ(check(&text), 1);
    EXPECT_TRUE(fake.messages.empty());
    EXPECT_EQ(fake.mixer.muxValues, (std::vector<uint32_t>{0, 0, 1}));

    set_input_type("4101");
    ASSERT_EQ(check(&text), 1);
    EXPECT_EQ(text, "");
    EXPECT_EQ(fake.messages, std::vector<std::string>{"\xB2\xBB\xBF\xC9\xB5\xF7\xBD\xDA Microphone \xB5\xC4\xD2\xF4\xC1\xBF"});
    EXPECT_DOUBLE_EQ(sound::process_state().inputGain, 1.0);
    expect_released();

    fake.messages.clear();
    set_input_type("1");
    fake.mixer.sources[1].flags = platform::kMixerControlDisabled;
    ASSERT_EQ(check(&text), 1);
    EXPECT_EQ(fake.messages.size(), 1u);
    EXPECT_EQ(fake.mixer.muxValues, (std::vector<uint32_t>{0, 1, 0}));  // bound, so still selected
    fake.messages.clear();
    fake.mixer.sources[1].volume = false;
    ASSERT_EQ(check(&text), 1);
    EXPECT_EQ(fake.messages.size(), 1u);
    expect_released();
}

// Every failing step of the search has its message with the system's code;
// the gain stays what it was and everything is released.
TEST_F(InputVolume, EveryFailingStepSaysWhy) {
    struct Case {
        std::function<void(platform::FakePlatform&)> fail;
        const char* text;
    };
    const std::vector<Case> cases = {
        {[](auto& f) { f.sound.openResult = 4; }, ".InputXxxVolume: FAILURE: Could not open WaveIn Mapper. mmResult=4\n"},
        {[](auto& f) { f.mixer.idResult = 5; },
         ".InputXxxVolume: FAILURE: WaveIn Mapper in Mixer is not available. mmResult=5\n"},
        {[](auto& f) { f.mixer.openResult = 2; }, ".InputXxxVolume: FAILURE: Could not open Mixer. mmResult=2\n"},
        {[](auto& f) { f.mixer.destinationResult = 1024; },
         ".InputXxxVolume: FAILURE: Could not get WaveIn Destionation Line for the requested source while "
         "enumerating. mmResult=1024\n"},
        {[](auto& f) { f.mixer.sources[0].lineResult = 11; },
         ".InputXxxVolume: FAILURE: Could not get the interated Source Line while enumerating. mmResult=11\n"},
    };
    for (const Case& c : cases) {
        platform::FakePlatform::MixerFake freshMixer;
        fake.mixer = freshMixer;
        fake.sound.openResult = 0;
        c.fail(fake);
        sound::process_state().inputGain = 0.25;
        std::string text;
        EXPECT_EQ(check(&text), 0) << c.text;
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(sound::process_state().inputGain, 0.25);
        expect_released();
    }
    // A source line after the matching one is never asked for.
    platform::FakePlatform::MixerFake freshMixer;
    fake.mixer = freshMixer;
    fake.mixer.sources[1].lineResult = 11;
    std::string text;
    EXPECT_EQ(check(&text), 1);
}

// The object: bounds, SetValue inside them only, every channel written,
// notifications for its own control, and an unbound object answering -1.
TEST_F(InputVolume, TheControlObject) {
    fake.mixer.sources[1].minimum = 100;
    fake.mixer.sources[1].maximum = 60000;
    fake.mixer.sources[1].steps = 64;
    {
        InputVolumeControl line(1);
        ASSERT_TRUE(line.IsAvailable());
        EXPECT_EQ(sound::currentInputVolume, &line);
        EXPECT_EQ(line.GetMinimum(), 100u);
        EXPECT_EQ(line.GetMaximum(), 60000u);
        EXPECT_EQ(line.GetSteps(), 64u);
        line.SetValue(60001);
        line.SetValue(99);
        EXPECT_EQ(fake.mixer.sources[1].value, (std::vector<uint32_t>{65535, 65535}));
        line.SetValue(4000);
        EXPECT_EQ(fake.mixer.sources[1].value, (std::vector<uint32_t>{4000, 4000}));
        EXPECT_EQ(line.GetValue(), 4000u);

        static std::vector<std::pair<uint32_t, uint32_t>> heard;
        heard.clear();
        line.SetNotify([](uint32_t v, uint32_t user) { heard.emplace_back(v, user); }, 77);
        fake.mixer.notify(0x100);  // another line's volume
        fake.mixer.notify(0x101);
        EXPECT_EQ(heard, (std::vector<std::pair<uint32_t, uint32_t>>{{4000, 77}}));
        fake.mixer.fail["get"] = 1;
        EXPECT_EQ(line.GetValue(), 0xFFFFFFFFu);
        fake.mixer.notify(0x101);
        EXPECT_EQ(heard.size(), 1u);
    }
    expect_released();

    for (uint32_t index : {2u, 0xFFFFFFFFu}) {
        InputVolumeControl none(index);
        EXPECT_FALSE(none.IsAvailable());
        EXPECT_EQ(none.GetValue(), 0xFFFFFFFFu);
        EXPECT_EQ(none.GetSteps(), 0xFFFFFFFFu);
        EXPECT_EQ(sound::currentInputVolume, nullptr);  // binding failed: closed again
        EXPECT_EQ(fake.mixer.open, 0);
        none.SelectAsRecordingSource();
    }
    fake.mixer.count = 0;
    EXPECT_FALSE(InputVolumeControl(0).IsAvailable());
    EXPECT_EQ(fake.mixer.opens, 3);
}

// The recording source: a multiple-item control gets one item set per
// channel, a uniform one a single channel, a plain switch all ones.
TEST_F(InputVolume, SelectingTheRecordingSource) {
    fake.mixer.muxFlags = platform::kMixerControlMultiple;  // per channel
    InputVolumeControl(1).SelectAsRecordingSource();
    EXPECT_EQ(fake.mixer.muxValues, (std::vector<uint32_t>{0, 1, 0, 1}));
    fake.mixer.muxFlags = 0;
    InputVolumeControl(1).SelectAsRecordingSource();
    EXPECT_EQ(fake.mixer.muxValues, (std::vector<uint32_t>{1, 1}));
    fake.mixer.fail["controls"] = 1;
    fake.mixer.muxValues.clear();
    InputVolumeControl(1).SelectAsRecordingSource();
    EXPECT_TRUE(fake.mixer.muxValues.empty());
    expect_released();
}

// The dialog: it opens on the stored input, a radio click selects that
// input and shows its volume (a minimum of 0 shown as 1), Done selects and
// sets it and stores the choice; Cancel keeps the stored choice although
// the click already switched the input.
TEST_F(InputVolume, RecordingInputDialog) {
    const std::string stored = "software\\KELMO\\vort\\settings|InputType";
    fake.mixer.sources[1].value = {20000, 20000};
    int opened = -1;
    std::vector<uint32_t> slider(3);
    fake.dialog = [&](platform::SoundInputDialogModel& m) {
        opened = m.radio();
        EXPECT_TRUE(m.refresh(m.radio(), &slider[0], &slider[1], &slider[2]));
        EXPECT_EQ(fake.mixer.muxValues, (std::vector<uint32_t>{1, 0}));
        EXPECT_TRUE(m.refresh(1, &slider[0], &slider[1], &slider[2]));  // line in clicked
        EXPECT_EQ(fake.mixer.muxValues, (std::vector<uint32_t>{0, 1}));
        m.done(1, 30000);
        return 1;
    };
    SetSoundWaveIn();
    EXPECT_EQ(opened, 0);  // nothing stored yet: the microphone
    EXPECT_EQ(slider, (std::vector<uint32_t>{1, 65535, 20000}));
    EXPECT_EQ(fake.mixer.sources[1].value, (std::vector<uint32_t>{30000, 30000}));
    EXPECT_EQ(fake.textSettings[stored], "1");
    expect_released();

    fake.dialog = [&](platform::SoundInputDialogModel& m) {
        opened = m.radio();
        EXPECT_TRUE(m.refresh(0, &slider[0], &slider[1], &slider[2]));
        return 2;
    };
    SetSoundWaveIn();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(fake.textSettings[stored], "1");
    EXPECT_EQ(fake.mixer.muxValues, (std::vector<uint32_t>{1, 0}));

    // No microphone line: the click says so and leaves the slider alone.
    fake.mixer.sources[0].component = platform::kMixerSourceAuxiliary;
    fake.dialog = [&](platform::SoundInputDialogModel& m) {
        EXPECT_FALSE(m.refresh(0, &slider[0], &slider[1], &slider[2]));
        m.done(0, 100);
        return 1;
    };
    SetSoundWaveIn();
    EXPECT_EQ(fake.messages.size(), 2u);  // the click and Done
    EXPECT_EQ(fake.textSettings[stored], "0");

    fake.settingWriteFails = true;
    SetSoundWaveIn();
    EXPECT_EQ(fake.messages.back(), "Write Value Error!");

    // Where no dialog can be shown the console says so and nothing is stored.
    fake.settingWriteFails = false;
    fake.textSettings[stored] = "4100";
    fake.dialog = nullptr;
    fake.consoleLines.clear();
    SetSoundWaveIn();
    EXPECT_EQ(fake.consoleLines,
              std::vector<std::string>{"SetSoundWaveIn: the recording-input dialog cannot be shown (the fake shows no "
                                       "dialog); InputType stays 4100\n"});
    EXPECT_EQ(fake.textSettings[stored], "4100");
    expect_released();
}

}  // namespace
}  // namespace kelmo::test
