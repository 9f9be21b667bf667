// zebsim, the simulated card: its blocks, made by its own encoder, decoded
// with the library's conversion, its answers to each request, and the program itself driven
// over the raw socket protocol.
#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <span>
#include <thread>

#include "card.h"
#include "core/card_types.h"
#include "core/convert.h"
#include "platform/device_protocol.h"
#include "encoding.h"
#include "waveform.h"

namespace {

using namespace kelmo::platform;
namespace fs = std::filesystem;

std::vector<double> decode(int32_t type, const std::vector<uint8_t>& raw, std::size_t from, int n) {
    std::vector<uint8_t> copy(raw.begin() + static_cast<std::ptrdiff_t>(from), raw.end());
    std::vector<double> v(static_cast<std::size_t>(n));
    kelmo::convert_block(kelmo::cards::conversion_of(type, 1.0), v.data(), copy.data(), n, /*toEngineering=*/true, nullptr, nullptr);
    return v;
}

// ---- the signal ------------------------------------------------------------------

TEST(ZebsimSignal, EveryRawFormatCarriesChannelMajorSinesOfHalfFullScale) {
    struct {
        int32_t type;
        double fullScale;
        int bits;  // of a raw code
    } const formats[] = {{602, 5000, 16}, {618, 5000, 16}, {632, 5000, 12},  {653, 5000, 12},
                         {806, 5000, 12}, {718, 10000, 16}, {720, 1000, 16}, {880, 2000, 16},
                         {890, 5000, 24}, {891, 5000, 32},  {892, 10000, 32}};
    const zebsim::Signal sig;
    constexpr int kCount = 128;
    for (const auto& f : formats) {
        SCOPED_TRACE(f.type);
        const std::size_t width = (f.type >= 890) ? 4 : 2;
        const auto block = zebsim::raw_block(f.type, sig, 0, 3, 0, kCount, SIZE_MAX);
        ASSERT_EQ(block.size(), 3 * kCount * width);
        const double a = f.fullScale / 2, code = f.fullScale / std::ldexp(1.0, f.bits - 1) * 1.01;
        for (int c = 0; c < 3; ++c) {
            const auto v = decode(f.type, block, c * kCount * width, kCount);
            for (int s = 0; s < kCount; ++s)  // period 64 / (c + 1) samples
                ASSERT_NEAR(v[s], a * std::sin(2 * std::numbers::pi * (c + 1) * s / 64.0), code) << c << " " << s;
            EXPECT_NEAR(*std::max_element(v.begin(), v.end()), a, code);
            EXPECT_NEAR(*std::min_element(v.begin(), v.end()), -a, code);
        }
        // One channel from a later first channel is that channel's part.
        const auto third = zebsim::raw_block(f.type, sig, 2, 1, 0, kCount, SIZE_MAX);
        EXPECT_TRUE(std::equal(third.begin(), third.end(), block.begin() + 2 * kCount * width));
    }
}

TEST(ZebsimSignal, ContinuesFromAStartIndexAndCutsToTheOutputSize) {
    zebsim::Signal sig;
    ASSERT_EQ(sig.set("1:0.013:700"), "");  // no short period that would hide a wrong start
    const auto whole = zebsim::raw_block(892, sig, 0, 2, 0, 300, SIZE_MAX);
    const auto later = zebsim::raw_block(892, sig, 0, 2, 100, 200, SIZE_MAX);
    for (int c = 0; c < 2; ++c)
        EXPECT_TRUE(std::equal(later.begin() + c * 800, later.begin() + (c + 1) * 800, whole.begin() + c * 1200 + 400));
    EXPECT_NEAR(decode(892, whole, 1200 + 4 * 20, 1)[0], 700 * std::sin(2 * std::numbers::pi * 0.013 * 20), 1e-3);

    const auto cut = zebsim::raw_block(892, sig, 0, 2, 0, 300, 7);  // not a whole word
    ASSERT_EQ(cut.size(), 7u);
    EXPECT_TRUE(std::equal(cut.begin(), cut.end(), whole.begin()));

    const auto none = zebsim::raw_block(614, sig, 0, 4, 0, 50, SIZE_MAX);
    EXPECT_EQ(none, std::vector<uint8_t>(400, 0));
}

TEST(ZebsimSignal, OptionsAndSaturation) {
    zebsim::Signal sig;
    EXPECT_EQ(sig.set("3:1/8:1234.5"), "");
    EXPECT_EQ(sig.ratio(3), 0.125);
    EXPECT_EQ(sig.amplitude(3, 602), 1234.5);
    EXPECT_EQ(sig.set("4:0.25"), "");
    EXPECT_EQ(sig.amplitude(4, 718), 5000.0);  // unset: half of +-10000
    for (const char* bad : {"64:0.1", "-1:0.1", "x:0.1", "1", "1:", "1:abc", "1:1/0", "1:0.1:", "1:0.1:2:3"})
        EXPECT_NE(sig.set(bad), "") << bad;

    // Beyond full scale the card saturates; a wrapped word would turn negative.
    ASSERT_EQ(sig.set("0:1/4:9000"), "");
    for (int32_t type : {602, 632, 653, 890}) {
        const auto v = decode(type, zebsim::raw_block(type, sig, 0, 1, 0, 4, SIZE_MAX), 0, 4);
        EXPECT_GT(v[1], 4990.0) << type;
        EXPECT_LT(v[3], -4990.0) << type;
    }
}

// zebsim's encoder is written on its own: for every card type code, the
// words it stores decode through the library's conversion to what it
// encoded (within one code), and where it knows no raw format the library
// converts nothing. A row wrong in either table shows here.
TEST(ZebsimSignal, ItsOwnEncoderAndTheLibrarysDecoderAgreeOnEveryCardType) {
    int encoded = 0;
    for (int32_t type = -1; type <= 1000; ++type) {
        if (type == 800) continue;  // the sound card: its words follow the input gain
        SCOPED_TRACE(type);
        const zebsim::Encoding e = zebsim::encoding_of(type);
        const double fullScale = zebsim::full_scale_of(e);
        const double values[] = {-0.99 * fullScale, -1234.5 * fullScale / 5000, -0.3, 0.0, 0.7, 0.5 * fullScale,
                                 0.99 * fullScale};
        for (const double v : values) {
            const uint32_t w = zebsim::encode(e, v);
            std::vector<uint8_t> raw(4, 0xEE);
            std::memcpy(raw.data(), &w, zebsim::word_bytes(e));
            std::vector<double> back(1, -12345.0);
            kelmo::convert_block(kelmo::cards::conversion_of(type, 1.0), back.data(), raw.data(), 1,
                                 /*toEngineering=*/true, nullptr, nullptr);
            if (e == zebsim::Encoding::None) {
                EXPECT_EQ(back[0], -12345.0) << "the library converts a type zebsim knows no format of";
                continue;
            }
            const double step = fullScale / (e == zebsim::Encoding::Signed12Of5000 || e == zebsim::Encoding::Offset12Of5000 ||
                                                     e == zebsim::Encoding::Inverted12Of5000
                                                 ? 2048.0
                                                 : 32768.0);
            EXPECT_NEAR(back[0], v, step * 1.01) << "value " << v << " word 0x" << std::hex << w;
            ++encoded;
        }
    }
    EXPECT_GT(encoded, 7 * 60);  // (so that the sweep met the formats at all)
}

// A D/A word is a 16-bit code of the full scale; each raw format reads that
// code at its own resolution (16 D/A codes per 12-bit code), in its own
// encoding. The signed 16-bit formats take the word itself.
TEST(ZebsimSignal, LoopbackWordsReadAsTheDaCodeInEveryRawFormat) {
    struct {
        int32_t type;
        double fullScale;
        bool twelveBit;
    } const formats[] = {{678, 5000, false}, {618, 5000, false},  {632, 5000, true},   {653, 5000, true},
                         {806, 5000, true},  {718, 10000, false}, {880, 2000, false},  {890, 5000, false},
                         {891, 5000, false}, {892, 10000, false}};
    for (const auto& f : formats) {
        SCOPED_TRACE(f.type);
        const std::size_t width = f.type >= 890 ? 4 : 2;
        for (int32_t code : {-32768, -32767, -4096, -17, -1, 0, 1, 15, 16, 12345, 32767}) {
            const auto da = static_cast<uint16_t>(code);
            const uint32_t w = zebsim::loopback_word(f.type, da);
            std::vector<uint8_t> raw(width);
            std::memcpy(raw.data(), &w, width);
            // The 12-bit formats keep the top 12 bits; the complemented one
            // has no code for -2048.
            const int32_t kept = f.twelveBit ? std::max(code >> 4, f.type == 653 ? -2047 : -2048) : code;
            const double value = kept * f.fullScale / (f.twelveBit ? 2048.0 : 32768.0);
            EXPECT_NEAR(decode(f.type, raw, 0, 1)[0], value, 1e-9 * f.fullScale) << code;
            if (width == 2 && !f.twelveBit && f.type != 618) {
                EXPECT_EQ(w, da) << code;  // signed 16-bit: the word as it is
            }
        }
    }
    EXPECT_EQ(zebsim::loopback_word(614, 0x1234), 0u);  // no raw format
}

// ---- the answers -------------------------------------------------------------------

RequestRecord record(int32_t type, int32_t divider, int32_t samples, int16_t channel) {
    RequestRecord r{};
    r.cardType = type, r.divider = divider, r.samples = samples, r.channel = channel;
    return r;
}

TEST(ZebsimCard, RefusesWhatTheCardCannotDo) {
    zebsim::Behaviour b;
    b.refused = {kDaData};
    zebsim::Playback da;
    zebsim::Card card(b, da);
    auto ok = [&](uint32_t code, RequestRecord r, uint32_t out = 4096) { return card.answer(code, r, out, {}, 0).ok; };
    EXPECT_EQ(ok(kSingleChannel, record(602, 100, 10, -1)), 1u);  // 32-fold mode: channel 1 negated
    EXPECT_EQ(ok(kSingleChannel, record(602, 100, 10, 2)), 0u);   // 602 has two channels
    EXPECT_EQ(ok(kMultiChannel, record(602, 100, 10, 2)), 1u);
    EXPECT_EQ(ok(kMultiChannel, record(602, 100, 10, 3)), 0u);
    EXPECT_EQ(ok(kMultiChannel, record(614, 100, 10, 64)), 0u);   // 16 channels
    EXPECT_EQ(ok(kMultiChannel, record(999, 100, 10, 64)), 1u);   // no catalogue row: 64
    EXPECT_EQ(ok(kSingleChannel, record(602, 100, -1, 0)), 0u);
    EXPECT_EQ(ok(kSingleChannel, record(602, 100, 10, 0), zebsim::kMaxOutSize + 1), 0u);
    EXPECT_EQ(ok(kContinuousFetch, record(602, 0, 10, 1)), 0u);   // nothing started
    EXPECT_EQ(ok(kContinuousStart, record(602, 100, 10, 3)), 0u);
    EXPECT_EQ(ok(0x222999, {}), 0u);
    EXPECT_EQ(ok(kDaInit, {}), 1u);
    EXPECT_EQ(ok(kDaData, {}), 0u);
    EXPECT_EQ(card.answer(kPortStatus, {}, 1, {}, 0).data, std::vector<uint8_t>{0x5A});  // cut to outSize
}

TEST(ZebsimCard, ContinuousFetchesContinueOneTimeBase) {
    zebsim::Behaviour b;
    zebsim::Playback da;
    zebsim::Card card(b, da);
    ASSERT_EQ(card.answer(kContinuousStart, record(892, 70000, 0, 2), 0, {}, 0).ok, 1u);
    // As many channels as the output holds: two of 4-byte words.
    const auto first = card.answer(kContinuousFetch, record(0, 0, 100, 0), 2 * 100 * 4, {}, 0);
    const auto second = card.answer(kContinuousFetch, record(0, 0, 50, 0), 2 * 50 * 4, {}, 0);
    EXPECT_EQ(first.status, zebsim::kStatusInTime);
    EXPECT_EQ(first.data, zebsim::raw_block(892, b.signal, 0, 2, 0, 100, SIZE_MAX));
    EXPECT_EQ(second.data, zebsim::raw_block(892, b.signal, 0, 2, 100, 50, SIZE_MAX));
    EXPECT_EQ(card.answer(kContinuousFetch, record(0, 0, 50, 0), 10, {}, 0).data.size(), 10u);  // cut, still advances
    EXPECT_EQ(card.answer(kContinuousFetch, record(0, 0, 1, 0), 8, {}, 0).data,
              zebsim::raw_block(892, b.signal, 0, 2, 200, 1, SIZE_MAX));

    EXPECT_EQ(card.answer(kStop, {}, 0, {}, 0).ok, 1u);
    EXPECT_EQ(card.answer(kContinuousFetch, record(0, 0, 1, 0), 8, {}, 0).ok, 0u);
    ASSERT_EQ(card.answer(kContinuousStart, record(602, 100, 0, -1), 0, {}, 0).ok, 1u);  // -1: one channel
    EXPECT_EQ(card.answer(kContinuousFetch, record(0, 0, 10, 0), 20, {}, 0).data,
              zebsim::raw_block(602, b.signal, 0, 1, 0, 10, SIZE_MAX));
    // One channel of a two-channel card: the fetch's channel field names it;
    // more channels than the card has are refused.
    EXPECT_EQ(card.answer(kContinuousFetch, record(0, 0, 10, 1), 20, {}, 0).data,
              zebsim::raw_block(602, b.signal, 1, 1, 10, 10, SIZE_MAX));
    EXPECT_EQ(card.answer(kContinuousFetch, record(0, 0, 10, 3), 60, {}, 0).ok, 0u);
}

// The bytes of a D/A buffer holding `words`, the rest zero.
std::vector<uint8_t> da_buffer(const std::vector<uint16_t>& words) {
    std::vector<uint8_t> b(32768, 0);
    std::memcpy(b.data(), words.data(), 2 * words.size());
    return b;
}

// Under --loopback a data request's words play on the A/D channel of its
// D/A channel, from raw sample 0, in blocks and across continuous fetches,
// for every client of the device; without it they are taken and go
// nowhere. Malformed data requests are refused either way.
TEST(ZebsimCard, LoopbackPlaysTheDaWordsOnTheirChannel) {
    zebsim::Behaviour b;
    b.loopback = true;
    zebsim::Playback da;
    zebsim::Card card(b, da);
    const std::vector<uint16_t> words{0x0102, 0xFFFF, 0x8000, 0x7FFF, 0x0000};
    const auto buffer = da_buffer(words);
    ASSERT_EQ(card.answer(kDaData, record(678, 0, 5, 1), 32768, buffer, 0).ok, 1u);
    EXPECT_TRUE(card.answer(kDaData, record(678, 0, 5, 1), 32768, buffer, 0).data.empty());  // nothing goes back

    const zebsim::Reply block = card.answer(kMultiChannel, record(678, 100, 12, 3), 3 * 12 * 2, {}, 0);
    ASSERT_EQ(block.data.size(), 3u * 12 * 2);
    const auto sines = zebsim::raw_block(678, b.signal, 0, 3, 0, 12, SIZE_MAX);
    for (int s = 0; s < 12; ++s) {
        uint16_t w;
        std::memcpy(&w, block.data.data() + 2 * (12 + s), 2);
        EXPECT_EQ(w, words[s % 5]) << s;
    }
    EXPECT_TRUE(std::equal(sines.begin(), sines.begin() + 24, block.data.begin()));  // channel 0: its sine
    EXPECT_TRUE(std::equal(sines.begin() + 48, sines.end(), block.data.begin() + 48));

    // Another client's card plays the same words; a fetch continues the time base.
    zebsim::Card next(b, da);
    ASSERT_EQ(next.answer(kContinuousStart, record(698, 100, 0, 2), 0, {}, 0).ok, 1u);
    next.answer(kContinuousFetch, record(0, 0, 3, 0), 2 * 3 * 2, {}, 0);
    const zebsim::Reply fetch = next.answer(kContinuousFetch, record(0, 0, 4, 0), 2 * 4 * 2, {}, 0);
    EXPECT_EQ(fetch.data, zebsim::raw_block(698, b.signal, 0, 2, 3, 4, SIZE_MAX, &da));
    uint16_t w;
    std::memcpy(&w, fetch.data.data() + 2 * 4, 2);
    EXPECT_EQ(w, words[3]);
    // A 12-bit card reads the same words at its resolution.
    const zebsim::Reply twelve = next.answer(kSingleChannel, record(632, 100, 2, 1), 4, {}, 0);
    ASSERT_EQ(twelve.data.size(), 4u);
    EXPECT_EQ(twelve.data[0] | twelve.data[1] << 8, 0x010);  // 0x0102 >> 4
    EXPECT_EQ(twelve.data[2] | twelve.data[3] << 8, 0xFFF);  // -1 >> 4

    ASSERT_EQ(card.answer(kDaData, record(678, 0, 0, 1), 32768, buffer, 0).ok, 1u);  // 0 words: the sine again
    EXPECT_EQ(card.answer(kMultiChannel, record(678, 100, 12, 3), 72, {}, 0).data, sines);

    for (const RequestRecord& bad : {record(678, 0, 5, 32), record(678, 0, 5, -1), record(678, 0, -1, 0),
                                     record(678, 0, 16385, 0)})
        EXPECT_EQ(card.answer(kDaData, bad, 32768, buffer, 0).ok, 0u) << bad.channel << " " << bad.samples;
    EXPECT_EQ(card.answer(kDaData, record(678, 0, 3, 0), 32768, std::span(buffer).first(5), 0).ok, 0u);

    b.loopback = false;
    zebsim::Playback none;
    zebsim::Card plain(b, none);
    ASSERT_EQ(plain.answer(kDaData, record(678, 0, 5, 0), 32768, buffer, 0).ok, 1u);
    EXPECT_EQ(plain.answer(kMultiChannel, record(678, 100, 12, 3), 72, {}, 0).data, sines);
}

TEST(ZebsimCard, RealtimePacesToTheSamplingRateAndReportsLateFetches) {
    zebsim::Behaviour b;
    b.realtime = true;
    b.delayMs = 20;
    zebsim::Playback da;
    zebsim::Card card(b, da);
    // 602 at divider 100: 10 MHz / 100 = 100 kHz.
    EXPECT_NEAR(card.answer(kSingleChannel, record(602, 0x10064, 1000, 0), 2000, {}, 5).due, 5.03, 1e-9);
    ASSERT_EQ(card.answer(kContinuousStart, record(602, 100, 0, 1), 0, {}, 10).ok, 1u);
    const auto first = card.answer(kContinuousFetch, record(0, 0, 1000, 0), 2000, {}, 10);
    EXPECT_NEAR(first.due, 10.03, 1e-9);
    const auto late = card.answer(kContinuousFetch, record(0, 0, 1000, 0), 2000, {}, 10.05);  // block 2 was due at 10.02
    EXPECT_EQ(late.status, zebsim::kStatusLate);
    EXPECT_NEAR(late.due, 10.07, 1e-9);
    EXPECT_NEAR(zebsim::sample_rate(614, 4, 5), 50000.0, 1e-9);  // no read-back formula: 1 MHz / d / n
}

// ---- the program ------------------------------------------------------------------------

// Reads n bytes, fewer at end of stream or after the socket's 5 s time-out.
std::size_t read_some(int fd, void* p, std::size_t n) {
    std::size_t got = 0;
    for (ssize_t r = 1; got < n && r > 0; got += r > 0 ? static_cast<std::size_t>(r) : 0)
        r = ::recv(fd, static_cast<char*>(p) + got, n - got, 0);
    return got;
}

// A reply, its header fields copied out of the packed header.
struct Answer {
    bool answered = false;  // a whole reply header came
    uint32_t ok = 0, status = 0;
    std::vector<uint8_t> data;
};

Answer ask(int fd, uint32_t code, const RequestRecord& r, uint32_t outSize, uint32_t magic = kDeviceMagic,
           const std::vector<uint8_t>& input = {}) {
    const DeviceRequestHeader req{magic, code, r, outSize, static_cast<uint32_t>(input.size())};
    EXPECT_EQ(::send(fd, &req, sizeof req, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof req));
    if (!input.empty()) ::send(fd, input.data(), input.size(), MSG_NOSIGNAL);
    DeviceReplyHeader head{};
    Answer a;
    a.answered = read_some(fd, &head, sizeof head) == sizeof head && head.magic == kDeviceMagic;
    a.ok = head.ok, a.status = head.status;
    a.data.resize(a.answered ? head.bytes : 0);
    EXPECT_EQ(read_some(fd, a.data.data(), a.data.size()), a.data.size());
    return a;
}

// zebsim started with KELMO_DEVICE_DIR set to a fresh folder, stopped at the end.
class Program : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zebsim_test_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/ZEB1";
    }
    ~Program() override {
        if (pid_ > 0 && wait_exit(SIGTERM) < 0) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
        fs::remove_all(dir_);
    }

    // Starts zebsim and returns its first line of output.
    std::string start(std::vector<std::string> args) {
        int out[2];
        EXPECT_EQ(::pipe(out), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // no server left behind by a crashed test
            ::dup2(out[1], 1);
            ::setenv("KELMO_DEVICE_DIR", dir_.c_str(), 1);
            std::vector<char*> argv{const_cast<char*>(ZEBSIM_PROGRAM)};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(ZEBSIM_PROGRAM, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        FILE* f = ::fdopen(out[0], "r");
        char line[512] = {};
        if (!std::fgets(line, sizeof line, f)) line[0] = 0;  // it prints at once, or exits
        std::fclose(f);
        return line;
    }

    // A client's socket and the hello it got (-1 without one).
    int connect(uint32_t expectOk = 1) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_un addr{AF_UNIX, {}};
        std::strcpy(addr.sun_path, path_.c_str());
        DeviceHello h{};
        fds_.push_back(fd);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
            read_some(fd, &h, sizeof h) != sizeof h || h.magic != kDeviceMagic) {
            ADD_FAILURE() << "no hello";
            return -1;
        }
        EXPECT_EQ(uint32_t{h.ok}, expectOk);
        return fd;
    }

    // The exit status after `sig` (0: none sent); -1 when it goes on for 5 s.
    int wait_exit(int sig) {
        for (int fd : fds_) ::close(fd);
        fds_.clear();
        if (sig) ::kill(pid_, sig);
        for (int i = 0, st = 0; i < 500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            if (::waitpid(pid_, &st, WNOHANG) != pid_) continue;
            pid_ = -1;
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        return -1;
    }

    std::string dir_, path_;
    pid_t pid_ = -1;
    std::vector<int> fds_;
};

TEST_F(Program, ServesOneClientAtATimeAndRemovesItsSocketOnSigterm) {
    // A socket file left by an earlier run, nobody listening, is replaced.
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{AF_UNIX, {}};
    std::strcpy(addr.sun_path, path_.c_str());
    ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ::close(stale);
    const std::string line = start({"--unpaced"});
    EXPECT_EQ(line, "zebsim: serving " + path_ + " (pid " + std::to_string(pid_) + ")\n");

    const int a = connect();
    char c;
    EXPECT_EQ(::recv(connect(0), &c, 1, 0), 0);  // busy, and closed at once
    const Answer m = ask(a, kMultiChannel, record(602, 100, 64, 2), 1000);
    EXPECT_EQ(m.ok, 1u);
    EXPECT_EQ(m.data, zebsim::raw_block(602, zebsim::Signal{}, 0, 2, 0, 64, SIZE_MAX));
    EXPECT_EQ(ask(a, kPortStatus, {}, 2).data, (std::vector<uint8_t>{0x5A, 0xA5}));

    EXPECT_FALSE(ask(a, kStop, {}, 0, 0x12345678).answered);  // a wrong magic ends the connection ...
    EXPECT_EQ(ask(connect(), kStop, {}, 0).ok, 1u);       // ... and the device is free again
    EXPECT_EQ(wait_exit(SIGTERM), 0);
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(Program, RefusesCodesDropsRequestsAndLogsThem) {
    const std::string log = dir_ + "/requests.log";
    start({"--unpaced", "--refuse", "0x222017", "--refuse", "2236423", "--drop-after", "3", "--log", log, "--once"});
    const int fd = connect();
    EXPECT_EQ(ask(fd, kContinuousStart, record(618, 50, 100, 4), 0).ok, 1u);
    const Answer refused = ask(fd, kContinuousFetch, record(618, 0, 100, 4), 800);
    EXPECT_TRUE(refused.answered);
    EXPECT_EQ(refused.ok, 0u);
    EXPECT_TRUE(refused.data.empty());
    EXPECT_EQ(ask(fd, kSingleChannel, record(618, 50, 100, 0), 200).ok, 0u);  // 0x222007 in decimal
    EXPECT_FALSE(ask(fd, kStop, {}, 0).answered);  // the fourth: dropped
    EXPECT_EQ(wait_exit(0), 0);                     // --once
    EXPECT_FALSE(fs::exists(path_));

    std::ifstream in(log);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "code=0x222013 type=618 divider=50 samples=100 gain=0 channel=4 adjust=0 out=0");
    EXPECT_EQ(lines[3], "code=0x222463 type=0 divider=0 samples=0 gain=0 channel=0 adjust=0 out=0");
}

// Started with its standard descriptors closed, zebsim still serves: its
// own descriptors (the stop pipe among them) are not where its output goes.
TEST_F(Program, ServesWithItsStandardDescriptorsClosed) {
    pid_ = ::fork();
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::setenv("KELMO_DEVICE_DIR", dir_.c_str(), 1);
        for (int fd : {0, 1, 2}) ::close(fd);
        char* argv[] = {const_cast<char*>(ZEBSIM_PROGRAM), nullptr};
        ::execv(ZEBSIM_PROGRAM, argv);
        ::_exit(127);
    }
    for (int i = 0; i < 500 && !fs::exists(path_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const int fd = connect();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ask(fd, kPortStatus, {}, 2).data, (std::vector<uint8_t>{0x5A, 0xA5}));
    EXPECT_EQ(wait_exit(SIGTERM), 0);
}

// A request's input follows its header; one announcing more input than its
// output holds, or than the device takes, is not the device's protocol and
// ends the connection unanswered.
TEST_F(Program, TakesTheInputOfARequestAndBoundsIt) {
    const std::string log = dir_ + "/requests.log";
    start({"--unpaced", "--loopback", "--log", log});
    const int fd = connect();
    const auto buffer = da_buffer({0x1234, 0xFEDC});
    const Answer set = ask(fd, kDaData, record(698, 0, 2, 3), 32768, kDeviceMagic, buffer);
    EXPECT_EQ(set.ok, 1u);
    EXPECT_TRUE(set.data.empty());
    const Answer one = ask(fd, kSingleChannel, record(698, 100, 3, 3), 6);
    EXPECT_EQ(one.data, (std::vector<uint8_t>{0x34, 0x12, 0xDC, 0xFE, 0x34, 0x12}));
    EXPECT_FALSE(ask(fd, kDaData, record(698, 0, 2, 3), 4, kDeviceMagic, {1, 2, 3, 4, 5}).answered);
    const int big = connect();
    const DeviceRequestHeader req{kDeviceMagic, kDaData, record(698, 0, 2, 3), kDeviceMaxInSize + 2,
                                  kDeviceMaxInSize + 2};
    ASSERT_EQ(::send(big, &req, sizeof req, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof req));
    char c;
    EXPECT_EQ(::recv(big, &c, 1, 0), 0);  // closed before any input was sent
    EXPECT_EQ(ask(connect(), kStop, {}, 0).ok, 1u);

    std::ifstream in(log);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "code=0x22209F type=698 divider=0 samples=2 gain=0 channel=3 adjust=0 out=32768 in=32768");
}

TEST_F(Program, DirOptionCreatesAPrivateFolder) {
    EXPECT_EQ(start({"--unpaced", "--dir", dir_ + "/a/b"}).rfind("zebsim: serving " + dir_ + "/a/b/ZEB1 (pid ", 0), 0u);
    EXPECT_EQ(fs::status(dir_ + "/a/b").permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(wait_exit(SIGINT), 0);
    EXPECT_FALSE(fs::exists(dir_ + "/a/b/ZEB1"));
}

}  // namespace
