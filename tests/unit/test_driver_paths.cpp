// The driver path of the acquisition families against a scripted device:
// the request records, what is delivered from the raw block, and the
// device's lifetime on every path.
#include <cstring>
#include <vector>

#include "fixture.h"
#include "sources/driver/device.h"
#include "sources/sound/state.h"

namespace kelmo::test {
namespace {

class DriverPaths : public FakeTest {
protected:
    DriverPaths() {
        block_ = fake.shm_create_or_open("USB_samp", 1024, nullptr);
        block_->set_word(0, 1);
        fake.deviceMissing = false;
        // The device fills every output byte with a pattern of its index.
        fake.handler = [this](uint32_t, const platform::RequestRecord&, void* out, uint32_t size, uint32_t* status) {
            auto* b = static_cast<unsigned char*>(out);
            for (uint32_t i = 0; i < size; ++i) b[i] = static_cast<unsigned char>(i * 7 + 3);
            if (status) *status = 0;
            return accept_;
        };
    }
    platform::SharedMemoryPtr block_;
    bool accept_ = true;
};

// Every raw format, several channels: the values are the conversion of
// the words the device delivered, and nothing is read beyond the call's
// scratch (AddressSanitizer watches the fake's pages).
TEST_F(DriverPaths, MultiChannelBlockOfEveryRawFormat) {
    const int types[] = {602, 618, 638, 653, 688, 706, 712, 718, 720, 721, 728, 802, 861, 880, 890, 891, 892};
    const int channels = 4, len = 1024;
    for (int type : types) {
        fake.requests.clear();
        std::vector<double> out(channels * len, -1e9);
        ASSERT_EQ(MulChSam(type, 0x10005, len, 2, channels, out.data()), 1) << type;
        ASSERT_EQ(fake.requests.size(), 1u);
        const auto& r = fake.requests[0];
        EXPECT_EQ(r.code, 0x22200Bu);
        EXPECT_EQ(r.record.cardType, type);
        EXPECT_EQ(r.record.divider, 5);  // the low 16 bits
        const int mult = type == 721 ? 2 : 1;  // 721 .. 724 deliver two raw samples per sample
        EXPECT_EQ(r.record.samples, mult * len);
        EXPECT_EQ(r.record.channel, channels);
        // The transfer is of the card type's words: 4 bytes for the 32-bit formats.
        const int width = (type == 890 || type == 891 || type == 892) ? 4 : 2;
        EXPECT_EQ(r.outSize, uint32_t(channels * mult * len * width)) << type;
        EXPECT_EQ(r.record.gainCode, (type == 602) ? 17 : (type == 653 ? 2 : 1)) << type;
        // What the conversion gives for the same words.
        std::vector<unsigned char> raw(r.outSize, 0);
        for (uint32_t i = 0; i < r.outSize; ++i) raw[i] = static_cast<unsigned char>(i * 7 + 3);
        std::vector<double> expected(channels * len, -1e9);
        int mx = 0, mn = 0;
        convert(type, expected.data(), raw.data(), channels * len, 1, &mx, &mn);
        // With mult 2 the first half of the transfer is converted, in order.
        for (int i : {0, 1, len, channels * len - 1}) EXPECT_EQ(out[i], expected[i]) << type << " " << i;
        EXPECT_EQ(fake.openDevices, 0);
    }
    EXPECT_TRUE(fake.livePages.empty());
    // 64 channels of 65536 samples of a 32-bit format.
    std::vector<double> big(64 * 65536);
    const std::vector<double> gains(64, 1.0);
    const int first = 0;
    EXPECT_EQ(MulChSamEx(890, 10, 65536, 1, 64, big.data(), gains.data(), &first), 1);
}

// The second unit: negative codes use "USB_samp2" and its mode word.
TEST_F(DriverPaths, SecondUnitUsesItsOwnBlock) {
    std::vector<double> out(8);
    EXPECT_EQ(OneChSam(-602, 10, 8, 1, 1, out.data()), 0);  // no "USB_samp2" yet
    EXPECT_TRUE(fake.requests.empty());
    auto second = fake.shm_create_or_open("USB_samp2", 1024, nullptr);
    second->set_word(0, -1);  // 32-fold mode on the second unit only
    ASSERT_EQ(OneChSam(-602, 10, 8, 1, 2, out.data()), 1);
    EXPECT_EQ(fake.requests.back().record.samples, 8 * 32);
    EXPECT_EQ(fake.requests.back().record.channel, -1);
    EXPECT_EQ(fake.requests.back().record.cardType, 602);
    ASSERT_EQ(OneChSam(602, 10, 8, 1, 2, out.data()), 1);
    EXPECT_EQ(fake.requests.back().record.samples, 8);
    EXPECT_EQ(fake.requests.back().record.channel, 1);
}

// Continuous start on a card: the start request, word 12, and a device
// that stays open until recover, also when the start was refused.
TEST_F(DriverPaths, ContinuousStartAndRecover) {
    uint32_t handle = 0;
    block_->set_word(12, 77);
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 718, 0x12345, 4, 0x0203, 2048), 1);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(fake.openDevices, 1);
    auto r = fake.requests.back();
    EXPECT_EQ(r.code, 0x222013u);
    EXPECT_EQ(r.record.divider, 0x12345);  // all 32 bits
    EXPECT_EQ(r.record.samples, 2048);
    EXPECT_EQ(r.record.gainCode, 2);
    EXPECT_EQ(r.record.channel, 3);
    EXPECT_EQ(r.outSize, 0u);
    EXPECT_EQ(block_->word(12), 0);
    recover(&handle, 718);
    EXPECT_EQ(fake.requests.back().code, 0x222013u);  // no stop request for 718
    EXPECT_EQ(fake.openDevices, 0);

    // 602 with a single channel: word 12 carries it; the refused start keeps
    // the device for recover, which sends the stop request.
    accept_ = false;
    handle = 0;
    EXPECT_EQ(Set_dbl_MulChSam(&handle, 602, 100, 1, -1, 1024), 0);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(block_->word(12), 1);
    EXPECT_EQ(fake.requests.back().record.channel, 1);
    EXPECT_EQ(fake.openDevices, 1);
    recover(&handle, 602);
    EXPECT_EQ(fake.requests.back().code, 0x222463u);
    EXPECT_EQ(fake.openDevices, 0);
    // Ex variant for 602: one gain code per nibble, channel field = count.
    accept_ = true;
    const double gains[2] = {4.0, 8.0};
    const int first = 0;
    ASSERT_EQ(Set_dbl_MulChSamEx(&handle, 602, 100, 1, 2, 1024, gains, &first), 1);
    EXPECT_EQ(fake.requests.back().record.gainCode, 3 * 16 + 2);
    EXPECT_EQ(fake.requests.back().record.channel, 2);
    recover(&handle, 602);
    // A handle word that names no session: the close failure is printed.
    handle = 12345;
    recover(&handle, 718);
    ASSERT_FALSE(fake.consoleLines.empty());
    EXPECT_EQ(fake.consoleLines.back(), "Failed on call to CloseHandle - error: 6\n");
    EXPECT_EQ(fake.openDevices, 0);
}

// A block of more samples over all channels than a request can count is
// refused before anything is allocated or asked of the device.
TEST_F(DriverPaths, BlocksBeyondWhatARequestCountsAreRefused) {
    std::vector<double> out(16, -1.0);
    const double gains[32] = {1};
    const int first = 0;
    EXPECT_EQ(MulChSamEx(891, 5, 65536, 1, 65536, out.data(), gains, &first), 0);
    EXPECT_EQ(MulChSamEx(602, 5, INT32_MAX, 1, INT32_MAX, out.data(), gains, &first), 0);
    EXPECT_TRUE(fake.requests.empty());
    EXPECT_EQ(out, std::vector<double>(16, -1.0));
}

// The sound card's Ex variants are the driver's: they send their requests
// with the sound card's code, and its conversion (at the input gain).
TEST_F(DriverPaths, SoundCardExVariantsGoToTheDevice) {
    sound::process_state().inputGain = 2.0;
    const double gains[2] = {1.0, 1.0};
    const int first = 0;
    std::vector<double> out(2 * 16, -1e9);
    ASSERT_EQ(MulChSamEx(800, 8, 16, 1, 2, out.data(), gains, &first), 1);
    ASSERT_EQ(fake.requests.size(), 1u);
    EXPECT_EQ(fake.requests[0].code, 0x22200Bu);
    EXPECT_EQ(fake.requests[0].record.cardType, 800);
    std::vector<unsigned char> raw(fake.requests[0].outSize);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<unsigned char>(i * 7 + 3);
    std::vector<double> expected(2 * 16);
    convert(800, expected.data(), raw.data(), 2 * 16, 1, nullptr, nullptr);
    EXPECT_EQ(out, expected);
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSamEx(&handle, 800, 8, 1, 2, 1024, gains, &first), 1);
    EXPECT_EQ(fake.requests.back().code, 0x222013u);
    EXPECT_EQ(fake.openDevices, 1);
    recover(&handle, 800);
}

// A device that stops answering: the request is bounded by the block's real
// time plus the margin, and the failure names the cause.
TEST_F(DriverPaths, RequestsAreBoundedAndTheCauseIsNamed) {
    std::vector<double> out(10000);
    ASSERT_EQ(OneChSam(638, 100, 10000, 1, 1, out.data()), 1);
    // 638: 10 MHz / 100 = 100 kHz, so 10000 samples take 100 ms.
    EXPECT_EQ(fake.requests.back().timeoutMs, 5100u);
    accept_ = false;
    fake.transportFailure = "no reply within the time-out";
    EXPECT_EQ(OneChSam(638, 100, 10000, 1, 1, out.data()), 0);
    ASSERT_FALSE(fake.consoleLines.empty());
    EXPECT_EQ(fake.consoleLines.back(),
              "Request to device ZEB1 (code 0x222007) failed: no reply within the time-out (time-out 5100 ms)\n");
    EXPECT_EQ(fake.openDevices, 0);
    // A divider of 0 or a type without a clock formula still gets a bound.
    EXPECT_EQ(driver::request_timeout_ms(0x222007, platform::RequestRecord{999, 0, 1000, 0, {}, 1, 0, 0, {}}, 0), 5001u);
}

// A device whose continuous fetch delivers word c x 1000 + i at position i
// of channel c's run, and status 7.
class DriverFetch : public DriverPaths {
protected:
    DriverFetch() {
        fake.handler = [this](uint32_t code, const platform::RequestRecord& r, void* out, uint32_t size,
                              uint32_t* status) {
            if (code == 0x222017) {
                const int n = r.channel <= 0 ? 1 : r.channel;
                for (int c = 0; c < n; ++c)
                    for (int i = 0; i < r.samples; ++i) {
                        const int32_t v = c * 1000 + i;
                        const std::size_t at = (std::size_t(c) * r.samples + i) * width_;
                        if (at + width_ <= size) std::memcpy(static_cast<char*>(out) + at, &v, width_);
                    }
                if (status) *status = 7;
            }
            return accept_;
        };
    }
    uint32_t start(int type, int channels) {
        uint32_t handle = 0;
        EXPECT_EQ(Set_dbl_MulChSam(&handle, type, 100, 1, channels, 1024), 1) << type;
        return handle;
    }
    std::size_t width_ = 2;
};

TEST_F(DriverFetch, ValuesWordsAndLayout) {
    uint32_t handle = start(638, 3);
    std::vector<double> out(40, -1.0);
    int status = -1;
    ASSERT_EQ(get_dbl_data(&handle, 638, 8, 3, out.data(), 12, 2, &status), 1);
    const auto& r = fake.requests.back();
    EXPECT_EQ(r.code, 0x222017u);
    EXPECT_EQ(r.record.cardType, 638);
    EXPECT_EQ(r.record.samples, 8);
    EXPECT_EQ(r.record.channel, 3);
    // The record holds the status word's address where it fits in its 32
    // bits; a word above 4 GiB is stood in for by a low one of the library,
    // never by a truncated address.
    const auto at = reinterpret_cast<uintptr_t>(&status);
    if (at <= UINT32_MAX) {
        EXPECT_EQ(r.record.statusAddr, static_cast<uint32_t>(at));
    } else {
        ASSERT_NE(platform::current().system.low_word(), nullptr);
        EXPECT_EQ(r.record.statusAddr, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(platform::current().system.low_word())));
    }
    EXPECT_EQ(r.outSize, 3u * 8 * 2);
    EXPECT_EQ(status, 7);
    // The fields a fetch does not fill are sent as 0.
    EXPECT_EQ(r.record.divider, 0);
    EXPECT_EQ(r.record.gainCode, 0);
    EXPECT_EQ(r.record.adjustSmp, 0);
    for (uint8_t b : r.record.unused14) EXPECT_EQ(b, 0);
    for (uint8_t b : r.record.unused53) EXPECT_EQ(b, 0);
    // Signed 16-bit at +-5000: word x 5000 / 32768, channel c at 2 + 12c.
    EXPECT_EQ(out[0], -1.0);
    EXPECT_EQ(out[2], 0.0);
    EXPECT_EQ(out[2 + 7], 7 * 5000.0 / 32768);
    EXPECT_EQ(out[2 + 12 * 2 + 3], 2003 * 5000.0 / 32768);
    EXPECT_EQ(out[2 + 8], -1.0);  // between the channels' blocks

    // A mode word of 4: every 4th raw word of each channel's run.
    block_->set_word(0, 4);
    ASSERT_EQ(get_dbl_data(&handle, 638, 8, 3, out.data(), 12, 2, &status), 1);
    EXPECT_EQ(fake.requests.back().record.samples, 32);
    EXPECT_EQ(out[2 + 12 + 5], 1020 * 5000.0 / 32768);
    block_->set_word(0, 1);

    // Raw words, channel-major and interleaved.
    std::vector<uint16_t> words(40, 0xEEEE);
    ASSERT_EQ(get_dbl_dataW(&handle, 638, 4, 3, words.data(), 5, 1, &status), 1);
    EXPECT_EQ(words[0], 0xEEEE);
    EXPECT_EQ(words[1 + 5 * 2 + 3], 2003);
    ASSERT_EQ(get_dbl_dataW(&handle, 638, 4, 3, words.data(), 5, 65535, &status), 1);
    EXPECT_EQ(words[0], 0);
    EXPECT_EQ(words[1], 1000);
    EXPECT_EQ(words[3 * 3 + 2], 2003);
    recover(&handle, 638);

    // The single channel of a two-channel card goes by word 12.
    handle = start(602, -5);
    ASSERT_EQ(get_dbl_data(&handle, 602, 8, 1, out.data(), 8, 0, &status), 1);
    EXPECT_EQ(fake.requests.back().record.channel, 5);
    recover(&handle, 602);
    EXPECT_EQ(fake.openDevices, 0);
    EXPECT_TRUE(fake.livePages.empty());
}

// Every card type with a raw format converts by it; one without a format
// leaves the caller's block alone; 32-bit formats travel as 32-bit words.
TEST_F(DriverFetch, ConversionOfEveryFormat) {
    for (int type : {618, 688, 653, 706, 720, 721, 806, 863, 880, 614}) {
        uint32_t handle = start(type, 2);
        std::vector<double> out(16, -1.0);
        ASSERT_EQ(get_dbl_data(&handle, type, 8, 2, out.data(), 8, 0, nullptr), 1) << type;
        std::vector<uint16_t> raw(16);
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < 8; ++i) raw[c * 8 + i] = static_cast<uint16_t>(c * 1000 + i);
        std::vector<double> want(16, -1.0);
        int mx = 0, mn = 0;
        convert(type, want.data(), raw.data(), 16, 1, &mx, &mn);
        EXPECT_EQ(out, want) << type;
        recover(&handle, type);
    }
    width_ = 4;
    uint32_t handle = start(891, 2);
    std::vector<int32_t> words(16, -1);
    ASSERT_EQ(get_dbl_dataW(&handle, 891, 8, 2, words.data(), 8, 0, nullptr), 1);
    EXPECT_EQ(fake.requests.back().outSize, 2u * 8 * 4);
    EXPECT_EQ(words[8 + 3], 1003);
    std::vector<double> out(16);
    ASSERT_EQ(get_dbl_data(&handle, 891, 8, 2, out.data(), 8, 0, nullptr), 1);
    EXPECT_EQ(out[8 + 3], 1003 * 10000.0 / 4294967296.0);
    recover(&handle, 891);

    // A refused fetch, or a handle word that names no session: 0.
    handle = start(638, 1);
    accept_ = false;
    EXPECT_EQ(get_dbl_data(&handle, 638, 8, 1, out.data(), 8, 0, nullptr), 0);
    recover(&handle, 638);
    handle = 999;
    EXPECT_EQ(get_dbl_data(&handle, 638, 8, 1, out.data(), 8, 0, nullptr), 0);
    EXPECT_EQ(fake.openDevices, 0);
    EXPECT_TRUE(fake.livePages.empty());
}

// "AdjustSmp" of the user's settings goes into byte 52 of the block and
// start requests, read afresh every time.
TEST_F(DriverPaths, AdjustFlagFromTheUserSettings) {
    std::vector<double> out(64);
    auto flag_of_block = [&] {
        EXPECT_EQ(MulChSam(638, 100, 16, 1, 2, out.data()), 1);
        return fake.requests.back().record.adjustSmp;
    };
    EXPECT_EQ(flag_of_block(), 0);
    fake.settings["software\\KELMO\\Common|AdjustSmp"] = 0x100;
    EXPECT_EQ(flag_of_block(), 1);
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 638, 100, 1, 2, 1024), 1);
    EXPECT_EQ(fake.requests.back().record.adjustSmp, 1);
    recover(&handle, 638);
    ASSERT_EQ(OneChSam(638, 100, 16, 1, 1, out.data()), 1);
    EXPECT_EQ(fake.requests.back().record.adjustSmp, 0);  // single-channel blocks do not carry it
    fake.settings["software\\KELMO\\Common|AdjustSmp"] = 0;
    EXPECT_EQ(flag_of_block(), 0);
}

TEST_F(DriverPaths, AnalogueOutputOnTheAcquisitionsHandle) {
    uint32_t handle = 0;
    ASSERT_EQ(Set_dbl_MulChSam(&handle, 678, 100, 1, 1, 1024), 1);
    std::vector<unsigned char> buffer(32768);
    ASSERT_EQ(InitialDA(&handle, 678, 65537, 250, buffer.data()), 1);
    auto r = fake.requests.back();
    EXPECT_EQ(r.code, 0x22209Bu);
    EXPECT_EQ(r.record.cardType, 678);
    EXPECT_EQ(r.record.divider, 250);
    EXPECT_EQ(r.record.samples, 0);
    EXPECT_EQ(r.record.channel, 1);  // the low 16 bits of 65537
    EXPECT_EQ(r.outSize, 32768u);
    ASSERT_EQ(SetFixDA(&handle, 698, 2, 7, buffer.data()), 1);
    EXPECT_EQ(fake.requests.back().code, 0x22209Bu);
    ASSERT_EQ(SetDAData(&handle, 699, 3, buffer.data(), 4096), 1);
    r = fake.requests.back();
    EXPECT_EQ(r.code, 0x22209Fu);
    EXPECT_EQ(r.record.divider, 0);
    EXPECT_EQ(r.record.samples, 4096);
    const std::size_t sent = fake.requests.size();
    // Other codes (exactly as passed) send nothing.
    EXPECT_EQ(SetDAData(&handle, 800, 0, buffer.data(), 1), 1);
    EXPECT_EQ(InitialDA(&handle, 800, 0, 1, buffer.data()), 0);
    EXPECT_EQ(InitialDA(&handle, -678, 0, 1, buffer.data()), 0);
    EXPECT_EQ(InitialDA(&handle, 708, 0, 1, buffer.data()), 0);
    EXPECT_EQ(fake.requests.size(), sent);
    // A refused request, and a handle word that names no device.
    accept_ = false;
    EXPECT_EQ(SetDAData(&handle, 678, 0, buffer.data(), 1), 0);
    recover(&handle, 678);
    EXPECT_EQ(InitialDA(&handle, 678, 0, 1, buffer.data()), 0);
    EXPECT_EQ(InitialDA(nullptr, 678, 0, 1, buffer.data()), 0);
    EXPECT_EQ(fake.openDevices, 0);
}

// The trigger hardware of 678/679: the port bytes, the wait for its bit,
// one fetch of pre + len + 1024 samples, and the output around the first
// sample beyond the level.
TEST_F(DriverFetch, HardwareTrigger) {
    int reads = 0;
    fake.portReader = [&](uint16_t port) -> uint8_t {
        EXPECT_EQ(port, 0x37B);
        return ++reads < 5 ? 0x4C : 0x5C;
    };
    // The fetch: word i is i, so values are i x 5000 / 32768; 3051 is
    // beyond the level at i = 30.
    fake.handler = [](uint32_t code, const platform::RequestRecord& r, void* out, uint32_t, uint32_t*) {
        if (code == 0x222017)
            for (int i = 0; i < r.samples; ++i) static_cast<int16_t*>(out)[i] = static_cast<int16_t>(i == 30 ? 20000 : i);
        return true;
    };
    // Channel 0's gain differs from the call's, and 16383 has a code of 13
    // by the plain start's rule but 14 by the Ex start's: the record tells
    // which start ran.
    const double gains[32] = {64};
    const int first = 0;
    std::vector<double> out(100, -1.0);
    const int mode = 2048 + 10;  // the slope plays no part in this mode
    ASSERT_EQ(TriMulChSamEx(mode, 0, 100.0, 678, 100, 100, 16383, 1, out.data(), gains, &first), 0);
    using PW = std::pair<uint16_t, uint8_t>;
    EXPECT_EQ(fake.portWrites, (std::vector<PW>{{0x37A, 4}, {0x37B, 0x4C}, {0x37C, 5}}));
    EXPECT_EQ(reads, 5);
    ASSERT_EQ(fake.requests.size(), 2u);  // the start (never the Ex start) and one fetch
    EXPECT_EQ(fake.requests[0].code, 0x222013u);
    EXPECT_EQ(fake.requests[0].record.gainCode, 13);
    EXPECT_EQ(fake.requests[1].record.samples, 10 + 100 + 1024);
    EXPECT_EQ(out[0], 20 * 5000.0 / 32768);  // from i - pre
    EXPECT_EQ(out[10], 20000 * 5000.0 / 32768);
    EXPECT_EQ(fake.openDevices, 0);

    // Nothing beyond the level: from index pre.
    std::fill(out.begin(), out.end(), -1.0);
    ASSERT_EQ(TriMulChSamEx(10, 0, 1e6, 678, 100, 100, 1, 1, out.data(), gains, &first), 0);
    EXPECT_EQ(out[0], 10 * 5000.0 / 32768);
    EXPECT_EQ(out[20], 20000 * 5000.0 / 32768);

    // Slope 0 takes the level's magnitude before the hardware sees it: a
    // level of -100 arms the port as +100 does and fires at i = 30, not at
    // once. (Slope 1 keeps the sign.)
    fake.portWrites.clear();
    std::fill(out.begin(), out.end(), -1.0);
    ASSERT_EQ(TriMulChSamEx(10, 0, -100.0, 678, 100, 100, 1, 1, out.data(), gains, &first), 0);
    EXPECT_EQ(fake.portWrites, (std::vector<PW>{{0x37A, 4}, {0x37B, 0x4C}, {0x37C, 5}}));
    EXPECT_EQ(out[0], 20 * 5000.0 / 32768);
    fake.portWrites.clear();
    ASSERT_EQ(TriMulChSamEx(1024 + 10, 0, -100.0, 678, 100, 100, 1, 1, out.data(), gains, &first), 0);
    EXPECT_EQ(fake.portWrites.back(), PW(0x37C, static_cast<uint8_t>(-5)));
    // Interrupted while the hardware has not fired.
    fake.portReader = [](uint16_t) -> uint8_t { return 0; };
    fake.onWait = [] { InterruptTrigSample(); };
    EXPECT_EQ(TriMulChSamEx(10, 0, 100.0, 679, 100, 100, 1, 1, out.data(), gains, &first), 1);
    fake.onWait = nullptr;
    // Ports out of reach, or more than the buffer holds: 2, and no start.
    fake.portsDenied = true;
    fake.requests.clear();
    EXPECT_EQ(TriMulChSamEx(10, 0, 100.0, 678, 100, 100, 1, 1, out.data(), gains, &first), 2);
    fake.portsDenied = false;
    std::vector<double> big(6000);
    EXPECT_EQ(TriMulChSamEx(10, 0, 100.0, 678, 100, 6000, 1, 1, big.data(), gains, &first), 2);
    EXPECT_TRUE(fake.requests.empty());
    EXPECT_EQ(fake.openDevices, 0);
    EXPECT_TRUE(fake.livePages.empty());
    EXPECT_FALSE(fake.exists("ZebTrigShareMem"));
}

}  // namespace
}  // namespace kelmo::test
