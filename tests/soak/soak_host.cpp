// A host of the soak run: acquires through the shared library until it is
// asked to stop (SIGTERM), checks every block it gets and prints its counts
// every few seconds and once more at the end:
//
//   soak_host <role> blocks=N gaps=N repeats=N failures=N [more counts]
//
// Roles (each in a shared-memory namespace of its own, with its own
// genwave, or with its own zebsim):
//
//   sim        a continuous acquisition of the simulated source. The
//              parameter entries named by --known carry a cosine that the
//              parameter churn never changes; every block of such an entry
//              must be the one the running time base predicts (sample n of
//              the run is A cos(2 pi f n dt + phi)), and the count the library
//              publishes in the parameter block must have moved by exactly
//              one block. A block that is some other block of the run counts
//              as a gap (later) or a repeat (earlier).
//   zeb        a continuous acquisition from zebsim, whose channel c carries
//              A sin(2 pi r_c s) at raw sample s (its --signal options): every
//              sample is checked against the block the time base predicts.
//   trig       triggered acquisitions of the simulated source, one after the
//              other: most never trigger and end by an interrupt from another
//              process (result 1); every fourth fires on a rising edge of a
//              known cosine (result 0). The samples delivered must follow one
//              another without a jump (a cosine sampled at a fixed rate obeys
//              x[n+1] = 2 cos(w) x[n] - x[n-1]).
//   interrupt  calls InterruptTrigSample every --every seconds.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kelmo.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

std::atomic<bool> g_stop{false};  // lock-free, so a signal handler may set it
extern "C" void on_term(int) { g_stop = true; }

using Clock = std::chrono::steady_clock;

// --key=value options.
struct Options {
    std::map<std::string, std::vector<std::string>> v;
    std::string get(const std::string& k, const std::string& def) const {
        auto it = v.find(k);
        return it == v.end() || it->second.empty() ? def : it->second.back();
    }
    double num(const std::string& k, double def) const {
        const std::string s = get(k, "");
        return s.empty() ? def : std::strtod(s.c_str(), nullptr);
    }
    std::vector<std::string> all(const std::string& k) const {
        auto it = v.find(k);
        return it == v.end() ? std::vector<std::string>{} : it->second;
    }
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--", 0) != 0) continue;
        const auto eq = a.find('=');
        o.v[a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2)].push_back(
            eq == std::string::npos ? "1" : a.substr(eq + 1));
    }
    return o;
}

// Splits "a:b:c" into numbers.
std::vector<double> numbers(const std::string& s) {
    std::vector<double> out;
    std::size_t at = 0;
    while (at <= s.size()) {
        const auto colon = s.find(':', at);
        const std::string part = s.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
        out.push_back(std::strtod(part.c_str(), nullptr));
        if (colon == std::string::npos) break;
        at = colon + 1;
    }
    return out;
}

struct Counts {
    uint64_t blocks = 0, gaps = 0, repeats = 0, failures = 0;
};

void report(const char* role, const Counts& c, const std::string& extra) {
    std::printf("%s blocks=%llu gaps=%llu repeats=%llu failures=%llu%s\n", role,
                static_cast<unsigned long long>(c.blocks), static_cast<unsigned long long>(c.gaps),
                static_cast<unsigned long long>(c.repeats), static_cast<unsigned long long>(c.failures),
                extra.c_str());
    std::fflush(stdout);
}

// Prints the counts every `every` seconds.
class Reporter {
public:
    explicit Reporter(double every) : every_(every), next_(Clock::now()) {}
    bool due() {
        const auto now = Clock::now();
        if (now < next_) return false;
        next_ = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(every_));
        return true;
    }

private:
    double every_;
    Clock::time_point next_;
};

void complain(const char* role, const std::string& what) {
    std::fprintf(stderr, "soak_host %s: %s\n", role, what.c_str());
}

// Counts a block found `shift` blocks away from where the time base
// expected it (at sample `start`): a gap of that many blocks, or a repeat.
void count_shift(const char* role, Counts& c, int64_t shift, uint64_t start) {
    if (shift > 0) {
        c.gaps += static_cast<uint64_t>(shift);
        complain(role, "gap of " + std::to_string(shift) + " blocks before sample " + std::to_string(start));
    } else if (shift < 0) {
        ++c.repeats;
        complain(role, "repeat of the block at sample " + std::to_string(start));
    }
}

// The fraction of a cycle, kept small so long runs keep their precision.
double cycles_at(double f, uint64_t n, double dt) {
    const double c = f * static_cast<double>(n) * dt;
    return c - std::floor(c);
}

// ---- the simulated source -------------------------------------------------------

// A known entry: A cos(2 pi f t + phi).
struct Known {
    int entry;
    double f, a, phi;
};

// The count of samples per channel the library has delivered, as it
// publishes it at byte 3968 of "Vort123SigPara" (read-only, outside the
// library: this only watches).
class PublishedCount {
public:
    PublishedCount() {
        const char* ns = std::getenv("KELMO_SHM_NAMESPACE");
        const std::string name = std::string("/kelmo.") + (ns && *ns ? std::string(ns) : "default-" + std::to_string(::geteuid())) + ".Vort123SigPara";
        const int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
        if (fd < 0) return;
        void* p = ::mmap(nullptr, 4000, PROT_READ, MAP_SHARED, fd, 0);
        ::close(fd);
        if (p != MAP_FAILED) base_ = static_cast<const unsigned char*>(p);
    }
    bool ok() const { return base_ != nullptr; }
    uint32_t value() const { return __atomic_load_n(reinterpret_cast<const uint32_t*>(base_ + 3968), __ATOMIC_ACQUIRE); }

private:
    const unsigned char* base_ = nullptr;
};

struct SimRun {
    int type;        // 123, or -123 for the second unit
    double rate;
    int first;       // first channel
    int count;       // channels; 0 or less: the single channel -count
    int len;
    bool ex;         // Set_dbl_MulChSamEx with per-channel gains
    bool words;      // get_dbl_dataW: raw 16-bit codes
    double dt = 0;
    uint32_t code = 0;
    std::vector<Known> known;

    int delivered() const { return count <= 0 ? 1 : count; }
    // The entry delivered in output block i.
    int entry_of(int i) const { return count <= 0 ? -count : (first + i) % 32; }
};

// The expected value of a known entry at sample n of the run.
double known_value(const Known& k, uint64_t n, double dt) {
    return k.a * std::cos(2 * kPi * cycles_at(k.f, n, dt) + k.phi);
}

// How far block `got` of entry `k` lies from the block starting at sample
// `start`: the largest difference (in engineering units, or codes).
double distance(const SimRun& r, const Known& k, const void* got, uint64_t start, bool quick) {
    double worst = 0;
    const int step = quick ? std::max(1, r.len / 7) : 1;
    for (int s = 0; s < r.len; s += step) {
        const double v = known_value(k, start + static_cast<uint64_t>(s), r.dt);
        double d;
        if (r.words) {
            double c = std::trunc(v * 6.5536);
            c = std::min(std::max(c, -32768.0), 32767.0);
            d = std::fabs(static_cast<const int16_t*>(got)[s] - c);
        } else {
            d = std::fabs(static_cast<const double*>(got)[s] - v);
        }
        worst = std::max(worst, d);
    }
    return worst;
}

int run_sim(const Options& o) {
    const char* role = "sim";
    SimRun r{};
    r.type = static_cast<int>(o.num("type", 123));
    r.rate = o.num("rate", 10000);
    r.first = static_cast<int>(o.num("first", 0));
    r.count = static_cast<int>(o.num("count", 1));
    r.len = static_cast<int>(o.num("len", 1024));
    r.ex = o.get("ex", "0") == "1";
    r.words = o.get("words", "0") == "1";
    for (const auto& s : o.all("known")) {
        const auto n = numbers(s);
        if (n.size() == 4) r.known.push_back({static_cast<int>(n[0]), n[1], n[2], n[3]});
    }
    const double tolerance = r.words ? 1.0 : 0.05;

    char text[131] = {};
    int status = 0;
    if (!Checkcard(r.type, text, &status)) {
        complain(role, std::string("Checkcard: ") + text);
        return 2;
    }
    double actual = 0;
    if (!PreSamp(r.type, r.rate, &r.code, &actual)) return 2;
    // The simulated time base: freqCode x clock scale / 4.096e13 seconds.
    const double scale = r.rate >= 10000.0 ? 1.0 : 20000.0 / r.rate;
    r.dt = static_cast<double>(r.code) * scale / 4.096e13;

    // The known entries this run delivers, with their output block.
    std::vector<std::pair<int, Known>> checked;
    for (int i = 0; i < r.delivered(); ++i)
        for (const Known& k : r.known)
            if (k.entry == r.entry_of(i)) checked.push_back({i, k});
    if (checked.empty()) {
        complain(role, "no known entry among the channels acquired");
        return 2;
    }
    // A shift by a whole number of blocks must show in the data, or a gap
    // could pass for the block expected.
    for (const auto& [i, k] : checked)
        for (int j = 1; j <= 64; ++j) {
            const double c = k.f * j * r.len * r.dt;
            if (std::fabs(c - std::round(c)) < 2e-4) {
                complain(role, "a shift of " + std::to_string(j) + " blocks would not show; choose another frequency");
                return 2;
            }
        }

    PublishedCount published;
    if (!published.ok()) {
        complain(role, "cannot watch the parameter block");
        return 2;
    }

    uint32_t handle = 0;
    std::vector<double> gains(32, 1.0);
    const int started = r.ex ? Set_dbl_MulChSamEx(&handle, r.type, static_cast<int>(r.code), 1, r.count, r.len,
                                                  gains.data(), &r.first)
                             : Set_dbl_MulChSam(&handle, r.type, static_cast<int>(r.code), 1,
                                                r.count <= 0 ? r.count : r.first * 256 + r.count, r.len);
    if (!started) {
        complain(role, "the start failed");
        return 2;
    }

    const std::size_t n = static_cast<std::size_t>(r.delivered()) * static_cast<std::size_t>(r.len);
    std::vector<double> values(r.words ? 0 : n);
    std::vector<int16_t> codes(r.words ? n : 0);
    Counts c;
    uint64_t next = 0;  // the first sample of the block expected next
    uint64_t countMismatches = 0;
    Reporter reporter(o.num("report", 5));
    auto extra = [&] { return " count-mismatches=" + std::to_string(countMismatches); };
    while (!g_stop) {
        int st = -1;
        const int ok = r.words ? get_dbl_dataW(&handle, r.type, r.len, r.delivered(), codes.data(), r.len, 0, &st)
                               : get_dbl_data(&handle, r.type, r.len, r.delivered(), values.data(), r.len, 0, &st);
        if (!ok || st != 0) {
            ++c.failures;
            complain(role, "fetch " + std::to_string(c.blocks) + " failed (status " + std::to_string(st) + ")");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        ++c.blocks;
        // Which block of the run this is, from the first known entry; the
        // others must agree.
        const auto& [i0, k0] = checked.front();
        const void* got0 = r.words ? static_cast<const void*>(codes.data() + i0 * r.len)
                                   : static_cast<const void*>(values.data() + i0 * r.len);
        int64_t shift = 0;
        bool found = distance(r, k0, got0, next, false) <= tolerance;
        for (int64_t j = 1; !found && j <= 64; ++j)
            for (int64_t sj : {j, -j}) {
                const int64_t start = static_cast<int64_t>(next) + sj * r.len;
                if (start < 0 || found) continue;
                if (distance(r, k0, got0, static_cast<uint64_t>(start), true) <= tolerance &&
                    distance(r, k0, got0, static_cast<uint64_t>(start), false) <= tolerance) {
                    shift = sj;
                    found = true;
                }
            }
        const uint32_t pub = published.value();
        if (!found) {
            // Not a block of this run near where it should be: count it as
            // missing and go on from the count the library published.
            ++c.gaps;
            complain(role, "block " + std::to_string(c.blocks) + " is no block of the run near sample " +
                               std::to_string(next));
            next = pub;
            continue;
        }
        const uint64_t start = next + static_cast<uint64_t>(shift * r.len);
        count_shift(role, c, shift, start);
        for (std::size_t q = 1; q < checked.size(); ++q) {
            const auto& [i, k] = checked[q];
            const void* got = r.words ? static_cast<const void*>(codes.data() + i * r.len)
                                      : static_cast<const void*>(values.data() + i * r.len);
            if (distance(r, k, got, start, false) > tolerance) {
                ++c.failures;
                complain(role, "entry " + std::to_string(k.entry) + " disagrees at sample " + std::to_string(start));
            }
        }
        next = start + static_cast<uint64_t>(r.len);
        if (pub != static_cast<uint32_t>(next)) {
            ++countMismatches;
            complain(role, "published count " + std::to_string(pub) + ", expected " + std::to_string(next));
        }
        // Whatever the churned entries carry stays inside full scale.
        if (!r.words)
            for (double v : values)
                if (!(v >= -5000.0 && v <= 5000.0)) {
                    ++c.failures;
                    complain(role, "a value beyond full scale");
                    break;
                }
        if (reporter.due()) report(role, c, extra());
    }
    recover(&handle, r.type);
    c.failures += countMismatches;
    report("final", c, extra());
    return 0;
}

// ---- zebsim -------------------------------------------------------------------

int run_zeb(const Options& o) {
    const char* role = "zeb";
    const int type = static_cast<int>(o.num("type", 638));
    const int divider = static_cast<int>(o.num("divider", 250));
    const int channels = static_cast<int>(o.num("count", 4));
    const int len = static_cast<int>(o.num("len", 1024));
    const double fullScale = o.num("fullscale", 5000);
    const double tolerance = 1.01 * 2 * fullScale / 65536;  // a 16-bit code
    std::vector<double> ratio(static_cast<std::size_t>(channels)), amp(static_cast<std::size_t>(channels));
    for (int ch = 0; ch < channels; ++ch) {
        ratio[ch] = (ch + 1) / 64.0;
        amp[ch] = fullScale / 2;
    }
    for (const auto& s : o.all("signal")) {  // C:RATIO:AMPLITUDE, as zebsim takes it
        const auto v = numbers(s);
        if (v.size() == 3 && v[0] >= 0 && v[0] < channels) {
            ratio[static_cast<std::size_t>(v[0])] = v[1];
            amp[static_cast<std::size_t>(v[0])] = v[2];
        }
    }
    for (int j = 1; j <= 64; ++j) {
        const double c = ratio[0] * j * len;
        if (std::fabs(c - std::round(c)) < 2e-4) {
            complain(role, "a shift of " + std::to_string(j) + " blocks would not show on channel 0");
            return 2;
        }
    }
    auto expect = [&](int ch, uint64_t s) { return amp[ch] * std::sin(2 * kPi * cycles_at(ratio[ch], s, 1.0)); };
    auto dist0 = [&](const double* got, uint64_t start, int step) {
        double worst = 0;
        for (int s = 0; s < len; s += step) worst = std::max(worst, std::fabs(got[s] - expect(0, start + s)));
        return worst;
    };

    char text[131] = {};
    int status = 0;
    Checkcard(type, text, &status);  // the unit's status block, kept for the process
    uint32_t handle = 0;
    if (!Set_dbl_MulChSam(&handle, type, divider, 1, channels, len)) {
        complain(role, "the start failed");
        recover(&handle, type);
        return 2;
    }
    std::vector<double> block(static_cast<std::size_t>(channels) * len);
    Counts c;
    uint64_t next = 0, late = 0;
    Reporter reporter(o.num("report", 5));
    auto extra = [&] { return " late=" + std::to_string(late); };
    while (!g_stop) {
        int st = -1;
        if (!get_dbl_data(&handle, type, len, channels, block.data(), len, 0, &st)) {
            // The device went away or refused: a failure; start again.
            ++c.failures;
            complain(role, "fetch " + std::to_string(c.blocks) + " failed");
            recover(&handle, type);
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            handle = 0;
            if (Set_dbl_MulChSam(&handle, type, divider, 1, channels, len)) next = 0;
            continue;
        }
        ++c.blocks;
        if (st == 1) ++late;  // fetched after the next block was complete: no data lost
        int64_t shift = 0;
        bool found = dist0(block.data(), next, 1) <= tolerance;
        for (int64_t j = 1; !found && j <= 64; ++j)
            for (int64_t sj : {j, -j}) {
                const int64_t start = static_cast<int64_t>(next) + sj * len;
                if (found || start < 0) continue;
                if (dist0(block.data(), static_cast<uint64_t>(start), std::max(1, len / 7)) <= tolerance &&
                    dist0(block.data(), static_cast<uint64_t>(start), 1) <= tolerance) {
                    shift = sj;
                    found = true;
                }
            }
        if (!found) {
            ++c.gaps;
            complain(role, "block " + std::to_string(c.blocks) + " is no block of the run near sample " +
                               std::to_string(next));
            next += static_cast<uint64_t>(len);
            continue;
        }
        const uint64_t start = next + static_cast<uint64_t>(shift * len);
        count_shift(role, c, shift, start);
        for (int ch = 1; ch < channels; ++ch)
            for (int s = 0; s < len; ++s)
                if (std::fabs(block[ch * len + s] - expect(ch, start + s)) > tolerance) {
                    ++c.failures;
                    complain(role, "channel " + std::to_string(ch) + " disagrees at sample " + std::to_string(start + s));
                    break;
                }
        next = start + static_cast<uint64_t>(len);
        if (reporter.due()) report(role, c, extra());
    }
    recover(&handle, type);
    report("final", c, extra());
    return 0;
}

// ---- triggered acquisitions --------------------------------------------------------

// The first index from which x[n+1] = 2 cos(w) x[n] - x[n-1] fails, or -1.
int jump_in(const double* x, int from, int to, double w, double amplitude) {
    const double c = 2 * std::cos(w);
    for (int s = from + 1; s + 1 < to; ++s)
        if (std::fabs(x[s + 1] - (c * x[s] - x[s - 1])) > 1e-6 * amplitude + 1e-9) return s + 1;
    return -1;
}

int run_trig(const Options& o) {
    const char* role = "trig";
    const int type = static_cast<int>(o.num("type", 123));
    const double rate = o.num("rate", 10000);
    const int len = static_cast<int>(o.num("len", 3000));
    const int pre = static_cast<int>(o.num("pre", 100));
    const double every = o.num("every", 3);
    const auto kn = numbers(o.get("known", "0:37.3:2000:0.5"));
    const Known k{static_cast<int>(kn[0]), kn[1], kn[2], kn[3]};

    char text[131] = {};
    int status = 0;
    if (!Checkcard(type, text, &status)) {
        complain(role, std::string("Checkcard: ") + text);
        return 2;
    }
    uint32_t code = 0;
    double actual = 0;
    if (!PreSamp(type, rate, &code, &actual)) return 2;
    const double w = 2 * kPi * k.f / actual;

    std::vector<double> out(static_cast<std::size_t>(len));
    Counts c;
    uint64_t rounds = 0, triggered = 0, interrupted = 0, slow = 0;
    Reporter reporter(o.num("report", 5));
    auto extra = [&] {
        return " rounds=" + std::to_string(rounds) + " triggered=" + std::to_string(triggered) +
               " interrupted=" + std::to_string(interrupted) + " slow=" + std::to_string(slow);
    };
    // Asked to stop while a round waits for an interrupt that no longer
    // comes: this thread sends it.
    std::atomic<bool> finished{false};
    std::thread closer([&] {
        while (!finished) {
            if (g_stop) InterruptTrigSample();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    while (!g_stop) {
        const bool fire = rounds % 4 == 3;
        ++rounds;
        // Rising through half the amplitude, or a level the signal never reaches.
        const int mode = fire ? 1024 + pre : 0;
        const double level = fire ? 0.5 * k.a : 1e300;
        const auto t0 = Clock::now();
        const int result = TriMulChSam(mode, k.entry, level, type, static_cast<int>(code), len, 1, 1, out.data());
        const double took = std::chrono::duration<double>(Clock::now() - t0).count();
        if (result == 1) {
            ++interrupted;
            ++c.blocks;
            // The newest block, then zeros.
            const int m = std::min(1024, len);
            if (const int at = jump_in(out.data(), 0, m, w, k.a); at >= 0) {
                ++c.gaps;
                complain(role, "an interrupted round's block jumps at " + std::to_string(at));
            }
            // The interrupt comes every `every` seconds; one that fell
            // between two rounds leaves the next waiting for the one after.
            if (took > 2 * every + 1.0) ++slow;
        } else if (result == 0 && fire) {
            ++triggered;
            ++c.blocks;
            // The trigger (a rising crossing) lands at index pre; before it
            // come history samples, or zeros when it fell in the first block.
            if (!(out[pre] > 0.5 * k.a && out[pre - 1] <= 0.5 * k.a)) {
                ++c.failures;
                complain(role, "the trigger is not at index pre");
            }
            int from = 0;
            while (from < pre && out[from] == 0.0) ++from;
            if (const int at = jump_in(out.data(), from, len, w, k.a); at >= 0) {
                ++c.gaps;
                complain(role, "a triggered round's samples jump at " + std::to_string(at));
            }
        } else if (!(g_stop && result == 1)) {
            ++c.failures;
            complain(role, "round " + std::to_string(rounds) + " returned " + std::to_string(result));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        if (reporter.due()) report(role, c, extra());
    }
    finished = true;
    closer.join();
    c.failures += slow;
    report("final", c, extra());
    return 0;
}

int run_interrupt(const Options& o) {
    const double every = o.num("every", 3);
    uint64_t sent = 0, missed = 0;
    Reporter reporter(o.num("report", 5));
    const Counts none;
    auto extra = [&] { return " sent=" + std::to_string(sent) + " missed=" + std::to_string(missed); };
    auto next = Clock::now();
    while (!g_stop) {
        next += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(every));
        while (!g_stop && Clock::now() < next) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (g_stop) break;
        // 0: no triggered acquisition was waiting at that moment (between two).
        if (InterruptTrigSample() == 1) ++sent;
        else ++missed;
        if (reporter.due()) report("interrupt", none, extra());
    }
    report("final", none, extra());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    struct sigaction sa{};
    sa.sa_handler = on_term;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    const std::string role = argc > 1 ? argv[1] : "";
    const Options o = parse(argc, argv);
    std::printf("ready %ld\n", static_cast<long>(::getpid()));
    std::fflush(stdout);
    if (role == "sim") return run_sim(o);
    if (role == "zeb") return run_zeb(o);
    if (role == "trig") return run_trig(o);
    if (role == "interrupt") return run_interrupt(o);
    std::fprintf(stderr, "usage: soak_host sim|zeb|trig|interrupt [--key=value ...]\n");
    return 2;
}
