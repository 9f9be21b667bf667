// kelmo acquire: acquires channels of a source, streams the samples to CSV
// or WAV as they arrive, prints a summary per channel (RMS, peak, dominant
// frequency) and draws waveform and spectrum per channel through gnuplot.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <optional>
#include <string>
#include <vector>

#include "analysis.h"
#include "commands.h"
#include "kelmo.h"
#include "output.h"
#include "plot.h"
#include "writers/queued.h"
#include "writers/raw_words.h"
#include "writers/writer.h"
#include "values.h"
#include "../portable.h"

namespace kelmo::cli {
namespace {

constexpr int64_t kBlockModeMost = int64_t{1} << 20;  // samples per channel of one block call
constexpr int kKept = 65536;  // samples per channel kept for the summary and the plot

struct Options {
    int type = 123;
    std::string rate = "10k";
    std::string samples, time;
    int channels = 8;
    int first = 0;
    int blocks = 4;
    int gain = 1;
    int order = 40;
    bool continuous = false;
    std::string mode = "continuous";
    std::string output, format, csv, plot;
    std::string list;                 // -C: the channels as a list
    std::string buffer = "4s";        // what the writer's queue holds
    bool compress = false;
    bool raw = false;                 // the card's raw words instead of values
    const CLI::Option* blocksGiven = nullptr;
    const CLI::Option* countGiven = nullptr;
    const CLI::Option* firstGiven = nullptr;
    const CLI::Option* listGiven = nullptr;
};

// The signal that asks the run to end (SIGINT, SIGTERM, SIGHUP), 0 while
// none came: the run ends as after Ctrl-C, its files complete, with the
// exit status 128 + the signal.
std::atomic<int> gInterrupted{0};
// While a block call runs nothing has been written yet and the library
// cannot be stopped in it: a signal then ends the process at once.
std::atomic<bool> gInBlockCall{false};
extern "C" void on_interrupt(int sig) {
    if (gInBlockCall) {
        static const char line[] = "\nkelmo: interrupted during the block; nothing was written\n";
        kelmo::tools::write_stderr_now(line, sizeof line - 1);
        std::_Exit(128 + sig);
    }
    gInterrupted = sig;
}

// The signals that end a run as Ctrl-C does, installed for as long as the
// run and its files' completion last.
class EndSignals {
public:
    EndSignals() {
        for (int s : kSignals)
            if (s) previous_.push_back({s, std::signal(s, on_interrupt)});
    }
    ~EndSignals() {
        for (auto& [s, h] : previous_) std::signal(s, h);
    }
    EndSignals(const EndSignals&) = delete;
    EndSignals& operator=(const EndSignals&) = delete;

private:
#ifdef SIGHUP
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
#else
    static constexpr int kSignals[] = {SIGINT, SIGTERM, 0};
#endif
    std::vector<std::pair<int, void (*)(int)>> previous_;
};

// The output opened at its first block, so that a run that never starts
// (a source that cannot acquire) leaves an existing file as it was. It is
// opened on the acquiring thread, then written behind the queue.
class OpenedAtFirstBlock final : public SampleWriter {
public:
    OpenedAtFirstBlock(OutputTarget target, double bufferSeconds)
        : target_(std::move(target)), bufferSeconds_(bufferSeconds) {}
    bool block(const double* data, int len, int stride) override {
        if (!out_ && !failed_) {
            if (auto opened = open_output(target_))
                out_ = queued(std::move(opened), target_.rate, static_cast<int>(target_.channels.size()),
                              bufferSeconds_);
            failed_ = !out_;
        }
        return out_ && out_->block(data, len, stride);
    }
    bool finish() override { return out_ ? out_->finish() : !failed_; }

private:
    OutputTarget target_;
    double bufferSeconds_;
    std::unique_ptr<SampleWriter> out_;
    bool failed_ = false;
};

[[noreturn]] void failed(int code = 1) { throw CLI::RuntimeError(code); }


bool simulated(int type) { return kelmo_card_source(type) == KELMO_SOURCE_SIMULATED; }

const char* source_hint(int type) {
    switch (kelmo_card_source(type)) {
        case KELMO_SOURCE_SIMULATED: return "the simulated source stopped delivering (is genwave still running?)";
        case KELMO_SOURCE_SOUND: return "the sound card stopped delivering (is the capture device still there?)";
        default: return "the device ZEB1 did not deliver";
    }
}

// The format for an output name; an extension no writer knows is a usage
// error.
std::string format_for(const std::string& path) {
    std::string known;
    const std::string format = format_of(path, &known);
    if (!format.empty()) return format;
    const auto dot = path.rfind('.');
    usage("--output", "no writer knows the extension '" + path.substr(dot) + "' of " + path + "; name the file " +
                          known + ", or choose the format with -O");
}

// Whether two names are the same file: the same existing file, or the
// same name once made absolute.
bool same_file(const std::string& a, const std::string& b) {
    namespace fs = std::filesystem;
    std::error_code e1, e2;
    if (fs::exists(a, e1) && fs::exists(b, e2)) {
        std::error_code e;
        const bool same = fs::equivalent(a, b, e);
        if (!e) return same;
    }
    return fs::weakly_canonical(fs::absolute(a, e1), e1) == fs::weakly_canonical(fs::absolute(b, e2), e2);
}

// What can be known of the output before the run, checked before the
// source starts and before any file is touched: not a folder, not the
// plot's name, a folder that exists, and no pipe for a format that is
// rewritten as it grows.
void check_output(const std::string& path, const std::string& format, const std::string& plot) {
    namespace fs = std::filesystem;
    std::error_code e;
    if (!plot.empty() && !fs::is_directory(fs::absolute(plot, e).parent_path(), e))
        usage("--plot", "the folder " + fs::absolute(plot, e).parent_path().string() + " of " + plot +
                            " does not exist; make it first, or draw the plot elsewhere");
    if (!plot.empty()) {
        const fs::file_status ps = fs::status(plot, e);
        if (fs::is_directory(ps))
            usage("--plot", plot + " is a folder; name a file in it, such as " + (fs::path(plot) / "plot.png").string());
        // gnuplot would wait on a pipe with no reader for ever.
        if (fs::exists(ps) && !fs::is_regular_file(ps))
            usage("--plot", plot + " is a pipe or a device, and a plot is an image file; draw it into a file");
    }
    if (path.empty() || path == "-") return;
    if (!plot.empty() && same_file(path, plot))
        usage("--plot", "the plot " + plot + " would replace the recording " + path + "; give the plot a name of its own");
    const fs::file_status st = fs::status(path, e);
    if (fs::is_directory(st))
        usage("--output", path + " is a folder; name a file in it, such as " + (fs::path(path) / "run.h5").string());
    const Format* row = format_named(format);
    const bool streams = row && row->streams;
    if ((fs::is_fifo(st) || fs::is_character_file(st) || fs::is_socket(st)) && !streams)
        usage("--output", path + " is a pipe or a device, and a ." + format + " file is rewritten as it grows, which "
                          "a pipe cannot take; write it to a file, or stream CSV, WAV or FLAC");
    const fs::path folder = fs::absolute(path, e).parent_path();
    if (!fs::is_directory(folder, e))
        usage("--output", "the folder " + folder.string() + " of " + path + " does not exist; make it first, or "
                          "write elsewhere");
}

// The run: what was asked, checked against the card.
struct Run {
    double wantedRate = 0, rate = 0;
    uint32_t code = 0;
    std::optional<int64_t> total;  // samples per channel; none: until interrupted
    int len = 1024;                // samples per channel of one fetch
    std::string format;
    int first = 0, span = 1;       // the channels acquired: first, and how many from it
    std::vector<int> rows;         // of those, the ones kept (indices from first)
    double bufferSeconds = 4;
    RawWords raw;                  // bytes 0: values
};

// A fetch holds at most 1024 samples per channel, or a tenth of a second
// where that is more (up to 65536): a card keeps one block beyond the one
// being fetched, so a fetch may come late by one block's time before
// samples are lost, and 1024 samples at 100 kHz are only 10 ms.
// A fetch also lasts at most a quarter of a second, so that Ctrl-C ends a
// run at a low rate within half a second.
int64_t most_per_fetch(double rate) {
    const auto quarter = std::max<int64_t>(16, static_cast<int64_t>(rate / 4));
    return std::min(quarter, std::clamp<int64_t>(static_cast<int64_t>(rate / 10), 1024, 65536));
}

Run plan(const Options& o) {
    Run r;
    const Card card = card_of(o.type);
    if (card.source == KELMO_SOURCE_NONE) usage("--type", "card type " + std::to_string(o.type) + " is not in the catalogue (kelmo cards lists them)");
    if (card.rates.empty()) {
        std::fprintf(stderr, "kelmo: card type %d cannot be used: %s\n", o.type, card.why.c_str());
        failed();
    }
    const auto rate = parse_si(o.rate);
    if (!rate || !(*rate > 0))
        usage("--rate", "'" + o.rate + "' is not a sampling rate (for example 10k or 44100; card type " +
                            std::to_string(o.type) + " offers " + listed(card.rates) + " Hz)");
    r.wantedRate = *rate;
    const std::string last = std::to_string(card.channels - 1);
    if (o.listGiven->count() > 0 && o.list.empty())
        usage("--list", "'' names no channel; give the channels of card type " + std::to_string(o.type) + " (0 to " +
                            last + ") such as 0,2,5-7, or leave -C out to take --channels from --first");
    if (!o.list.empty()) {
        if (o.countGiven->count() > 0 || o.firstGiven->count() > 0)
            usage("--list", "give the channels either as a list or with --channels and --first, not both");
        const auto list = parse_channel_list(o.list, card.channels - 1);
        if (!list)
            usage("--list", "'" + o.list + "' is not a list of channels of card type " + std::to_string(o.type) +
                                " (0 to " + last + "), such as 0,2,5-7");
        r.first = list->front();
        r.span = list->back() - r.first + 1;
        for (int c : *list) r.rows.push_back(c - r.first);
    } else {
        if (o.first < 0 || o.first >= card.channels)
            usage("--first", "must be a channel of card type " + std::to_string(o.type) + ": 0 to " + last);
        if (o.channels < 1) usage("--channels", "give at least one channel");
        if (int64_t{o.first} + o.channels > card.channels)
            usage("--channels", std::to_string(o.channels) + " channels from channel " + std::to_string(o.first) +
                                    " run past the last channel of card type " + std::to_string(o.type) + " (" +
                                    last + ")");
        r.first = o.first;
        r.span = o.channels;
        for (int c = 0; c < o.channels; ++c) r.rows.push_back(c);
    }
    if (!offers_gain(card, o.gain))
        usage("--gain", std::to_string(o.gain) + " is not a gain of card type " + std::to_string(o.type) +
                            "; it offers " + listed(card.gains));
    // The divider, as the library chooses it for the card.
    const Divided divided = divider_for(o.type, r.wantedRate, r.span, "--rate");
    r.code = divided.code;
    r.rate = divided.rate;
    if (!o.samples.empty() && !o.time.empty()) usage("--time", "give either --samples or --time, not both");
    if (!o.samples.empty()) {
        const auto n = parse_count(o.samples);
        if (!n || *n < 16) usage("--samples", "'" + o.samples + "' is not a count of at least 16 (for example 4096 or 64k)");
        r.total = *n;
    }
    std::optional<double> seconds;
    if (!o.time.empty()) {
        seconds = parse_seconds(o.time);
        if (!seconds || !(*seconds > 0)) usage("--time", "'" + o.time + "' is not a duration above 0 (for example 2s or 500ms)");
    }
    if (!r.total && !seconds && !o.continuous) r.total = 4096;
    if (o.mode == "block" && o.continuous) usage("--continuous", "runs only in continuous mode");
    if (o.blocksGiven->count() > 0 && (o.mode == "block" || !r.total))
        usage("--blocks", "divides a continuous run of known length (-n or --time) into fetches; this run has " +
                              std::string(o.mode == "block" ? "one block" : "no end") + ", so leave it out");
    if (!o.csv.empty() && !o.output.empty()) usage("--csv", "give either --csv or --output, not both");
    if (!o.format.empty() && o.output.empty() && o.csv.empty())
        usage("--format", "-O " + o.format + " chooses the format of the file of -o, and there is none: give -o FILE "
                          "as well, or leave -O out");
    if (!o.format.empty() && !o.csv.empty() && o.format != "csv")
        usage("--format", "--csv writes CSV, not " + o.format + ": write -o " + o.csv + " -O " + o.format +
                              " instead, or leave -O out");
    const auto buffer = parse_seconds(o.buffer);
    if (!buffer || !(*buffer > 0) || *buffer > 3600)
        usage("--buffer", "'" + o.buffer + "' is not a duration above 0 and at most 1 h (for example 4s or 500ms)");
    r.bufferSeconds = *buffer;

    r.format = !o.csv.empty() ? "csv" : !o.format.empty() ? o.format : o.output.empty() ? "csv" : format_for(o.output);
    const Format* row = format_named(r.format);
    if (o.compress && (o.output.empty() || !row || !row->compresses))
        usage("--compress", o.output.empty() ? std::string("compresses the file of -o, and there is none: give -o "
                                                           "FILE.h5 or FILE.sr as well, or leave --compress out")
                                             : "compresses HDF5 (.h5) and sigrok (.sr) files only, and this run "
                                               "writes " + r.format + ": write one of those, or leave --compress out");
    if (o.raw) {
        if (o.output.empty() || !row || !row->rawWords)
            usage("--raw", "raw words go into HDF5 (.h5) or NumPy (.npy) files only, with -o");
        int bytes = 0;
        GetCardWordType(o.type, &bytes);
        const auto line = bytes == 2 || bytes == 4 ? raw_line(o.type, bytes) : std::nullopt;
        if (!line)
            usage("--raw", "the raw words of card type " + std::to_string(o.type) +
                               " do not map onto its values by a scale and an offset; record its values instead");
        r.raw = *line;
    }

    check_output(o.csv.empty() ? o.output : o.csv, r.format, o.plot);
    // The source is prepared (genwave started, the recording input read)
    // once the options are known to be sound.
    char text[131] = {};
    int status = 0;
    if (!Checkcard(o.type, text, &status)) {
        std::fprintf(stderr, "kelmo: card type %d cannot be used: %s\n", o.type,
                     library_reason(to_utf8(text)).c_str());
        failed();
    }
    if (seconds) {
        const auto n = count_of(*seconds, r.rate);
        char why[96];
        std::snprintf(why, sizeof why, " at %g Hz is more than %g samples per channel", r.rate, kMostCount);
        if (!n) usage("--time", "'" + o.time + "'" + why);
        r.total = std::max<int64_t>(16, *n);
    }
    if (r.total && o.mode == "block" && *r.total > kBlockModeMost)
        usage("--samples", "one block holds at most 1M samples per channel; use the continuous mode for more");
    if (r.total && o.mode == "continuous")
        r.len = static_cast<int>(std::clamp<int64_t>((*r.total + o.blocks - 1) / o.blocks, 16, most_per_fetch(r.rate)));
    else if (o.mode == "continuous")
        r.len = static_cast<int>(most_per_fetch(r.rate));
    // A source's ring may serve only shorter blocks (the sound card's).
    if (const int most = kelmo_block_limit(o.type, r.span); most > 0 && most < r.len) r.len = std::max(4, most / 4 * 4);
    return r;
}

// Everything a run keeps: the running statistics, the first kKept samples
// per channel, and the output.
struct Collected {
    std::vector<ChannelStats> stats;
    std::vector<std::vector<double>> kept;
    int64_t done = 0;
    std::string why;  // the library's reason when the source failed
    int64_t gaps = 0, firstGap = -1;  // blocks that followed samples the card lost, and where the first began
};

// Of the channels acquired, the run's rows: `data` itself when all are
// kept, else a copy in `into` (stride `len` then).
const double* pick(const Run& r, const double* data, int len, int& stride, std::vector<double>& into) {
    if (static_cast<int>(r.rows.size()) == r.span) return data;
    into.resize(r.rows.size() * std::size_t(len));
    for (std::size_t i = 0; i < r.rows.size(); ++i)
        std::copy_n(data + std::size_t(r.rows[i]) * stride, len, into.data() + i * len);
    stride = len;
    return into.data();
}

// False when the output failed (it said so on stderr). The values go into
// the statistics; the output gets `words` instead where the run records
// raw words.
bool take(Collected& c, SampleWriter* out, const Run& r, const double* values, int len, int stride,
          const double* words = nullptr) {
    thread_local std::vector<double> picked, pickedWords;
    int wordStride = stride;
    values = pick(r, values, len, stride, picked);
    if (words) words = pick(r, words, len, wordStride, pickedWords);
    for (std::size_t ch = 0; ch < c.stats.size(); ++ch) {
        const double* x = values + ch * std::size_t(stride);
        c.stats[ch].add(x, len);
        auto& k = c.kept[ch];
        const int room = std::max(0, kKept - static_cast<int>(k.size()));
        k.insert(k.end(), x, x + std::min(len, room));
    }
    c.done += len;
    if (!out) return true;
    return words ? out->block(words, len, wordStride) : out->block(values, len, stride);
}

// Raw words as they came: their values (the library's conversion) and the
// words themselves as numbers. Empty when a word left the straight line the
// file states (its reason then in `why`).
struct Words {
    std::vector<unsigned char> raw;
    std::vector<double> values, numbers;
    bool read(int type, const RawWords& line, int n, std::string& why) {
        values.resize(std::size_t(n));
        numbers.resize(std::size_t(n));
        convert(type, values.data(), raw.data(), n, 1, nullptr, nullptr);
        for (int i = 0; i < n; ++i) {
            double w;
            if (line.bytes == 2) {
                uint16_t u;
                std::memcpy(&u, raw.data() + 2 * std::size_t(i), 2);
                w = line.isSigned ? double(static_cast<int16_t>(u)) : double(u);
            } else {
                uint32_t u;
                std::memcpy(&u, raw.data() + 4 * std::size_t(i), 4);
                w = line.isSigned ? double(static_cast<int32_t>(u)) : double(u);
            }
            numbers[std::size_t(i)] = w;
            const double got = values[std::size_t(i)];
            if (!on_line(line, w, got)) {
                const double want = w * line.scale + line.offset;
                char text[224];
                std::snprintf(text, sizeof text,
                              "the raw word %.0f of card type %d means %g, not %g as the file's scale and offset say; "
                              "record its values instead",
                              w, type, got, want);
                why = text;
                return false;
            }
        }
        return true;
    }
};

// A progress line on a terminal, for runs longer than a second.
struct Progress {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    bool shown = false;
    const bool terminal = kelmo::tools::stderr_is_terminal();
    void update(int64_t done, double rate) {
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!terminal || s < 1.0) return;
        std::fprintf(stderr, "\rkelmo: %.1f s acquired, %lld samples per channel", double(done) / rate,
                     static_cast<long long>(done));
        shown = true;
    }
    ~Progress() {
        if (shown) std::fprintf(stderr, "\n");
    }
};

enum class Outcome { Done, SourceFailed, OutputFailed };

// Taken at once: stopping the run (recover) starts a reason of its own.
Outcome source_failed(Collected& c) {
    c.why = library_reason("");
    return Outcome::SourceFailed;
}

// A continuous run is stopped (recover) on every way out, the first failed
// write among them.
Outcome acquire(const Options& o, const Run& r, Collected& c, SampleWriter* out) {
    const int packed = r.first > 0 ? r.first * 256 + r.span : r.span;
    const bool raw = r.raw.bytes != 0;
    Words words;
    // `keep` of the `len` samples per channel fetched.
    auto take_words = [&](int len, int keep) {
        if (!words.read(o.type, r.raw, len * r.span, c.why)) return Outcome::SourceFailed;
        return take(c, out, r, words.values.data(), keep, len, words.numbers.data()) ? Outcome::Done
                                                                                     : Outcome::OutputFailed;
    };
    if (o.mode == "block") {
        const auto n = static_cast<int>(*r.total);
        if (raw) {
            words.raw.resize(std::size_t(n) * r.span * std::size_t(r.raw.bytes));
            gInBlockCall = true;
            const int ok = MulChSamW(o.type, static_cast<int>(r.code), n, o.gain, packed, words.raw.data());
            gInBlockCall = false;
            if (ok != 1) return source_failed(c);
            return take_words(n, n);
        }
        std::vector<double> data(std::size_t(n) * r.span);
        gInBlockCall = true;
        const int ok = MulChSam(o.type, static_cast<int>(r.code), n, o.gain, packed, data.data());
        gInBlockCall = false;
        if (ok != 1) return source_failed(c);
        return take(c, out, r, data.data(), n, n) ? Outcome::Done : Outcome::OutputFailed;
    }
    uint32_t handle = 0;
    struct Recover {
        uint32_t* h;
        int type;
        ~Recover() { recover(h, type); }
    } stop{&handle, o.type};
    if (!Set_dbl_MulChSam(&handle, o.type, static_cast<int>(r.code), o.gain, packed, r.len)) return source_failed(c);
    std::vector<double> block(raw ? 0 : std::size_t(r.len) * r.span);
    words.raw.resize(raw ? std::size_t(r.len) * r.span * std::size_t(r.raw.bytes) : 0);
    Progress progress;
    // Every fetch is a whole block, the last one too (of which the run keeps
    // what it still needs): the card acquires in blocks of the length the
    // acquisition started with, and a short fetch would leave it only the
    // short fetch's time to be late by.
    const int len = r.len;
    while (!gInterrupted && (!r.total || c.done < *r.total)) {
        const int keep = r.total ? static_cast<int>(std::min<int64_t>(len, *r.total - c.done)) : len;
        int status = 0;
        auto count_gap = [&] {
            // The device sets the status word when this block came later than
            // the card could keep the one before: samples were lost before it.
            if (status == 0) return;
            if (c.gaps++ == 0) c.firstGap = c.done;
        };
        if (raw) {
            if (get_dbl_dataW(&handle, o.type, len, r.span, words.raw.data(), len, 0, &status) != 1)
                return source_failed(c);
            count_gap();
            if (const Outcome how = take_words(len, keep); how != Outcome::Done) return how;
        } else {
            if (get_dbl_data(&handle, o.type, len, r.span, block.data(), len, 0, &status) != 1) return source_failed(c);
            count_gap();
            if (!take(c, out, r, block.data(), keep, len)) return Outcome::OutputFailed;
        }
        progress.update(c.done, r.rate);
    }
    return Outcome::Done;
}

void summarise(FILE* to, const Options& o, const Run& r, const Collected& c) {
    std::fprintf(to, "card type %d, %g Hz, %lld samples per channel\n", o.type, r.rate, static_cast<long long>(c.done));
    std::fprintf(to, "channel        RMS       peak   dominant Hz\n");
    for (std::size_t ch = 0; ch < c.stats.size(); ++ch) {
        const auto& k = c.kept[ch];
        const double hz = dominant_hz(k.data(), static_cast<int>(k.size()), r.rate);
        if (hz < 0)
            std::fprintf(to, "%7d %10.2f %10.2f %13s\n", r.first + r.rows[ch], c.stats[ch].rms(), c.stats[ch].peak, "no signal");
        else
            std::fprintf(to, "%7d %10.2f %10.2f %13.1f\n", r.first + r.rows[ch], c.stats[ch].rms(), c.stats[ch].peak, hz);
    }
}

void run(const Options& o) {
    const Run r = plan(o);
    const std::string outPath = o.csv.empty() ? o.output : o.csv;
    std::vector<int> numbers;
    for (int row : r.rows) numbers.push_back(r.first + row);
    std::unique_ptr<SampleWriter> out;
    // Everything that can be known before the run is checked before any
    // file is touched; the output itself is made at the first block.
    if (!o.plot.empty() && !gnuplot_available()) failed();
    if (!outPath.empty()) {
        OutputTarget target{outPath, r.format, r.rate, numbers, double(card_of(o.type).fullScale), o.type, o.gain,
                            r.code, o.compress, r.raw, {}};
        if (const Format* row = format_named(r.format); simulated(o.type) && row && row->parameters)
            target.parameters = published_parameters();
        out = std::make_unique<OpenedAtFirstBlock>(std::move(target), r.bufferSeconds);
    }

    Collected c;
    c.stats.resize(r.rows.size());
    c.kept.resize(r.rows.size());
    gInterrupted = 0;
    const EndSignals ending;
    const Outcome how = acquire(o, r, c, out.get());

    bool written = true;
    if (out) written = out->finish();
    // The writer named the output and the cause; what was acquired
    // after it failed is lost, so there is nothing to sum up. (The writer
    // runs on its own thread: a write may fail after the last block.)
    if (how == Outcome::OutputFailed || !written) failed();
    if (how == Outcome::SourceFailed)
        std::fprintf(stderr, "kelmo: acquisition failed after %lld samples per channel: %s\n",
                     static_cast<long long>(c.done), c.why.empty() ? source_hint(o.type) : c.why.c_str());
    if (c.done > 0) {
        summarise(outPath == "-" ? stderr : stdout, o, r, c);
        if (!o.plot.empty()) {
            std::vector<std::vector<double>> spectra;
            for (const auto& k : c.kept) spectra.push_back(spectrum(k.data(), static_cast<int>(k.size()), o.order));
            char title[160];
            std::snprintf(title, sizeof title, "card type %d, %g Hz, %lld samples (%s)", o.type, r.rate,
                          static_cast<long long>(c.done), o.mode.c_str());
            written = write_plot({o.plot, title, r.rate, numbers}, c.kept, spectra) && written;
        }
    }
    if (c.gaps > 0)
        std::fprintf(stderr,
                     "kelmo: the card lost samples %lld times (the first time before sample %lld): the samples "
                     "have gaps there; fetch in larger blocks (-b fewer), record fewer channels or a lower rate, or "
                     "give this host more of the processor\n",
                     static_cast<long long>(c.gaps), static_cast<long long>(c.firstGap));
    if (gInterrupted) failed(128 + gInterrupted);
    if (how != Outcome::Done || !written || c.gaps > 0) failed();
}

}  // namespace

void add_acquire(CLI::App& app) {
    auto* cmd = app.add_subcommand(
        "acquire", "Acquire channels of a source, write the samples to a file as they arrive, print RMS, peak and "
                   "dominant frequency per channel, and plot waveform and spectrum");
    static Options o;
    cmd->add_option("-t,--type", o.type,
                    "Card type: 123 or 124 the simulated source (started when needed), 800 the sound card, others "
                    "a card behind the device (kelmo cards lists them)")
        ->capture_default_str();
    cmd->add_option("-r,--rate", o.rate, "Sampling rate in Hz, with k or M: 10k, 1.5M (the sound card: 44100, "
                                         "22050, 11025 or 8000)")
        ->capture_default_str();
    cmd->add_option("-n,--samples", o.samples, "Samples per channel, at least 16, with k or M: 4096, 64k "
                                               "(default 4096)");
    cmd->add_option("--time", o.time, "How long to acquire instead of --samples: 2s, 500ms, 1.5min");
    cmd->add_flag("--continuous", o.continuous, "Acquire until Ctrl-C (or until --time or --samples)");
    o.countGiven = cmd->add_option("-c,--channels", o.channels, "How many channels, from --first on")
                       ->capture_default_str();
    o.firstGiven = cmd->add_option("--first", o.first, "The first channel acquired")->capture_default_str();
    o.listGiven = cmd->add_option("-C,--list", o.list, "The channels as a list instead of -c and --first: 0,2,5-7");
    cmd->add_option("-m,--mode", o.mode, "continuous: block after block as they come; block: all samples in one "
                                         "call (at most 1M per channel)")
        ->capture_default_str()
        ->check(CLI::IsMember({"block", "continuous"}));
    o.blocksGiven = cmd->add_option("-b,--blocks", o.blocks, "Into how many fetches a continuous run of known "
                                                             "length is cut (each at most 1024 samples, or a tenth of a second at high rates)")
                        ->capture_default_str()
                        ->check(CLI::Range(1, 1 << 20));
    cmd->add_option("-g,--gain", o.gain, "Gain: one of the card's gains (kelmo cards lists them)")
        ->capture_default_str();
    cmd->add_option("--order", o.order, "Order of the maximum-entropy spectrum (1 to 200)")
        ->capture_default_str()
        ->check(CLI::Range(1, 200));
    cmd->add_option("-o,--output", o.output, "Write the samples to this file as they arrive; '-' is standard "
                                             "output. .csv: text, .wav: 32-bit float (1.0 = full scale; RF64 past "
                                             "4 GiB), .flac: 24-bit FLAC (full scale at the top of its range; at most "
                                             "8 channels), .npy: NumPy's (channels, samples) float64 array with its "
                                             "facts in a .json beside it, .h5: HDF5, the group /run with its facts as "
                                             "attributes and the dataset samples (channels, samples), .sr: a sigrok "
                                             "session (sigrok-cli, PulseView) of float32 channels CH0 ..., its other "
                                             "facts in the entry kelmo.txt");
    cmd->add_option("--buffer", o.buffer, "Seconds of samples that may wait for a slow disk before the run stops "
                                          "(it never leaves a gap in a file; at most 1 GiB of them): 4s, 500ms")
        ->capture_default_str();
    cmd->add_flag("--raw", o.raw, "Record the card's raw words instead of values (HDF5 and .npy), with the "
                                  "scale and offset that turn them into values");
    cmd->add_flag("--compress", o.compress, "Compress the samples where the format can (HDF5: gzip with shuffle, "
                                            "sigrok: deflate)");
    cmd->add_option("-O,--format", o.format, "The output's format, whatever its name: csv, wav, flac, npy, h5 or sr")
        ->check(CLI::IsMember(format_names()));
    cmd->add_option("--csv", o.csv, "Write the samples as CSV (the same as -o FILE -O csv)");
    cmd->add_option("--plot", o.plot, "Draw waveform and spectrum per channel into this PNG (needs gnuplot)");
    cmd->footer(
        "Exit status: 0 done, 1 the acquisition or an output failed, 2 a usage error, 130 interrupted (Ctrl-C: the "
        "run stops cleanly and what was acquired is written).");
    cmd->callback([] { run(o); });
}

}  // namespace kelmo::cli
