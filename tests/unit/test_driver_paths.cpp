// The driver path of the acquisition families against a scripted device:
// the request records, what is delivered from the raw block, and the
// device's lifetime on every path.
#include <cstring>
#include <vector>

#include "fixture.h"
#include "sources/driver/device.h"

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
        EXPECT_EQ(r.outSize, uint32_t(channels * mult * len * 2));
        EXPECT_EQ(r.record.gainCode, (type == 602) ? 17 : (type == 653 ? 2 : 1)) << type;
        // What the conversion gives for the same words: the transfer, then
        // zeros where a 32-bit format reads beyond it.
        std::vector<unsigned char> raw(channels * len * 4, 0);
        for (uint32_t i = 0; i < r.outSize; ++i) raw[i] = static_cast<unsigned char>(i * 7 + 3);
        std::vector<double> expected(channels * len, -1e9);
        int mx = 0, mn = 0;
        convert(type, expected.data(), raw.data(), channels * len, 1, &mx, &mn);
        if (mult == 1) {
            for (int i : {0, 1, len, channels * len - 1}) EXPECT_EQ(out[i], expected[i]) << type << " " << i;
        }
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

}  // namespace
}  // namespace kelmo::test
