// The settings-file exports (LoadACDC, SaveACDC, LoadChMode, SaveChMode and
// their "2" twins) over files of arbitrary contents and lengths, missing
// files, folders in the files' place, and arbitrary doubles to save.
//
// The files live in a scratch folder of this process, made its current
// directory. Checks: a load writes its own 256 entries and nothing else
// (guards around the 768-entry array), with the file's bits or signed
// bytes (missing bytes as 0); a save writes exactly 32 or 256 bytes that
// load back as the rules say.
#include <fuzzer/FuzzedDataProvider.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kelmo.h"

namespace {

constexpr std::size_t kEntries = 768;
constexpr std::size_t kGuard = 16;  // doubles on either side
constexpr double kUntouched = -12345.678;

struct Kind {
    const char* file;
    void (*load)(double*);
    void (*save)(double*);
    std::size_t base;   // first entry of the range
    std::size_t bytes;  // file size
    bool coupling;
};

const Kind kKinds[] = {
    {"ACDC.sav", LoadACDC, SaveACDC, 256, 32, true},
    {"ACDC2.sav", LoadACDC2, SaveACDC2, 256, 32, true},
    {"ChMode.sav", LoadChMode, SaveChMode, 512, 256, false},
    {"ChMode2.sav", LoadChMode2, SaveChMode2, 512, 256, false},
};

void fail(const char* what) {
    std::fprintf(stderr, "fuzz settings_files: %s\n", what);
    std::abort();
}

void remove_any(const char* name) {
    if (::unlink(name) != 0) ::rmdir(name);
}

std::vector<unsigned char> read_all(const char* name, bool* present) {
    std::vector<unsigned char> bytes;
    std::FILE* f = std::fopen(name, "rb");
    *present = f != nullptr;
    if (!f) return bytes;
    unsigned char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    return bytes;
}

void write_all(const char* name, const std::vector<unsigned char>& bytes) {
    std::FILE* f = std::fopen(name, "wb");
    if (!f) fail("cannot write the scratch file");
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) fail("short write");
    std::fclose(f);
}

// The array with guards, every entry set to `fill`.
std::vector<double> fresh(double fill) { return std::vector<double>(kGuard + kEntries + kGuard, fill); }

// What a load of `bytes` must give at entry `i` of the kind's range.
double loaded(const Kind& k, const std::vector<unsigned char>& bytes, std::size_t i) {
    if (k.coupling) {
        const unsigned char b = i / 8 < bytes.size() ? bytes[i / 8] : 0;
        return ((b >> (i % 8)) & 1) ? 1.0 : 0.0;
    }
    const unsigned char b = i < bytes.size() ? bytes[i] : 0;
    return static_cast<double>(static_cast<int8_t>(b));
}

// Checks a loaded array against the file's bytes; entries out of the range
// keep `fill`.
void check_load(const Kind& k, const std::vector<double>& a, const std::vector<unsigned char>& bytes, double fill) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        const bool inRange = i >= kGuard + k.base && i < kGuard + k.base + 256;
        if (!inRange) {
            if (std::memcmp(&a[i], &fill, sizeof fill) != 0) fail("a load wrote outside its range");
            continue;
        }
        if (a[i] != loaded(k, bytes, i - kGuard - k.base)) fail("a loaded entry does not match the file");
    }
}

// The byte a save stores for one entry.
unsigned char saved_mode(double v) {
    const double x = v + 0.1;
    if (!(x > -9223372036854775808.0 && x < 9223372036854775808.0)) return 0;
    return static_cast<unsigned char>(static_cast<uint64_t>(static_cast<int64_t>(x)));
}

std::string g_dir;

void remove_scratch() {
    if (g_dir.empty() || ::chdir("/") != 0) return;
    for (const Kind& k : kKinds) remove_any((g_dir + "/" + k.file).c_str());
    ::rmdir(g_dir.c_str());
}

}  // namespace

// A scratch folder of this process (under $KELMO_FUZZ_SCRATCH, else the
// system's temporary folder) becomes the current directory.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base = std::getenv("KELMO_FUZZ_SCRATCH");
    const std::string parent = base && *base ? std::string(base) : std::filesystem::temp_directory_path().string();
    std::string t = parent + "/kelmo-settings-XXXXXX";
    if (!::mkdtemp(t.data()) || ::chdir(t.c_str()) != 0) fail("no scratch folder");
    g_dir = t;
    std::atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const Kind& k = kKinds[in.ConsumeIntegralInRange<int>(0, 3)];
    const int mode = in.ConsumeIntegralInRange<int>(0, 3);  // the file: regular, absent, a folder; 3: save doubles
    const bool nullArray = in.ConsumeIntegralInRange<int>(0, 31) == 0;
    for (const Kind& other : kKinds) remove_any(other.file);

    if (nullArray) {
        k.load(nullptr);
        k.save(nullptr);
        struct stat st{};
        if (::stat(k.file, &st) == 0) fail("a save without an array wrote its file");
        return 0;
    }

    if (mode == 3) {
        // Save arbitrary doubles, then load them back.
        std::vector<double> a = fresh(kUntouched);
        for (std::size_t i = 0; i < 256 && in.remaining_bytes() >= 8; ++i) {
            uint64_t bits = in.ConsumeIntegral<uint64_t>();
            std::memcpy(&a[kGuard + k.base + i], &bits, 8);
        }
        const std::vector<double> before = a;
        k.save(a.data() + kGuard);
        if (std::memcmp(a.data(), before.data(), a.size() * sizeof(double)) != 0) fail("a save changed the array");
        bool present = false;
        const std::vector<unsigned char> file = read_all(k.file, &present);
        if (!present || file.size() != k.bytes) fail("a save did not write the whole file");
        for (std::size_t i = 0; i < 256; ++i) {
            const double v = a[kGuard + k.base + i];
            if (k.coupling) {
                const bool set = (file[i / 8] >> (i % 8)) & 1;
                if (set != (v < 0.0 || v > 0.0)) fail("a coupling bit does not follow its entry");
            } else if (file[i] != saved_mode(v)) {
                fail("a mode byte does not follow its entry");
            }
        }
        std::vector<double> back = fresh(kUntouched);
        k.load(back.data() + kGuard);
        check_load(k, back, file, kUntouched);
        return 0;
    }

    const std::vector<unsigned char> content = in.ConsumeRemainingBytes<unsigned char>();
    if (mode == 0) write_all(k.file, content);
    if (mode == 2 && ::mkdir(k.file, 0700) != 0) fail("cannot make the folder");
    const std::vector<unsigned char> expect = mode == 0 ? content : std::vector<unsigned char>{};

    std::vector<double> a = fresh(kUntouched);
    k.load(a.data() + kGuard);
    check_load(k, a, expect, kUntouched);

    // Saving what was loaded gives the file's first bytes back, padded with
    // 0 (mode numbers as the save rounds them: -1 is saved as 0).
    k.save(a.data() + kGuard);
    bool present = false;
    const std::vector<unsigned char> file = read_all(k.file, &present);
    if (mode == 2) {
        struct stat st{};
        if (::stat(k.file, &st) != 0 || !S_ISDIR(st.st_mode)) fail("a save replaced a folder");
        return 0;
    }
    if (!present || file.size() != k.bytes) fail("a save did not write the whole file");
    for (std::size_t i = 0; i < k.bytes; ++i) {
        const unsigned char b = i < expect.size() ? expect[i] : 0;
        if (file[i] != (k.coupling ? b : saved_mode(static_cast<int8_t>(b)))) fail("load then save changed a byte");
    }
    return 0;
}
