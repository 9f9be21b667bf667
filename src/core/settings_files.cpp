#include "core/settings_files.h"

#include <array>
#include <cstdint>
#include <string>

#include "core/numconv.h"
#include "core/reason.h"
#include "platform/platform.h"

namespace kelmo::settings {
namespace {

constexpr int kCouplingBase = 256;
constexpr int kModeBase = 512;
constexpr int kChannels = 256;
constexpr std::size_t kCouplingBytes = kChannels / 8;  // one bit per channel
constexpr std::size_t kModeBytes = kChannels;          // one signed byte per channel

// Raw bytes. The platform opens only a regular file and never follows a
// symbolic link: a FIFO or a device under a settings file's name would
// block the call or swallow the data, and a link in a shared folder would
// aim the write at another user's file.
// Reads up to `bytes.size()` bytes; false when the file cannot be opened.
// Bytes past the end of a short file stay 0.
template <std::size_t N>
bool read_file(const char* name, std::array<unsigned char, N>& bytes) {
    bytes.fill(0);
    if (!name) return false;
    return platform::current().files.read_small_file(name, bytes.data(), bytes.size()) >= 0;
}

// A file that cannot be written leaves the export's result as it is (it
// has none) and says what was not saved, why, and what to do.
template <std::size_t N>
void write_file(const char* name, const std::array<unsigned char, N>& bytes) {
    if (!name) return;
    std::string why;
    if (platform::current().files.write_small_file(name, bytes.data(), bytes.size(), &why)) return;
    const bool inTheWay = why.rfind("it is ", 0) == 0;
    because("the settings were not saved: %s in the working folder cannot be written (%s); %s", name,
            why.empty() ? "the system gave no cause" : why.c_str(),
            inTheWay ? "remove or rename what has that name, or change to another working folder"
                     : "check that the working folder exists and can be written, or change to another");
}

}  // namespace

void load_coupling(const char* fileName, double* settings) {
    if (!settings) return;
    std::array<unsigned char, kCouplingBytes> bytes;
    // A missing file leaves every bit clear, which is the cleared range.
    read_file(fileName, bytes);
    for (int ch = 0; ch < kChannels; ++ch)
        settings[kCouplingBase + ch] = ((bytes[ch / 8] >> (ch % 8)) & 1) ? 1.0 : 0.0;
}

void save_coupling(const char* fileName, const double* settings) {
    if (!settings) return;
    std::array<unsigned char, kCouplingBytes> bytes{};
    for (int ch = 0; ch < kChannels; ++ch) {
        const double v = settings[kCouplingBase + ch];
        // Any non-zero value sets the flag; a NaN does not.
        if (v < 0.0 || v > 0.0) bytes[ch / 8] = static_cast<unsigned char>(bytes[ch / 8] | (1u << (ch % 8)));
    }
    write_file(fileName, bytes);
}

void load_modes(const char* fileName, double* settings) {
    if (!settings) return;
    std::array<unsigned char, kModeBytes> bytes;
    read_file(fileName, bytes);
    for (int ch = 0; ch < kChannels; ++ch) settings[kModeBase + ch] = static_cast<double>(static_cast<int8_t>(bytes[ch]));
}

void save_modes(const char* fileName, const double* settings) {
    if (!settings) return;
    std::array<unsigned char, kModeBytes> bytes{};
    for (int ch = 0; ch < kChannels; ++ch) {
        // 0.1 guards against values stored just below a whole number; the
        // truncation goes toward zero and only the low 8 bits are kept.
        bytes[ch] = static_cast<unsigned char>(static_cast<uint64_t>(trunc_i64(settings[kModeBase + ch] + 0.1)));
    }
    write_file(fileName, bytes);
}

}  // namespace kelmo::settings
