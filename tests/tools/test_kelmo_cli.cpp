// The kelmo host as a user runs it: exit codes and the errors that name
// the option, numbers with SI suffixes and durations, CSV streamed to
// standard output, WAV and FLAC read back (by soundfile and sox too),
// Ctrl-C, write failures (files, pipes, standard output, closed
// descriptors, a full disk), and the summary of a channel without signal.
// The simulated source serves (the host starts genwave, which is on PATH).
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../../src/platform/posix/shm_place.h"  // where the shared memories are files
#include "../../tools/portable.h"
#include "values.h"

namespace {

struct Result {
    int code = -1;
    std::string out, err;
};

std::string temp(const std::string& name) { return testing::TempDir() + "kelmo-cli-" + std::to_string(::getpid()) + "-" + name; }

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// `stdoutTo`, `stderrTo`: where the output goes instead of a file the
// result keeps ("1>&-" closes it).
Result kelmo(const std::string& args, const std::string& stdoutTo = "", const std::string& stderrTo = "") {
    const std::string out = temp("out"), err = temp("err");
    const std::string cmd = "timeout 60 " + std::string(KELMO_CLI) + " " + args + " " +
                            (stdoutTo.empty() ? ">" + out : stdoutTo) + " " + (stderrTo.empty() ? "2>" + err : stderrTo);
    const int status = std::system(cmd.c_str());
    Result r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    // The sound stack keeps its own lines to itself, device or none.
    EXPECT_EQ(r.err.find("ALSA lib"), std::string::npos) << args << ": " << r.err;
    return r;
}

int lines(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

// A CSV's samples: its lines after the "#" facts and the header line.
int data_rows(const std::string& csv) {
    int rows = 0;
    bool header = false;
    std::istringstream in(csv);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind('#', 0) == 0) continue;
        if (header) ++rows;
        header = true;
    }
    return rows;
}

// The chunks of a RIFF file by their ids.
std::map<std::string, std::string> riff_chunks(const std::string& w) {
    std::map<std::string, std::string> chunks;
    for (std::size_t at = 12; at + 8 <= w.size();) {
        uint32_t n = 0;
        std::memcpy(&n, w.data() + at + 4, 4);
        const std::string id = w.substr(at, 4);
        chunks[id] = w.substr(at + 8, std::min<std::size_t>(n, w.size() - at - 8));
        if (n == 0xFFFFFFFFu) break;
        at += 8 + n + (n % 2);
    }
    return chunks;
}

// What `cmd` prints, on standard output and error.
std::string output_of(const std::string& cmd) {
    const std::string out = temp("cmd.out");
    std::system(("(" + cmd + ") >" + out + " 2>&1").c_str());
    const std::string text = slurp(out);
    std::remove(out.c_str());
    return text;
}

// What /usr/bin/python3 prints running `code`.
std::string python(const std::string& code) {
    const std::string script = temp("check.py");
    std::ofstream(script) << code;
    const std::string text = output_of("/usr/bin/python3 " + script);
    std::remove(script.c_str());
    return text;
}

// The full scale of card type 123, as kelmo cards gives it.
int full_scale_123() {
    const Result c = kelmo("cards -t 123");
    std::istringstream s(c.out.substr(c.out.find('\n') + 1));
    int type = 0, ch = 0, fullScale = 0;
    double high = 0, low = 0;
    s >> type >> ch >> high >> low >> fullScale;
    return fullScale;
}

// An audio file as soundfile reads it against the CSV of the same run:
// "(frames, channels) rate subtype" and whether every value times the full
// scale is within `tolerance` of the CSV's; then the file's software, date
// and comment, one a line.
std::string soundfile_reads(const std::string& file, const std::string& csv, double tolerance) {
    return python("import numpy as n, soundfile as sf\n"
                  "f = sf.SoundFile('" + file + "')\n"
                  "d = f.read(always_2d=True)\n"
                  "c = n.loadtxt('" + csv + "', delimiter=',', skiprows=9, ndmin=2)[:, 1:]\n"
                  "good = c.shape == d.shape and float(abs(d * " + std::to_string(full_scale_123()) + " - c).max()) <= " +
                  std::to_string(tolerance) + "\n"
                  "print(d.shape, f.samplerate, f.subtype, good)\n"
                  "print(f.software)\nprint(f.date)\nprint(f.comment)\n");
}

// A run into a file system too small for it: exit 1 and one line, and a
// file that soundfile opens with the run's first samples, as many as there
// was room for.
void fill_a_small_disk(const std::string& name, double tolerance) {
    const std::string disk = temp("small"), csv = temp("small.csv");
    std::filesystem::create_directory(disk);
    if (std::system(("mount -t tmpfs -o size=256k tmpfs " + disk + " 2>/dev/null").c_str()) == 0) {
        const std::string file = disk + "/" + name;
        // (Channels without the source's noise or edges, the same however the run is cut into blocks.)
        const Result r = kelmo("acquire -C 0,2,5,6 -r 100k --time 10s -o " + file);
        EXPECT_EQ(r.code, 1) << name;
        EXPECT_EQ(r.err, "kelmo: writing " + file + " failed: " + std::strerror(ENOSPC) + "\n");
        const std::string frames = python("import soundfile as sf\nprint(sf.info('" + file + "').frames)");
        const long n = std::atol(frames.c_str());
        EXPECT_GE(n, 10000) << name << ": " << frames;  // at least the first block
        EXPECT_LT(n, 1000000) << name << ": " << frames;
        ASSERT_EQ(kelmo("acquire -C 0,2,5,6 -r 100k -n " + std::to_string(n) + " --csv " + csv).code, 0);
        const std::string read = soundfile_reads(file, csv, tolerance);
        EXPECT_EQ(read.rfind("(" + std::to_string(n) + ", 4) 100000 ", 0), 0u) << read;
        EXPECT_NE(read.find(" True\n"), std::string::npos) << name << ": " << read << r.err;
        std::system(("umount " + disk).c_str());
    } else {
        ADD_FAILURE() << "no small file system could be mounted at " << disk << " (the test runs as root)";
    }
    std::filesystem::remove_all(disk);
    std::remove(csv.c_str());
}

// The shared-memory namespace of the run (without one, the user's own).
std::string shm_space() { return kelmo::platform::posix::shm_namespace_name(); }

// The folder of the shared memories' files (the user's runtime folder, or
// /dev/shm).
std::string shm_folder() { return kelmo::platform::posix::shm_place().folder; }

// Stops the genwave programs of the run's namespace, and waits until they
// are gone; those of other runs on the machine go on.
void stop_genwave() {
    const std::string space = shm_space();
    std::vector<pid_t> stopped;
    if (DIR* proc = ::opendir("/proc")) {
        while (const dirent* e = ::readdir(proc)) {
            const std::string id = e->d_name;
            if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) continue;
            if (slurp("/proc/" + id + "/comm") != "genwave\n") continue;
            // The entries, each between NULs.
            std::string env(1, '\0');
            env += slurp("/proc/" + id + "/environ");
            const auto has = [&](const std::string& entry) {
                std::string key(1, '\0');
                key += entry;
                key.push_back('\0');
                return env.find(key) != std::string::npos;
            };
            const bool named = env.find(std::string("\0KELMO_SHM_NAMESPACE=", 21)) != std::string::npos;
            const bool ours = has("KELMO_SHM_NAMESPACE=" + space) ||
                              (!std::getenv("KELMO_SHM_NAMESPACE") && (!named || has("KELMO_SHM_NAMESPACE=")));
            const auto pid = static_cast<pid_t>(std::stol(id));
            if (ours && ::kill(pid, SIGTERM) == 0) stopped.push_back(pid);
        }
        ::closedir(proc);
    }
    for (int i = 0; i < 100 && std::any_of(stopped.begin(), stopped.end(), [](pid_t p) { return ::kill(p, 0) == 0; }); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

class KelmoCli : public testing::Test {
protected:
    static void TearDownTestSuite() { stop_genwave(); }
};

// scan looks for the parameters where the library publishes them, in the
// run's namespace or the user's own.
TEST_F(KelmoCli, ScanSeesAPublishedSignalSource) {
    stop_genwave();
    EXPECT_NE(kelmo("scan").out.find("no parameters published"), std::string::npos);
    ASSERT_EQ(kelmo("acquire -n 1k -c 1 -o -").code, 0);  // starts genwave
    EXPECT_NE(kelmo("scan").out.find("publishes its parameters (ready)"), std::string::npos);
    stop_genwave();
}

// Without a device, scan's answer carries its reason on the same stream:
// the socket it tried and what to start.
// With no card and no sound device (ALSA without any configuration), every
// command that needs one says why in words and exits 1; scan answers for
// each source on its own line.
TEST_F(KelmoCli, ScanSaysWhyNoDeviceAnswers) {
    const std::string dir = temp("nodev"), alsa = temp("alsa.conf");
    std::ofstream(alsa).put('\n');
    ::setenv("KELMO_DEVICE_DIR", dir.c_str(), 1);
    ::setenv("ALSA_CONFIG_PATH", alsa.c_str(), 1);
    const std::string noDevice = "no acquisition device is served at " + dir + "/ZEB1; start zebsim";
    const std::string noCapture = "ALSA's default capture device cannot be opened (";
    Result r = kelmo("scan");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("acquisition cards: device ZEB1 cannot be reached: GetPrintPortStatus failed: " + noDevice),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("sound card (800): no capture device (" + noCapture), std::string::npos) << r.out;
    r = kelmo("cards -t 800");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err.rfind("kelmo: the sound card (800) cannot be used: Checkcard failed: " + noCapture, 0), 0u) << r.err;
    EXPECT_EQ(lines(r.out), 1) << r.out;  // the table's header, no row of a card that is not there
    r = kelmo("acquire -t 800 -r 44100 -c 1");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err.rfind("kelmo: card type 800 cannot be used: " + noCapture, 0), 0u) << r.err;
    EXPECT_EQ(lines(r.err), 1) << r.err;
    // No rate is offered in its place (the fallback of a device that could
    // not be asked is no answer).
    r = kelmo("dividers -t 800 -r 8000");
    EXPECT_NE(r.out.find("  800           8000            -"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(noCapture), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");  // and no message box
    r = kelmo("acquire -t 602 -c 1");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("kelmo: acquisition failed after 0 samples per channel: Set_dbl_MulChSam failed: " + noDevice),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("Win32"), std::string::npos) << r.err;
    ::unsetenv("ALSA_CONFIG_PATH");
    ::unsetenv("KELMO_DEVICE_DIR");
    std::remove(alsa.c_str());
}

TEST_F(KelmoCli, UsageErrorsNameTheOption) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"acquire -r 0", "--rate"},           {"acquire -r -100", "--rate"},
        {"acquire -r 10q", "--rate"},         {"acquire -g 0", "--gain"},
        {"acquire --first 30 -c 4", "--channels"}, {"acquire -c 0", "--channels"},
        {"acquire --first 1 -c 2147483647", "--channels"}, {"acquire --first -1", "--first"},
        {"acquire -n 1x", "--samples"},       {"acquire -n 8", "--samples"},
        {"acquire --time 5parsecs", "--time"}, {"acquire -n 1k --time 1s", "--time"},
        {"acquire --time 1e20s", "--time"},   {"acquire --time 1e307h", "--time"},
        {"acquire -t 999", "--type"},         {"cards -t 999", "--type"},
        {"dividers -r 0", "--rate"},          {"acquire -O mp3", "--format"},
        {"", "subcommand"},
        // What a person is told, beside the option.
        {"acquire -c 0", "--channels: give at least one channel"},
        {"acquire -g 3", "--gain: 3 is not a gain of card type 123; it offers 1, 2, 4, 8, 16"},
        {"acquire -o run.mat", "--output: no writer knows the extension '.mat' of run.mat; name the file .csv or .wav"},
        {"acquire -m block -b 3", "--blocks: divides a continuous run of known length"},
        {"acquire --continuous -b 3", "this run has no end"},
        {"acquire -C 0,40", "--list: '0,40' is not a list of channels of card type 123 (0 to 31)"},
        {"acquire -C 3-1", "--list"},         {"acquire -C 0,,2", "--list"},
        {"acquire -C 0,2 -c 2", "either as a list or with --channels"},
        // One rule for what a card offers, in every command.
        {"acquire -t 602 -c 1 -r 1M", "--rate: 1e+06 Hz is not a rate of card type 602; it samples at 9.5375 to 102400 Hz"},
        {"view -t 602 -c 1 -r 1M", "--rate: 1e+06 Hz is not a rate of card type 602"},
        {"acquire -t 614 -g 0.5", "--gain"},
        {"view -C ''", "--list: '' names no channel"},
        {"acquire -t -123 -c 1", "--type: card type -123 is not in the catalogue"},
        {"acquire -t 602 -c 1 -r 10", "--rate: 10 Hz is below what the divider of card type 602 reaches"},
        {"dividers -r 10q", "--rate: '10q' is not a rate above 0 Hz"},
        {"acquire --csv a.csv -o b.csv", "either --csv or --output"},
        // Options that would otherwise go unheeded.
        {"acquire -O h5", "--format: -O h5 chooses the format of the file of -o, and there is none"},
        {"acquire --csv a.csv -O h5", "--format: --csv writes CSV, not h5"},
        {"acquire -C ''", "--list: '' names no channel"},
        {"acquire --compress -o a.csv", "--compress: compresses HDF5 (.h5) and sigrok (.sr) files only"},
        {"acquire --compress -o a.h5 -O npy", "and this run writes npy"},
        {"acquire --compress", "--compress: compresses the file of -o, and there is none"},
    };
    for (const auto& [args, option] : cases) {
        const Result r = kelmo(args);
        EXPECT_EQ(r.code, 2) << args << "\n" << r.err;
        EXPECT_NE(r.err.find(option), std::string::npos) << args << "\n" << r.err;
    }
    // Rates with SI suffixes everywhere a rate is given.
    const Result d = kelmo("dividers -r 10k -r 1.5M");
    EXPECT_EQ(d.code, 0) << d.err;
    EXPECT_NE(d.out.find("  123          10000 "), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("  123        1.5e+06 "), std::string::npos) << d.out;
    const Result v = kelmo("--version");
    EXPECT_EQ(v.code, 0);
    EXPECT_EQ(v.out.rfind("kelmo ", 0), 0u);
    // The library it loaded answers with its own version.
    EXPECT_EQ(v.out, "kelmo " KELMO_TEST_VERSION " (library " KELMO_TEST_VERSION ")\n");
}

// SI suffixes on rates and counts, durations instead of counts, CSV on
// standard output with the summary on standard error, and a channel with
// no signal said so.
TEST_F(KelmoCli, NumbersAsPeopleWriteThemAndStreams) {
    Result r = kelmo("acquire -r 8k -n 2k -c 1");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("8000 Hz, 2000 samples per channel"), std::string::npos) << r.out;
    r = kelmo("acquire -r 8kHz --time 250ms -c 2 -o -");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("\ntime_s,ch0,ch1\n"), std::string::npos);
    EXPECT_EQ(data_rows(r.out), 2000);
    EXPECT_NE(r.err.find("2000 samples per channel"), std::string::npos) << r.err;
    r = kelmo("acquire -r 1k -n 1k --first 20 -c 1");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("no signal"), std::string::npos) << r.out;
}

// WAV: IEEE float in a plain RIFF, the rate and channels of the run, the
// values of the CSV of the same run scaled by the full scale (in soundfile
// and sox too), the run's facts in LIST/INFO; on a pipe, the sizes of a
// stream of unknown length; on a full disk, every frame before it.
TEST_F(KelmoCli, WavReadsBack) {
    const std::string wav = temp("a.wav"), csv = temp("a.csv");
    ASSERT_EQ(kelmo("acquire -r 10k -n 1000 -C 0,3 -o " + wav).code, 0);
    ASSERT_EQ(kelmo("acquire -r 10k -n 1000 -C 0,3 --csv " + csv).code, 0);
    const std::string w = slurp(wav);
    auto u16 = [](const std::string& b, std::size_t at) { return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8); };
    auto u32 = [&](const std::string& b, std::size_t at) { return uint32_t(u16(b, at)) | uint32_t(u16(b, at + 2)) << 16; };
    EXPECT_EQ(w.substr(0, 4), "RIFF");
    EXPECT_EQ(u32(w, 4), w.size() - 8);
    auto chunks = riff_chunks(w);
    const std::string fmt = chunks["fmt "], info = chunks["LIST"];
    ASSERT_EQ(chunks["data"].size(), 1000u * 2 * 4);
    // IEEE float: the tag itself, or WAVE_FORMAT_EXTENSIBLE with it at the
    // head of the subformat (libsndfile's layout, which keeps the room for
    // an RF64 header in a JUNK chunk).
    const uint16_t tag = u16(fmt, 0);
    EXPECT_TRUE(tag == 3 || (tag == 0xFFFE && fmt.size() >= 40 && u16(fmt, 24) == 3)) << tag;
    EXPECT_EQ(u16(fmt, 14), 32);
    EXPECT_EQ(chunks.count("ds64"), 0u);
    EXPECT_EQ(u16(fmt, 2), 2);
    EXPECT_EQ(u32(fmt, 4), 10000u);
    EXPECT_EQ(info.substr(0, 4), "INFO");
    const std::size_t software = info.find("ISFT");
    ASSERT_NE(software, std::string::npos);
    EXPECT_EQ(info.substr(software + 8, 6), "kelmo ");
    EXPECT_NE(info.find("card type: 123; rate: 10000 Hz; channels: 0,3; gains: 1,1;"), std::string::npos) << info;
    EXPECT_NE(info.find("full scale: 5000; factor: 5000 "), std::string::npos) << info;
    // Channel 0 of the simulated source starts at its amplitude, 3000.
    float first = 0;
    std::memcpy(&first, chunks["data"].data(), 4);
    std::istringstream rows(slurp(csv));
    std::string header, row;
    while (std::getline(rows, header) && header.rfind('#', 0) == 0) {
    }
    EXPECT_EQ(header, "time_s,ch0,ch3");
    std::getline(rows, row);
    const double v0 = std::stod(row.substr(row.find(',') + 1));
    const int fullScale = full_scale_123();
    ASSERT_GT(fullScale, 0);
    EXPECT_NEAR(first, v0 / fullScale, 1e-6);
    // float32: within 2^-24 of the full scale (half a step at 1.0).
    const std::string read = soundfile_reads(wav, csv, fullScale * std::ldexp(1.0, -24));
    EXPECT_EQ(read.rfind("(1000, 2) 10000 FLOAT True\nkelmo " KELMO_TEST_VERSION " (library " KELMO_TEST_VERSION ")", 0), 0u)
        << read;
    EXPECT_NE(read.find("\ncard type: 123; rate: 10000 Hz; channels: 0,3;"), std::string::npos) << read;
    const std::string sox = output_of("soxi " + wav);
    for (const char* line : {"Channels       : 2\n", "Sample Rate    : 10000\n", "= 1000 samples",
                             "Sample Encoding: 32-bit Floating Point PCM\n"})
        EXPECT_NE(sox.find(line), std::string::npos) << line << "\n" << sox;
    fill_a_small_disk("full.wav", fullScale * std::ldexp(1.0, -24));

    // Through a pipe the header cannot be patched afterwards.
    const std::string piped = temp("piped.wav");
    ASSERT_EQ(kelmo("acquire -r 10k -n 1000 -c 2 -O wav -o - | cat >" + piped, " ").code, 0);
    const std::string p = slurp(piped);
    EXPECT_EQ(u32(p, 4), 0xFFFFFFFFu);
    const std::size_t data = p.find("data");
    ASSERT_NE(data, std::string::npos);
    EXPECT_EQ(u32(p, data + 4), 0xFFFFFFFFu);
    EXPECT_EQ(p.size() - data - 8, 1000u * 2 * 4);
    std::remove(piped.c_str());
    std::remove(wav.c_str());
    std::remove(csv.c_str());
}

// FLAC as soundfile and sox read it: 24 bits, the values of the CSV of the
// same run within the steps of 24 bits, the facts in its Vorbis comments;
// streamed through a pipe, every sample; what FLAC cannot hold refused
// before a file is made; on a full disk, every frame before it.
TEST_F(KelmoCli, FlacReadsBackInSoundfileAndSox) {
    const std::string flac = temp("run.flac"), csv = temp("runf.csv");
    ASSERT_EQ(kelmo("acquire -r 10k -n 5000 -C 0,3 -o " + flac).code, 0);
    ASSERT_EQ(kelmo("acquire -r 10k -n 5000 -C 0,3 --csv " + csv).code, 0);
    // 1.0 is written as 2^23 - 1 and read as 2^-23 of it: within a step
    // and a half at full scale.
    const double step = full_scale_123() * std::ldexp(1.0, -23);
    const std::string read = soundfile_reads(flac, csv, 1.5 * step);
    EXPECT_EQ(read.rfind("(5000, 2) 10000 PCM_24 True\nkelmo " KELMO_TEST_VERSION, 0), 0u) << read;
    const std::string sox = output_of("soxi " + flac);
    for (const char* line :
         {"Channels       : 2\n", "Sample Rate    : 10000\n", "Precision      : 24-bit\n", "= 5000 samples",
          "\nsoftware=kelmo " KELMO_TEST_VERSION " (library " KELMO_TEST_VERSION ")",
          "\ncomment=card type: 123; rate: 10000 Hz; channels: 0,3; gains: 1,1;", "factor: 5000 ", "\ndate=20"})
        EXPECT_NE(sox.find(line), std::string::npos) << line << "\n" << sox;
    EXPECT_EQ(output_of("soxi -b " + flac), "24\n");

    const std::string piped = temp("piped.flac");
    ASSERT_EQ(kelmo("acquire -r 10k -n 5000 -c 2 -O flac -o - | cat >" + piped, " ").code, 0);
    const std::string stat = output_of("sox " + piped + " -n stat");
    EXPECT_EQ(stat.find("FAIL"), std::string::npos) << stat;
    EXPECT_NE(stat.find("Samples read:             10000\n"), std::string::npos) << stat;

    const std::string nine = temp("nine.flac");
    Result r = kelmo("acquire -n 1k -c 9 -o " + nine);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "kelmo: cannot write " + nine + ": FLAC holds at most 8 channels, the run has 9; write WAV, "
                     ".npy or HDF5 instead\n");
    EXPECT_FALSE(std::filesystem::exists(nine));
    r = kelmo("acquire -m block -r 1M -n 10k -c 1 -O flac -o " + nine);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("FLAC holds at most 655350 Hz, the run has 1000000 Hz"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(nine));
    r = kelmo("acquire -m block -r 100005 -n 1k -c 1 -O flac -o " + nine);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("FLAC holds a rate above 65535 Hz only in whole tens of Hz, the run has 100005 Hz"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(std::filesystem::exists(nine));

    fill_a_small_disk("full.flac", 1.5 * step);
    for (const std::string& f : {flac, csv, piped}) std::remove(f.c_str());
}

// Ctrl-C ends a continuous run cleanly: exit 130, every sample acquired
// in the CSV and counted in the summary, no shared objects of the host's
// left once genwave is gone.
TEST_F(KelmoCli, InterruptedRunKeepsWhatItHas) {
    const std::string csv = temp("c.csv"), out = temp("c.out");
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string cmd = std::string(KELMO_CLI) + " acquire -r 10k --continuous -c 1 --csv " + csv + " >" + out + " 2>&1";
        ::execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 300 && lines(slurp(csv)) < 3000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(child, SIGINT);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    const std::string summary = slurp(out);
    const int rows = data_rows(slurp(csv));
    EXPECT_GE(rows, 3000);
    EXPECT_NE(summary.find(std::to_string(rows) + " samples per channel"), std::string::npos) << summary;
    stop_genwave();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string prefix = "kelmo." + shm_space() + ".";
    for (const auto& e : std::filesystem::directory_iterator(shm_folder()))
        EXPECT_NE(e.path().filename().string().rfind(prefix, 0), 0u) << e.path();
    std::remove(csv.c_str());
    std::remove(out.c_str());
}

// A CSV begins with the run's facts as comment lines; the summary finds the
// demo's 50 Hz cosine between the spectrum's bins; a list of channels keeps
// only those, numbered as the card numbers them.
TEST_F(KelmoCli, FilesSayWhatTheyHold) {
    const std::string csv = temp("facts.csv");
    const Result r = kelmo("acquire -r 10k -n 4096 -C 0,2,5-6 --csv " + csv);
    ASSERT_EQ(r.code, 0) << r.err;
    std::istringstream in(slurp(csv));
    std::vector<std::string> facts;
    std::string line;
    while (std::getline(in, line) && line.rfind("# ", 0) == 0) facts.push_back(line.substr(2, line.find(':') - 2));
    EXPECT_EQ(facts, (std::vector<std::string>{"kelmo", "card type", "rate", "channels", "gains", "unit", "full scale",
                                               "start"}));
    EXPECT_EQ(line, "time_s,ch0,ch2,ch5,ch6");
    const std::string text = slurp(csv);
    EXPECT_NE(text.find("# kelmo: " KELMO_TEST_VERSION " (library " KELMO_TEST_VERSION ")\n# card type: 123\n# rate: "
                        "10000 Hz\n# channels: 0,2,5,6\n# gains: 1,1,1,1\n"),
              std::string::npos)
        << text.substr(0, 300);
    const std::size_t start = text.find("# start: ");
    ASSERT_NE(start, std::string::npos);
    const std::string when = text.substr(start + 9, text.find('\n', start) - start - 9);
    EXPECT_EQ(when.size(), 20u) << when;  // 2026-12-09T07:07:24Z
    EXPECT_EQ(when.substr(4, 1) + when.substr(10, 1) + when.substr(19, 1), "-TZ") << when;
    EXPECT_EQ(data_rows(text), 4096);
    std::istringstream summary(r.out);
    std::vector<int> numbers;
    double hz0 = 0;
    for (std::string row; std::getline(summary, row);) {
        std::istringstream f(row);
        int ch;
        double rms, peak, hz;
        if (f >> ch >> rms >> peak >> hz) {
            numbers.push_back(ch);
            if (ch == 0) hz0 = hz;
        }
    }
    EXPECT_EQ(numbers, (std::vector<int>{0, 2, 5, 6})) << r.out;
    EXPECT_NEAR(hz0, 50.0, 0.05) << r.out;
    std::remove(csv.c_str());
}

// NumPy's reader gets the (channels, samples) array of the run, the same
// values as the run's CSV; its facts are in the .json beside it.
TEST_F(KelmoCli, NpyReadsBackInNumPy) {
    const std::string npy = temp("run.npy"), json = temp("run.json"), csv = temp("run.csv");
    ASSERT_EQ(kelmo("acquire -r 10k -n 1500 -C 0,3 -o " + npy).code, 0);
    ASSERT_EQ(kelmo("acquire -r 10k -n 1500 -C 0,3 --csv " + csv).code, 0);
    const std::string check = temp("check.out");
    const std::string cmd = "/usr/bin/python3 -c \"import numpy as n, json; a = n.load('" + npy +
                            "'); c = n.loadtxt('" + csv + "', delimiter=',', skiprows=9); "
                            "j = json.load(open('" + json + "')); print(a.shape, a.dtype, "
                            "float(abs(c[:, 1:].T - a).max()) < 1e-6, j['shape'] == list(a.shape), j['complete'], "
                            "j['channel numbers'], j['channels'], j['card type'], j['rate'], j['rate unit'], "
                            "j['full scale'], j['gains'])\" >" + check + " 2>&1";
    std::system(cmd.c_str());
    // The numbers as numbers, as the HDF5 file's attributes give them.
    EXPECT_EQ(slurp(check), "(2, 1500) float64 True True True [0, 3] [0, 3] 123 10000.0 Hz 5000.0 [1, 1]\n");
    // Its header needs the count first: no streaming of it.
    const Result r = kelmo("acquire -n 1k -c 1 -O npy -o -");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("a .npy array cannot go to standard output"), std::string::npos) << r.err;
    // A link planted where the facts go is not written through.
    const std::string planted = temp("planted.txt");
    std::ofstream(planted) << "keep";
    std::remove(json.c_str());
    std::filesystem::create_symlink(planted, json);
    const Result linked = kelmo("acquire -n 100 -c 1 -o " + npy);
    EXPECT_EQ(linked.code, 1);
    EXPECT_NE(linked.err.find("cannot write " + json + ": a symbolic link is in its place"), std::string::npos)
        << linked.err;
    EXPECT_EQ(slurp(planted), "keep");
    for (const std::string& f : {npy, json, csv, check, planted}) std::remove(f.c_str());
}

// HDF5 as h5py and h5dump read it: the (channels, samples) dataset with the
// CSV's values, the facts as attributes, gzip on request; on a full file
// system the run stops with exit 1 and the file still opens, holding
// samples up to where the disk ended and no zeros in their place.
TEST_F(KelmoCli, Hdf5ReadsBackInH5pyAndH5dump) {
    const std::string h5 = temp("run.h5"), csv = temp("run5.csv"), check = temp("check5.out");
    ASSERT_EQ(kelmo("acquire -r 10k -n 3000 -C 0,3 --compress -o " + h5).code, 0);
    ASSERT_EQ(kelmo("acquire -r 10k -n 3000 -C 0,3 --csv " + csv).code, 0);
    const std::string read = "/usr/bin/python3 -c \"import h5py, numpy as n; f = h5py.File('" + h5 +
                             "'); g = f['run']; d = g['samples']; c = n.loadtxt('" + csv +
                             "', delimiter=',', skiprows=9); print(d.shape, d.dtype, d.compression, "
                             "float(abs(c[:, 1:].T - d[:]).max()) < 1e-6, g.attrs['card type'], list(g.attrs['channels']), "
                             "g.attrs['rate'], g.attrs['full scale'], g.attrs['start'][:2])\" >" + check + " 2>&1";
    std::system(read.c_str());
    EXPECT_EQ(slurp(check), "(2, 3000) float64 gzip True 123 [0, 3] 10000.0 5000.0 20\n");
    std::system(("h5dump -a /run/rate -a '/run/kelmo version' " + h5 + " >" + check + " 2>&1").c_str());
    const std::string dump = slurp(check);
    EXPECT_NE(dump.find("(0): 10000"), std::string::npos) << dump;
    EXPECT_NE(dump.find("(0): \"" KELMO_TEST_VERSION " (library " KELMO_TEST_VERSION ")\""), std::string::npos) << dump;

    const std::string disk = temp("tiny");
    std::filesystem::create_directory(disk);
    if (std::system(("mount -t tmpfs -o size=8m tmpfs " + disk + " 2>/dev/null").c_str()) == 0) {
        const Result r = kelmo("acquire -c 8 -r 100k --time 3s -o " + disk + "/full.h5");
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, "kelmo: writing " + disk + "/full.h5 failed: the HDF5 file could not take the samples (" +
                             std::strerror(ENOSPC) + ")\n");
        std::system(("/usr/bin/python3 -c \"import h5py; d = h5py.File('" + disk +
                     "/full.h5')['run/samples']; print(d.shape[1] > 50000, int((d[0] == 0).sum()))\" >" + check + " 2>&1")
                        .c_str());
        EXPECT_EQ(slurp(check), "True 0\n");
        std::system(("umount " + disk).c_str());
    } else {
        ADD_FAILURE() << "no small file system could be mounted at " << disk << " (the test runs as root)";
    }
    std::filesystem::remove_all(disk);
    for (const std::string& f : {h5, csv, check}) std::remove(f.c_str());
}

// A sigrok session as sigrok-cli reads it: the rate, the channels named
// after their numbers and the count; the values of the run's CSV, printed
// (to sigrok's 0.01) and stored (float32), across the chunks of a run too
// long for one; the run's facts in kelmo.txt. A run killed between chunks
// leaves a file that opens; on a full file system the run stops with exit 1
// and the file still opens, the disk filled with samples.
TEST_F(KelmoCli, SigrokSessionReadsBackInSigrokCli) {
    const std::string sr = temp("run.sr"), csv = temp("runsr.csv"), analog = temp("analog.txt"),
                      script = temp("check.py"), check = temp("checksr.out");
    // 1.2M samples of two channels: three chunks of 4 MiB and less.
    ASSERT_EQ(kelmo("acquire -r 1M -n 1.2M -C 0,3 -o " + sr).code, 0);
    ASSERT_EQ(kelmo("acquire -r 1M -n 1.2M -C 0,3 --csv " + csv).code, 0);
    std::system(("sigrok-cli -i " + sr + " --show >" + check + " 2>&1").c_str());
    EXPECT_EQ(slurp(check), "Samplerate: 1000000\nChannels: 2\n- CH0: analog\n- CH3: analog\n"
                            "Analog sample count: 1200000\n");
    // sigrok-cli 0.7.2 ends -O analog with an assertion of its own and exit
    // 1, on the files it writes itself too.
    std::system(("sigrok-cli -i " + sr + " -O analog >" + analog + " 2>/dev/null").c_str());
    std::ofstream(script) << R"(import re, sys, zipfile, numpy as n
sr, csv, analog = sys.argv[1:]
z = zipfile.ZipFile(sr)
c = n.loadtxt(csv, delimiter=',', skiprows=9)[:, 1:].T
chunks = {}
for name in z.namelist():
    m = re.fullmatch(r'analog-1-(\d+)-(\d+)', name)
    if m: chunks.setdefault(int(m[1]), {})[int(m[2])] = n.frombuffer(z.read(name), '<f4')
stored = [n.concatenate([k[i] for i in sorted(k)]) for _, k in sorted(chunks.items())]
printed = {}
for line in open(analog):
    name, value, unit = line.split()[:3]
    printed.setdefault(name, []).append(float(value) * {'kV': 1e3, 'MV': 1e6, 'mV': 1e-3}.get(unit, 1))
p = [n.array(printed.get(name, [])) for name in ('CH0:', 'CH3:')]
print(z.namelist()[:3], [len(k) for k in chunks.values()], [len(s) for s in stored], [len(v) for v in p],
      all(len(s) == len(v) and abs(s - v).max() <= abs(v).max() * 2**-23 + 1e-6 for s, v in zip(stored, c)),
      all(len(a) == len(v) and abs(a - v).max() <= 0.005 + abs(v).max() * 2**-23 for a, v in zip(p, c)))
print(z.read('kelmo.txt').decode())
)";
    std::system(("/usr/bin/python3 " + script + " " + sr + " " + csv + " " + analog + " >" + check + " 2>&1").c_str());
    const std::string read = slurp(check);
    // (Each channel's first chunk is the empty one the session starts with.)
    EXPECT_EQ(read.substr(0, read.find('\n') + 1), "['version', 'metadata', 'kelmo.txt'] [4, 4] [1200000, 1200000] "
                                                   "[1200000, 1200000] True True\n")
        << read;
    EXPECT_NE(read.find("\ncard type: 123\nrate: 1000000 Hz\nchannels: 0,3\n"), std::string::npos) << read;

    const Result r = kelmo("acquire -n 1k -c 1 -O sr -o -");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("a sigrok session file cannot go to standard output"), std::string::npos) << r.err;

    const std::string disk = temp("tinysr");
    std::filesystem::create_directory(disk);
    if (std::system(("mount -t tmpfs -o size=8m tmpfs " + disk + " 2>/dev/null").c_str()) == 0) {
        const Result full = kelmo("acquire -c 8 -r 100k --time 3s -o " + disk + "/full.sr");
        EXPECT_EQ(full.code, 1);
        EXPECT_EQ(full.err, "kelmo: writing " + disk + "/full.sr failed: Write error: " + std::strerror(ENOSPC) + "\n");
        std::system(("sigrok-cli -i " + disk + "/full.sr --show 2>&1 | tail -n 1 >" + check).c_str());
        const std::string count = slurp(check);
        ASSERT_EQ(count.rfind("Analog sample count: ", 0), 0u) << count;
        // 8 MiB hold 262144 samples of 8 channels: all but the last few
        // thousand are there, not just the chunks of 4 MiB that fitted.
        EXPECT_GT(std::stol(count.substr(21)), 250000) << count;
        std::system(("/usr/bin/python3 -c \"import zipfile, numpy as n; z = zipfile.ZipFile('" + disk +
                     "/full.sr'); d = [n.frombuffer(z.read(e), '<f4') for e in z.namelist() if e.startswith('analog-1-1-')]; "
                     "print(int((n.concatenate(d) == 0).sum()))\" >" + check + " 2>&1; ls " + disk + " >>" + check)
                        .c_str());
        EXPECT_EQ(slurp(check), "0\nfull.sr\n");
        std::system(("umount " + disk).c_str());
    } else {
        ADD_FAILURE() << "no small file system could be mounted at " << disk << " (the test runs as root)";
    }
    std::filesystem::remove_all(disk);
    for (const std::string& f : {sr, csv, analog, script, check}) std::remove(f.c_str());
}

// A disk slower than the acquisition for longer than --buffer covers stops
// the run: exit 1, one line that says where, and a file with every sample
// up to there and none after a gap.
TEST_F(KelmoCli, ASlowDiskStopsTheRunWithoutAGap) {
    const std::string csv = temp("slow.csv");
    ::setenv("KELMO_WRITER_DELAY_MS", "200", 1);
    const Result r = kelmo("acquire -r 100k --time 5s -c 4 --buffer 100ms -o " + csv);
    ::unsetenv("KELMO_WRITER_DELAY_MS");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    const std::string line = "kelmo: the output could not keep up with the acquisition: the run stops at sample ";
    ASSERT_EQ(r.err.rfind(line, 0), 0u) << r.err;
    const long long at = std::stoll(r.err.substr(line.size()));
    EXPECT_GT(at, 0);
    EXPECT_LT(at, 500000);
    EXPECT_NE(r.err.find("the file holds the " + std::to_string(at) + " samples per channel before it; give --buffer "
                         "more seconds"),
              std::string::npos);
    const std::string text = slurp(csv);
    EXPECT_EQ(data_rows(text), at);
    // The time column runs on without a jump to its last row.
    const std::size_t last = text.rfind('\n', text.size() - 2) + 1;
    EXPECT_NEAR(std::stod(text.substr(last)), double(at - 1) / 1e5, 1e-9);
    EXPECT_EQ(kelmo("acquire --buffer 0 -c 1").code, 2);

    // However long --buffer is, memory bounds the queue, and the line says so.
    ::setenv("KELMO_WRITER_DELAY_MS", "200", 1);
    ::setenv("KELMO_WRITER_MOST_BYTES", "320000", 1);  // 10000 samples of 4 channels
    const Result capped = kelmo("acquire -r 100k --time 5s -c 4 --buffer 1h -o " + csv);
    ::unsetenv("KELMO_WRITER_DELAY_MS");
    ::unsetenv("KELMO_WRITER_MOST_BYTES");
    EXPECT_EQ(capped.code, 1);
    EXPECT_NE(capped.err.find("the queue is at its most (1 GiB)"), std::string::npos) << capped.err;
    std::remove(csv.c_str());
}

// A source that runs faster than real time (zebsim --unpaced) fills any
// queue: the line says so, instead of blaming the disk.
TEST_F(KelmoCli, ASourceFasterThanRealTimeIsNamedNotTheDisk) {
    const std::string dir = temp("fast"), err = temp("fast.err"), rc = temp("fast.rc"), csv = temp("fast.csv");
    std::filesystem::create_directory(dir);
    const std::string run = "zebsim --unpaced --dir " + dir + " >/dev/null & z=$!; for i in $(seq 50); do [ -S " + dir +
                            "/ZEB1 ] && break; sleep 0.1; done; KELMO_WRITER_DELAY_MS=50 KELMO_DEVICE_DIR=" + dir +
                            " timeout 60 " + KELMO_CLI + " acquire -t 602 -r 10k --time 1h -c 1 --buffer 3s -o " + csv +
                            " >/dev/null 2>" + err + "; echo $? >" + rc + "; kill $z; wait";
    std::system(run.c_str());
    EXPECT_EQ(slurp(rc), "1\n");
    const std::string said = slurp(err);
    EXPECT_EQ(said.rfind("kelmo: the output could not keep up with the acquisition: the run stops at sample ", 0), 0u)
        << said;
    EXPECT_NE(said.find("Hz in "), std::string::npos) << said;
    EXPECT_NE(said.find(", faster than real time, which no disk keeps up with: pace the source"), std::string::npos)
        << said;
    EXPECT_EQ(said.find("faster disk"), std::string::npos) << said;
    std::filesystem::remove_all(dir);
    for (const auto& f : {err, rc, csv}) std::remove(f.c_str());
}

// Raw words carry the scale and offset that give back the values, in HDF5
// and .npy; the simulated source's published parameters go in with them.
TEST_F(KelmoCli, RawWordsAndParametersGoIntoTheFile) {
    const std::string raw = temp("raw.h5"), values = temp("values.h5"), npy = temp("raw.npy"), json = temp("raw.json"),
                      check = temp("raw.out");
    ASSERT_EQ(kelmo("acquire -t 124 -r 10k -n 2000 -C 0,3 --raw -o " + raw).code, 0);
    ASSERT_EQ(kelmo("acquire -t 124 -r 10k -n 2000 -C 0,3 -o " + values).code, 0);
    ASSERT_EQ(kelmo("acquire -t 124 -r 10k -n 2000 -C 0,3 --raw -o " + npy).code, 0);
    const std::string read =
        "/usr/bin/python3 -c \"import h5py, numpy as n, json; g = h5py.File('" + raw + "')['run']; v = h5py.File('" +
        values + "')['run']['samples'][:]; w = g['samples']; a = n.load('" + npy + "'); j = json.load(open('" + json +
        "')); s = g.attrs['raw scale']; x = w[:] * s + g.attrs['raw offset']; "
        "print(w.dtype, a.dtype, bool(abs(x - v).max() <= s), bool((a == w[:]).all()), j['raw scale'] == s, "
        "g['parameters'].attrs['entry 0'], j['parameters'][3].split()[2])\" >" + check + " 2>&1";
    std::system(read.c_str());
    EXPECT_EQ(slurp(check), "int32 int32 True True True cosine constant f 50..50 Hz amp 3000..3000 period 1 s "
                            "phase 0 shape 0 square\n");
    const Result csv = kelmo("acquire -n 100 -c 1 --raw --csv " + temp("raw.csv"));
    EXPECT_EQ(csv.code, 2);
    EXPECT_NE(csv.err.find("raw words go into HDF5 (.h5) or NumPy (.npy) files only"), std::string::npos) << csv.err;
    for (const std::string& f : {raw, values, npy, json, check}) std::remove(f.c_str());
}

// An HDF5 file being recorded can be read as it grows, and after a full
// disk holds what was written before (a 5 MiB file system of its own, where
// the test may mount one).
TEST_F(KelmoCli, AnHdf5RecordingIsReadAsItGrows) {
    const std::string file = temp("live.h5"), check = temp("live.check"), reader = temp("live.py");
    std::ofstream(reader) << "import h5py, time\nf = h5py.File('" << file << "', 'r', swmr=True)\n"
                          << "d = f['run/samples']\na = d.shape[1]\ntime.sleep(1)\nd.refresh()\n"
                          << "print(a > 0, d.shape[1] > a, abs(d[0, 0] - 3000) < 1e-9)\n";
    std::system((std::string(KELMO_CLI) + " acquire --continuous -c 2 -o " + file + " >/dev/null 2>&1 & pid=$!; " +
                 "sleep 2; /usr/bin/python3 " + reader + " >" + check + " 2>&1; kill -INT $pid; wait $pid")
                    .c_str());
    EXPECT_EQ(slurp(check), "True True True\n");
    std::remove(reader.c_str());
    std::remove(file.c_str());
    std::remove(check.c_str());

    const std::string small = temp("small");
    ::mkdir(small.c_str(), 0700);
    if (std::system(("mount -t tmpfs -o size=5m tmpfs " + small + " 2>/dev/null").c_str()) != 0) {
        ::rmdir(small.c_str());
        GTEST_SKIP() << "no file system of its own can be mounted here";
    }
    const Result r = kelmo("acquire --continuous -r 100k -c 2 -o " + small + "/full.h5");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    std::system(("/usr/bin/python3 -c \"import h5py; d = h5py.File('" + small +
                 "/full.h5')['run/samples']; print(d.shape[1] > 100000, int((d[0] == 0).sum()))\" >" + check +
                 " 2>&1").c_str());
    EXPECT_EQ(slurp(check), "True 0\n");  // no zeros where a block did not fit
    std::system(("umount " + small).c_str());
    ::rmdir(small.c_str());
    std::remove(check.c_str());
}

// A run that cannot start leaves what is there as it was: the source is
// asked, the plot tool looked for and the names checked before the output
// is made; a low rate still stops within half a second of Ctrl-C, and a
// block call at once.
TEST_F(KelmoCli, NothingIsTouchedBeforeTheRunCanStart) {
    const std::string kept = temp("kept.h5"), dir = temp("nodev");
    auto untouched = [&] { return slurp(kept) == "earlier recording\n"; };
    std::ofstream(kept) << "earlier recording\n";
    ::setenv("KELMO_DEVICE_DIR", dir.c_str(), 1);
    Result r = kelmo("acquire -t 602 -c 1 -n 1k -o " + kept);
    ::unsetenv("KELMO_DEVICE_DIR");
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_TRUE(untouched()) << "a card with no device";
    r = kelmo("acquire -n 1k -o " + kept + " --plot " + kept);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("--plot: the plot " + kept + " would replace the recording"), std::string::npos) << r.err;
    EXPECT_TRUE(untouched()) << "the plot's name";
    {
        const std::string cmd = "PATH=/nonexistent " + std::string(KELMO_CLI) + " acquire -n 1k -o " + kept +
                                " --plot " + temp("p.png") + " >/dev/null 2>&1";
        const int status = std::system(cmd.c_str());
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
    }
    EXPECT_TRUE(untouched()) << "no gnuplot";
    r = kelmo("acquire -n 1k -o " + testing::TempDir());
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("is a folder"), std::string::npos) << r.err;
    r = kelmo("acquire -n 1k -o " + temp("no/such/folder/run.csv"));
    EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
    const std::string fifo = temp("fifo.npy");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    r = kelmo("acquire -n 1k -o " + fifo);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("is a pipe or a device"), std::string::npos) << r.err;
    std::remove(fifo.c_str());
    std::remove(kept.c_str());

    for (const std::string mode : {"--continuous", "-m block -n 1000"}) {
        const std::string cmd = "timeout --preserve-status -s INT 2 " + std::string(KELMO_CLI) + " acquire " + mode +
                                " -r 100 -c 1 >/dev/null 2>&1";
        const auto t0 = std::chrono::steady_clock::now();
        const int status = std::system(cmd.c_str());
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 130) << mode;
        // A fetch of 1024 samples at 100 Hz held it back 10 s; the bound
        // leaves a loaded machine its seconds.
        EXPECT_LT(s, 6.0) << mode << ": a fetch at 100 Hz held Ctrl-C back";
    }
}

// A file system of its own for a test, small enough to fill (the tests run
// as root); where none can be mounted the test fails, as the others do.
class SmallDisk {
public:
    SmallDisk(const std::string& name, const std::string& size) : dir_(temp(name)) {
        std::filesystem::create_directory(dir_);
        mounted_ = std::system(("mount -t tmpfs -o size=" + size + " tmpfs " + dir_ + " 2>/dev/null").c_str()) == 0;
        if (!mounted_) ADD_FAILURE() << "no small file system could be mounted at " << dir_ << " (the test runs as root)";
    }
    ~SmallDisk() {
        if (mounted_) std::system(("umount " + dir_).c_str());
        std::filesystem::remove_all(dir_);
    }
    bool mounted() const { return mounted_; }
    std::string operator/(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
    bool mounted_ = false;
};

// kelmo with these arguments as they are, no shell between (names with
// any bytes in them).
Result kelmo_argv(const std::vector<std::string>& args) {
    const std::string out = temp("argv.out"), err = temp("argv.err");
    const pid_t child = ::fork();
    if (child == 0) {
        std::vector<char*> argv{const_cast<char*>(KELMO_CLI)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr)) ::_exit(126);
        ::execv(KELMO_CLI, argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    Result r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return r;
}

// Python reads a file with `reader` (which leaves its samples in x, shaped
// (channels, samples)) and prints the count of samples and whether channel
// 0 is the simulated source's 50 Hz cosine of 3000 (x times `scale`) from
// the first, at `rate`.
std::string signal_in(const std::string& reader, double rate, double scale, double tolerance) {
    return python("import sys, numpy as n, json\n" + reader +
                  "\nt = n.arange(x.shape[1]) / " + std::to_string(rate) +
                  "\nok = x.shape[1] == 0 or float(abs(x[0] * " + std::to_string(scale) +
                  " - 3000 * n.cos(2 * n.pi * 50 * t)).max()) <= " + std::to_string(tolerance) +
                  "\nprint(x.shape[1], ok)\n");
}

// CSV rows are the values as printf gives them (the time to 9 significant
// digits, the values to 6 decimals), and whole: a full disk leaves the file
// cut back to the end of its last whole row, never a part of one that a
// reader takes for a sample.
TEST_F(KelmoCli, ACsvHoldsWholeRowsOnly) {
    const std::string csv = temp("rows.csv");
    ASSERT_EQ(kelmo("acquire -r 10k -n 5000 -C 0,3 --csv " + csv).code, 0);
    std::istringstream in(slurp(csv));
    std::string line;
    while (std::getline(in, line) && line.rfind('#', 0) == 0) {
    }
    int rows = 0, unlike = 0;
    for (; std::getline(in, line); ++rows) {
        char b[64];
        std::istringstream fields(line);
        std::string field;
        std::getline(fields, field, ',');
        std::snprintf(b, sizeof b, "%.9g", rows / 1e4);
        unlike += field != b;
        while (std::getline(fields, field, ',')) {
            std::snprintf(b, sizeof b, "%.6f", std::stod(field));
            unlike += field != b;
        }
    }
    EXPECT_EQ(rows, 5000);
    EXPECT_EQ(unlike, 0);
    std::remove(csv.c_str());

    SmallDisk disk("csvdisk", "1m");
    if (!disk.mounted()) return;
    const std::string full = disk / "full.csv";
    const Result r = kelmo("acquire -C 0,2 -r 100k --time 3s -o " + full);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "kelmo: writing " + full + " failed: " + std::strerror(ENOSPC) + "\n");
    const std::string text = slurp(full);
    ASSERT_GT(text.size(), 500000u);
    EXPECT_EQ(text.back(), '\n') << text.substr(text.size() - 80);
    const std::string read = signal_in("c = n.loadtxt('" + full + "', delimiter=',', skiprows=9, ndmin=2)\n"
                                       "assert (abs(c[:, 0] - n.arange(len(c)) / 1e5) < 1e-9).all()\nx = c[:, 1:].T",
                                       1e5, 1, 2e-6);
    EXPECT_GT(std::atol(read.c_str()), 10000) << read;
    EXPECT_NE(read.find(" True\n"), std::string::npos) << read;
}

// A .npy on a disk that fills up: the array holds the whole samples that
// fitted, its header says so, and the .json says the same (written over the
// one of the run's beginning, as there is no room for a new one).
TEST_F(KelmoCli, ANpyOnAFullDiskSaysWhatItHolds) {
    SmallDisk disk("npydisk", "1m");
    if (!disk.mounted()) return;
    const std::string npy = disk / "full.npy", json = disk / "full.json";
    const Result r = kelmo("acquire -C 0,2 -r 100k --time 3s -o " + npy);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "kelmo: writing " + npy + " failed: " + std::strerror(ENOSPC) + "\n");
    const std::string read = signal_in("x = n.load('" + npy + "')\nimport os\nj = json.load(open('" + json +
                                       "'))\nprint(j['shape'] == list(x.shape), j['complete'], j['failure'], "
                                       "os.path.getsize('" + npy + "') == 128 + x.size * 8)",
                                       1e5, 1, 1e-6);
    EXPECT_EQ(read.substr(0, read.find('\n') + 1), "True False " + std::string(std::strerror(ENOSPC)) + " True\n") << read;
    EXPECT_GT(std::atol(read.substr(read.find('\n') + 1).c_str()), 10000) << read;
    EXPECT_NE(read.find(" True\n", read.find('\n')), std::string::npos) << read;
    std::size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(npy.substr(0, npy.rfind('/')))) files += e.is_regular_file();
    EXPECT_EQ(files, 2u);  // the array and its facts, no part of a new .json
}

// The .json beside a .npy is JSON whatever the file is called (control
// characters escaped, bytes that are not UTF-8 as U+FFFD), and never the
// array itself: run.json's facts go to run.json.json.
TEST_F(KelmoCli, NpyFactsAreJsonForAnyName) {
    for (const std::string name : {"a\nb\x01.npy", "\xff\xfe q\".npy"}) {
        const std::string npy = temp(name), json = npy.substr(0, npy.size() - 4) + ".json", list = temp("names.txt");
        const Result r = kelmo_argv({"acquire", "-r", "10k", "-n", "1000", "-c", "1", "-o", npy});
        ASSERT_EQ(r.code, 0) << r.err;
        std::ofstream(list, std::ios::binary) << json;
        const std::string read = python("import json\np = open('" + list + "', 'rb').read()\n"
                                        "j = json.load(open(p, encoding='utf-8'))\nprint(ascii(j['array']), j['shape'])\n");
        std::string expected = name == "a\nb\x01.npy" ? "a\\nb\\x01.npy" : "\\ufffd\\ufffd q\".npy";
        EXPECT_NE(read.find(expected + "' [1, 1000]\n"), std::string::npos) << read;
        std::remove(npy.c_str());
        std::remove(json.c_str());
        std::remove(list.c_str());
    }
    const std::string array = temp("run.json"), facts = temp("run.json.json");
    ASSERT_EQ(kelmo("acquire -r 10k -n 1000 -c 1 -O npy -o " + array).code, 0);
    const std::string read = python("import numpy as n, json\nprint(n.load('" + array + "').shape, json.load(open('" +
                                    facts + "'))['array'] == '" + array + "')\n");
    EXPECT_EQ(read, "(1, 1000) True\n");
    std::remove(array.c_str());
    std::remove(facts.c_str());
}

// A FIFO: the formats rewritten as they grow are refused before anything
// waits for a reader; WAV and FLAC stream into it, written write-only, so
// that a reader that goes away ends the run at once (exit 1, the reason),
// never a hang; and a pipe closed under standard output is said too, not a
// silent death by SIGPIPE.
TEST_F(KelmoCli, APipeThatGoesAwayEndsTheRun) {
    for (const std::string ext : {"npy", "h5", "sr"}) {
        const std::string fifo = temp("fifo." + ext);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        // The tool knows it before the run (a usage error); the writer
        // itself refuses it too, for the hosts of the record library.
        const Result r = kelmo("acquire -n 1k -c 1 -o " + fifo);
        EXPECT_EQ(r.code, 2) << ext << ": " << r.err;
        EXPECT_NE(r.err.find("--output: " + fifo + " is a pipe or a device, and a ." + ext +
                             " file is rewritten as it grows, which a pipe cannot take"),
                  std::string::npos)
            << r.err;
        std::remove(fifo.c_str());
    }
    for (const std::string ext : {"wav", "flac"}) {
        const std::string fifo = temp("fifo." + ext), err = temp("fifo.err"), rc = temp("fifo.rc");
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        const std::string cmd = "head -c 1000 " + fifo + " >/dev/null & timeout 20 " + std::string(KELMO_CLI) +
                                " acquire -r 10k --continuous -c 2 -o " + fifo + " >/dev/null 2>" + err +
                                "; echo $? >" + rc + "; wait";
        std::system(cmd.c_str());
        EXPECT_EQ(slurp(rc), "1\n") << ext << ": " << slurp(err);
        EXPECT_EQ(slurp(err), "kelmo: writing " + fifo + " failed: " + std::strerror(EPIPE) + "\n") << ext;
        for (const std::string& f : {fifo, err, rc}) std::remove(f.c_str());
    }
    const std::string err = temp("sigpipe.err"), rc = temp("sigpipe.rc");
    const std::string cmd = "{ timeout 20 " + std::string(KELMO_CLI) + " acquire --continuous -c 1 -o - 2>" + err +
                            "; echo $? >" + rc + "; } | head -n 2 >/dev/null";
    std::system(cmd.c_str());
    EXPECT_EQ(slurp(rc), "1\n");
    EXPECT_EQ(slurp(err), "kelmo: writing standard output failed: " + std::string(std::strerror(EPIPE)) + "\n");
    std::remove(err.c_str());
    std::remove(rc.c_str());
}

// Values whose number or count cannot be held are no values.
TEST(KelmoValues, OnlyRepresentableNumbers) {
    using namespace kelmo::cli;
    EXPECT_EQ(parse_channel_list("0,2,5-7", 31), (std::vector<int>{0, 2, 5, 6, 7}));
    EXPECT_EQ(parse_channel_list("7,1-2,2", 7), (std::vector<int>{1, 2, 7}));
    for (const char* bad : {"", ",", "1,", "-1", "2-1", "0-8", "a", "1.5", "99999999999", " 1"})
        EXPECT_FALSE(parse_channel_list(bad, 7)) << bad;
    EXPECT_EQ(parse_si("1.5M"), 1.5e6);
    EXPECT_EQ(parse_si("44100Hz"), 44100.0);
    EXPECT_FALSE(parse_si("1e308k"));
    EXPECT_FALSE(parse_si("1e306G"));
    EXPECT_FALSE(parse_si("nan"));
    EXPECT_FALSE(parse_si("-infk"));
    EXPECT_EQ(parse_count("9e15"), int64_t{9000000000000000});
    EXPECT_FALSE(parse_count("1e16"));
    EXPECT_FALSE(parse_count("1e308M"));
    EXPECT_EQ(parse_seconds("1.5min"), 90.0);
    EXPECT_FALSE(parse_seconds("1e307h"));
    EXPECT_FALSE(parse_seconds("1e307min"));
    EXPECT_FALSE(parse_seconds("nans"));
    EXPECT_EQ(count_of(0.25, 8000), int64_t{2000});
    EXPECT_EQ(count_of(9e11, 1e4), int64_t{9000000000000000});
    EXPECT_FALSE(count_of(1e20, 1e4));
    EXPECT_FALSE(count_of(1e300, 1e300));
    EXPECT_FALSE(count_of(std::nan(""), 1e4));
    EXPECT_FALSE(count_of(-1.0, 1e4));
}

TEST_F(KelmoCli, WriteFailuresAreFailures) {
    // Known before the run: a folder that is not there.
    Result r = kelmo("acquire -n 1k -c 1 --csv /nonexistent/a.csv");
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("the folder /nonexistent of /nonexistent/a.csv does not exist"), std::string::npos) << r.err;
    r = kelmo("acquire -n 1k -c 1 --plot /nonexistent/a.png");
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("the folder /nonexistent of /nonexistent/a.png does not exist"), std::string::npos) << r.err;
    // A plot into a pipe nobody reads would never end; into a folder it
    // could not begin.
    const std::string fifo = temp("plot.png");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    r = kelmo("acquire -n 1k -c 1 --plot " + fifo);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("--plot: " + fifo + " is a pipe or a device"), std::string::npos) << r.err;
    ::unlink(fifo.c_str());
    r = kelmo("acquire -n 1k -c 1 --plot " + testing::TempDir());
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("is a folder"), std::string::npos) << r.err;
    // Found as it is written: a folder that cannot be written.
    const std::string ro = temp("ro");
    ::mkdir(ro.c_str(), 0500);
    r = kelmo("acquire -n 1k -c 1 --plot " + ro + "/a.png");
    if (::geteuid() != 0) {
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find("cannot write " + ro + "/a.png"), std::string::npos) << r.err;
    }
    ::rmdir(ro.c_str());
    EXPECT_EQ(r.out.find("PNG"), std::string::npos);  // no image on the terminal
}

// A write that fails ends the run at once: one line naming the output and
// the cause, exit 1, and a continuous acquisition stopped (zebsim sees the
// stop request last, after a reader that went away).
TEST_F(KelmoCli, AFailedWriteStopsTheRun) {
    const std::string full = "writing /dev/full failed: " + std::string(std::strerror(ENOSPC)) + "\n";
    for (const char* args : {"--continuous -c 1 -o /dev/full", "--continuous -c 2 -O wav -o /dev/full",
                             "-n 100k -c 1 -o /dev/full", "-m block -r 1M -n 100k -c 1 -o /dev/full",
                             "-m block -r 1M -n 100k -c 1 -O wav -o /dev/full"}) {
        const Result r = kelmo(std::string("acquire ") + args);
        EXPECT_EQ(r.code, 1) << args << "\n" << r.err;
        EXPECT_EQ(r.err, "kelmo: " + full) << args;
        EXPECT_EQ(r.out, "") << args;  // no summary of a run whose samples were lost
    }
    // A reader that went away, SIGPIPE ignored (as by many a supervisor).
    const std::string err = temp("pipe.err"), rc = temp("pipe.rc");
    const std::string cmd = "trap '' PIPE; { timeout 60 " + std::string(KELMO_CLI) + " acquire --continuous -c 1 -o - 2>" +
                            err + "; echo $? >" + rc + "; } | head -n 2 >/dev/null";
    std::system(cmd.c_str());
    EXPECT_EQ(slurp(rc), "1\n");
    EXPECT_EQ(slurp(err), "kelmo: writing standard output failed: " + std::string(std::strerror(EPIPE)) + "\n");
    std::remove(err.c_str());
    std::remove(rc.c_str());

    const std::string dir = temp("dev"), log = dir + "/log";
    std::filesystem::create_directory(dir);
    const std::string card = "zebsim --unpaced --dir " + dir + " --log " + log + " >/dev/null & z=$!; for i in $(seq 50); do [ -S " +
                             dir + "/ZEB1 ] && break; sleep 0.1; done; { KELMO_DEVICE_DIR=" + dir + " timeout 60 " +
                             KELMO_CLI + " acquire -t 602 -r 10k --continuous -c 1 -o - 2>/dev/null; echo $? >" + rc +
                             "; } | head -c 2000 >/dev/null; kill $z; wait";
    std::system(card.c_str());
    EXPECT_EQ(slurp(rc), "1\n");
    std::istringstream requests(slurp(log));
    std::string request, last;
    while (std::getline(requests, request)) last = request;
    EXPECT_EQ(last.rfind("code=0x222463 ", 0), 0u) << last;  // the stop request of 602
    std::filesystem::remove_all(dir);
    std::remove(rc.c_str());
}

// A write blocked on a full pipe whose reader goes away returns what it
// wrote, the kernel raising SIGPIPE all the same; the next write says
// EPIPE. Neither may end the program (SIGPIPE left at its default here).
TEST(KelmoPipes, AReaderGoingAwayMidWriteIsAFailureNotASignal) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        int p[2];
        if (::pipe(p) != 0) ::_exit(10);
        std::thread reader([&] {
            char some[1000];
            if (::read(p[0], some, sizeof some) <= 0) ::_exit(11);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the writer waits on a full pipe
            ::close(p[0]);
        });
        const std::vector<char> much(4 << 20, 'x');
        const long first = kelmo::tools::write_some(p[1], much.data(), much.size());
        reader.join();
        if (first <= 0 || std::size_t(first) >= much.size()) ::_exit(12);
        const long second = kelmo::tools::write_some(p[1], much.data(), much.size());
        ::_exit(second < 0 && errno == EPIPE ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
}

// Samples the card lost (it says so in the status of the block after them)
// are a failure of the run, said with where the first gap is.
TEST_F(KelmoCli, SamplesTheCardLostAreNotSilent) {
    const std::string dir = temp("late"), err = temp("late.err"), rc = temp("late.rc");
    std::filesystem::create_directory(dir);
    // zebsim runs in real time, as a card does, unless told otherwise.
    const std::string run = "zebsim --dir " + dir + " --delay-ms 60 >/dev/null & z=$!; for i in $(seq 50); do [ -S " +
                            dir + "/ZEB1 ] && break; sleep 0.1; done; KELMO_DEVICE_DIR=" + dir + " timeout 60 " +
                            KELMO_CLI + " acquire -t 602 -r 100k -n 8k -b 8 -c 1 >/dev/null 2>" + err + "; echo $? >" + rc +
                            "; kill $z; wait";
    std::system(run.c_str());
    EXPECT_EQ(slurp(rc), "1\n");
    EXPECT_NE(slurp(err).find("kelmo: the card lost samples "), std::string::npos) << slurp(err);
    EXPECT_NE(slurp(err).find("the samples have gaps there"), std::string::npos);
    std::filesystem::remove_all(dir);
    std::remove(err.c_str());
    std::remove(rc.c_str());
}

// What goes to standard output is checked before the exit.
TEST_F(KelmoCli, LostStandardOutputIsAFailure) {
    const std::string full = "kelmo: writing standard output failed: " + std::string(std::strerror(ENOSPC));
    for (const char* args : {"cards", "dividers", "scan", "acquire -n 1k -c 1", "--version", "acquire --help"}) {
        const Result r = kelmo(args, ">/dev/full");
        EXPECT_EQ(r.code, 1) << args << "\n" << r.err;
        EXPECT_NE(r.err.find(full), std::string::npos) << args << "\n" << r.err;
    }
}

// A tool started with its standard descriptors closed keeps its output out
// of the shared memories the library opens (they would take the numbers
// 1 and 2), and a closed standard output still fails the run.
TEST_F(KelmoCli, ClosedStandardDescriptorsStayOutOfSharedMemory) {
    auto shared_text = [](const std::string& space) {
        std::string all;
        for (const auto& e : std::filesystem::directory_iterator(shm_folder()))
            if (e.path().filename().string().rfind("kelmo." + space + ".", 0) == 0) all += slurp(e.path().string());
        return all;
    };
    for (const char* stderrTo : {"", "2>&-"}) {
        const Result r = kelmo("acquire -n 1k -c 2 -o -", "1>&-", stderrTo);
        EXPECT_EQ(r.code, 1) << stderrTo;
        if (!*stderrTo) {
            EXPECT_EQ(r.err, "kelmo: writing standard output failed: " + std::string(std::strerror(EBADF)) + "\n");
        }
        const std::string shared = shared_text(shm_space());
        EXPECT_EQ(shared.find("time_s"), std::string::npos) << stderrTo;
        EXPECT_EQ(shared.find("standard output"), std::string::npos) << stderrTo;
    }
    const Result cards = kelmo("cards", "1>&-");
    EXPECT_EQ(cards.code, 1);
    EXPECT_EQ(cards.err, "kelmo: writing standard output failed: " + std::string(std::strerror(EBADF)) + "\n");

    // genwave, in a namespace of its own, looked at while it holds its
    // objects (it prints its first lines once they are published).
    const std::string own = shm_space() + "-fd" + std::to_string(::getpid()), dump = temp("shm");
    const std::string cmd = "KELMO_SHM_NAMESPACE=" + own + " genwave --for 2 1>&- 2>&- & for i in $(seq 50); do [ -e " +
                            shm_folder() + "/kelmo." + own + ".Vort123SigPara ] && break; sleep 0.1; done; sleep 0.3; cat " +
                            shm_folder() + "/kelmo." + own + ".* >" + dump + "; wait";
    std::system(cmd.c_str());
    const std::string held = slurp(dump);
    EXPECT_GT(held.size(), 0u);
    EXPECT_EQ(held.find("genwave:"), std::string::npos);
    std::remove(dump.c_str());
}

}  // namespace
