// GetADParameter, GetADParameterEx, SetChannelOK, GetCardWordType and the
// fixed answers.
#include <cstring>
#include <vector>

#include "sources/sound/caps.h"
#include "sources/sound/state.h"
#include "core/catalogue.h"
#include "fixture.h"

namespace kelmo::test {
namespace {

// Everything GetADParameter reports, prefilled with markers so that a
// skipped output shows.
struct AdParams {
    int channels = -7, gainCount = -7, freqCount = -7, aux = -7, fullScale = -7;
    double gains[10], high = -7, low = -7;
    int freqs[27];
    AdParams() {
        for (double& g : gains) g = -7;
        for (int& f : freqs) f = -7;
    }
    std::vector<double> gainList() const { return {gains, gains + (gainCount < 0 ? 0 : gainCount)}; }
    std::vector<int> freqList() const { return {freqs, freqs + (freqCount < 0 ? 0 : freqCount)}; }
    bool untouchedApartFromChannels() const {
        return gainCount == -7 && freqCount == -7 && aux == -7 && fullScale == -7 && high == -7 && low == -7 &&
               gains[0] == -7 && freqs[0] == -7;
    }
};

AdParams ask(int code) {
    AdParams p;
    GetADParameter(code, &p.channels, p.gains, &p.gainCount, p.freqs, &p.freqCount, &p.aux, &p.high, &p.low,
                   &p.fullScale);
    return p;
}

using Catalogue = FakeTest;

TEST_F(Catalogue, FixedRows) {
    AdParams p = ask(720);
    EXPECT_EQ(p.channels, 4);
    EXPECT_EQ(p.gainList(), std::vector<double>{1});
    EXPECT_EQ(p.freqList(), (std::vector<int>{20000000, 10000000, 5000000, 2000000, 1000000, 5000000, 2000000,
                                              1000000, 500000, 200000, 100000, 50000, 20000, 10000, 5000, 2000,
                                              1000}));
    EXPECT_EQ(p.high, 20000000.0);
    EXPECT_EQ(p.fullScale, 1000);

    p = ask(124);
    EXPECT_EQ(p.gainList(), (std::vector<double>{1, 2, 4, 8, 16, 32, 64, 128, 256}));
    EXPECT_EQ(p.freqCount, 27);
    EXPECT_EQ(p.freqs[26], 1);
    EXPECT_EQ(p.aux, 50800);

    p = ask(886);
    EXPECT_EQ(p.channels, 1);
    EXPECT_EQ(p.gainList(), (std::vector<double>{0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100}));
    EXPECT_EQ(p.freqCount, 9);
    EXPECT_EQ(p.aux, 800);
    // Every row's counts and limits, and the codes outside the catalogue,
    // are swept in the card type tests; here the lists themselves.
    // Every pointer null: only the status block appears, and it stays.
    GetADParameter(802, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_TRUE(fake.exists("USB_samp"));
    EXPECT_TRUE(fake.messages.empty());
}

TEST_F(Catalogue, CodesAbove830ReportThirtyTwoChannels) {
    AdParams p = ask(832);
    EXPECT_EQ(p.channels, 32);
    EXPECT_EQ(p.freqList(), (std::vector<int>{200000, 100000, 50000, 20000, 10000, 5000, 2000, 1000, 500, 200, 100}));
    EXPECT_EQ(p.high, 102400.0);
    EXPECT_EQ(p.low, 2.8609375);
    EXPECT_EQ(p.fullScale, 10000);

    p = ask(836);
    EXPECT_EQ(p.channels, 32);
    EXPECT_EQ(p.fullScale, 5000);

    p = ask(850);  // 820 is not catalogued
    EXPECT_EQ(p.channels, 32);
    EXPECT_TRUE(p.untouchedApartFromChannels());
}

TEST_F(Catalogue, ClockFlagChoosesTheFrequencyList) {
    EXPECT_EQ(ask(638).freqs[0], 1000000);  // fresh block: word 2 is 0
    ASSERT_TRUE(fake.exists("USB_samp"));
    fake.set_word("USB_samp", 2, -1);
    for (int code : {638, 648, 658, 668, 678, 679, 688, 698, 699, 728, 729}) {
        AdParams p = ask(code);
        EXPECT_EQ(p.freqCount, 12) << code;
        EXPECT_EQ(p.freqs[0], 204800) << code;
        EXPECT_EQ(p.freqs[11], 64) << code;
    }
    EXPECT_EQ(ask(669).freqs[0], 1000000);  // always the 1 MHz list
    fake.set_word("USB_samp", 2, 1);
    AdParams p = ask(729);
    EXPECT_EQ(p.freqCount, 12);
    EXPECT_EQ(p.freqs[0], 1000000);
    EXPECT_EQ(p.freqs[11], 200);
}

TEST_F(Catalogue, SoundCard) {
    fake.sound.capsResult = 2;  // no capture device to ask
    AdParams p = ask(800);
    ASSERT_EQ(fake.messages.size(), 1u);
    EXPECT_EQ(fake.messages[0], "waveInGetDevCaps error!");
    EXPECT_EQ(p.channels, 1);
    EXPECT_EQ(p.high, 11025.0);
    EXPECT_EQ(p.low, 8000.0);
    EXPECT_EQ(p.aux, 2);
    EXPECT_EQ(p.fullScale, 0);  // no presence check yet
    EXPECT_EQ(p.freqList(), (std::vector<int>{44100, 22050, 11025, 8000}));
    EXPECT_EQ(p.gainList(), std::vector<double>{1});

    sound::process_state().inputGain = 1.9952623149688795;  // volume 32767: 10^0.3
    EXPECT_EQ(ask(800).fullScale, 279);
    GetADParameter(800, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(fake.messages.size(), 3u);

    // What a device's standard format flags give.
    using sound::sound_caps;
    EXPECT_EQ(sound_caps(0x1 | 0x2).highFreq, 11025.0);
    EXPECT_EQ(sound_caps(0x1 | 0x2).channels, 2);
    EXPECT_EQ(sound_caps(0x400 | 0x20).highFreq, 44100.0);
    EXPECT_EQ(sound_caps(0x400 | 0x20).channels, 1);
    EXPECT_EQ(sound_caps(0xFFF).channels, 2);
    EXPECT_EQ(sound_caps(0).highFreq, 11025.0);
}

TEST_F(Catalogue, RecordOfTheEx) {
    AdParamRecord rec;
    std::memset(&rec, 0xAB, sizeof rec);
    EXPECT_EQ(GetADParameterEx(802, &rec, nullptr, nullptr), 0);
    EXPECT_EQ(rec.flagA, 1);
    for (int f : rec.flagsB) EXPECT_EQ(f, 0);
    EXPECT_EQ(rec.bytesPerSample, 2);
    EXPECT_EQ(rec.reservedZero, 0);
    EXPECT_EQ(rec.channelCount, static_cast<int32_t>(0xABABABAB));
    EXPECT_TRUE(fake.exists("USB_samp"));

    double gains[10] = {}, gainsOut[10] = {}, freqsOut[27] = {};
    int freqs[27] = {};
    std::memset(&rec, 0xAB, sizeof rec);
    rec.gainsOut = gainsOut;
    rec.freqsOut = freqsOut;
    EXPECT_EQ(GetADParameterEx(124, &rec, gains, freqs), 1);
    EXPECT_EQ(rec.channelCount, 32);
    EXPECT_EQ(rec.gainCount, 9);
    EXPECT_EQ(rec.freqCount, 27);
    EXPECT_EQ(rec.auxCode, 0);  // unlike GetADParameter's 50800
    for (int f : rec.flagsB) EXPECT_EQ(f, 1);
    EXPECT_EQ(rec.bytesPerSample, 4);
    EXPECT_EQ(rec.highFreq, 4.096e13);
    EXPECT_EQ(rec.lowFreq, 0.001);
    EXPECT_EQ(rec.fullScale, 5000);
    EXPECT_EQ(gains[8], 256.0);
    EXPECT_EQ(gainsOut[8], 256.0);
    EXPECT_EQ(freqs[0], 400000000);
    EXPECT_EQ(freqsOut[26], 1.0);
    // The gap and the caller's area are never written.
    EXPECT_EQ(rec.gap52, static_cast<int32_t>(0xABABABAB));
    for (uint8_t b : rec.callerArea) ASSERT_EQ(b, 0xAB);

    EXPECT_EQ(GetADParameterEx(123, &rec, nullptr, nullptr), 1);
    EXPECT_EQ(rec.bytesPerSample, 2);

    sound::process_state().inputGain = 1.0;
    rec.gainsOut = nullptr;
    rec.freqsOut = freqsOut;
    EXPECT_EQ(GetADParameterEx(800, &rec, nullptr, nullptr), 1);
    EXPECT_EQ(rec.channelCount, 2);
    EXPECT_EQ(rec.freqCount, 4);
    EXPECT_EQ(rec.flagA, 0);
    for (int f : rec.flagsB) EXPECT_EQ(f, 0);
    EXPECT_EQ(rec.highFreq, 44100.0);
    EXPECT_EQ(rec.lowFreq, 8000.0);
    EXPECT_EQ(rec.fullScale, 140);
    EXPECT_EQ(freqsOut[3], 8000.0);
    EXPECT_TRUE(fake.messages.empty());  // no device query here

    EXPECT_EQ(GetADParameterEx(123, nullptr, gains, freqs), 0);
}

TEST_F(Catalogue, FixedAnswers) {
    // SetChannelOK and GetCardWordType of every code: the card type tests.
    GetCardWordType(124, nullptr);

    EXPECT_EQ(SearchNumberOfChannel(886, 32), 1);
    EXPECT_EQ(ReadBoxChannel(886, 1, 2.5, nullptr), 1);
    EXPECT_EQ(SetBox(-886), 0);
    EXPECT_EQ(SetBoxChannel(885, 0), 0);

    for (auto fn : {OpenDeviceDA, CloseDeviceDA, DI_R_Line, DI_R_Port, DO_R_Line, DO_R_Port, DO_W_Line, DO_W_Port,
                    GetROUND, StressSet, BoxChannelAutoZero, TriMulChSamW})
        EXPECT_EQ(fn(), 0);
    RecoverDA();
    InitROUND();
    InitROUND1();
}

}  // namespace
}  // namespace kelmo::test
