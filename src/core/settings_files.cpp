#include "core/settings_files.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "core/numconv.h"

namespace kelmo::settings {
namespace {

constexpr int kCouplingBase = 256;
constexpr int kModeBase = 512;
constexpr int kChannels = 256;
constexpr std::size_t kCouplingBytes = kChannels / 8;  // one bit per channel
constexpr std::size_t kModeBytes = kChannels;          // one signed byte per channel

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Raw bytes, no line-end translation. Only a regular file (or, for
// writing, a name that does not exist yet) is opened: a FIFO or a device
// under a settings file's name would block the call or swallow the data.
File open_file(const char* name, const char* mode) {
    if (!name) return nullptr;
    std::error_code ec;
    const auto st = std::filesystem::status(name, ec);
    const bool absent = st.type() == std::filesystem::file_type::not_found;
    if (!absent && st.type() != std::filesystem::file_type::regular) return nullptr;
    if (absent && mode[0] == 'r') return nullptr;
    return File(std::fopen(name, mode));
}

// Reads up to `bytes.size()` bytes; false when the file cannot be opened.
// Bytes past the end of a short file stay 0.
template <std::size_t N>
bool read_file(const char* name, std::array<unsigned char, N>& bytes) {
    bytes.fill(0);
    File f = open_file(name, "rb");
    if (!f) return false;
    (void)std::fread(bytes.data(), 1, bytes.size(), f.get());
    return true;
}

template <std::size_t N>
void write_file(const char* name, const std::array<unsigned char, N>& bytes) {
    File f = open_file(name, "wb");
    if (!f) return;
    (void)std::fwrite(bytes.data(), 1, bytes.size(), f.get());
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
