// genwave: the signal-source program of the simulated source. It publishes
// the parameter block "Vort123SigPara" and the noise history "Random_Simu"
// and holds them until it is stopped (Ctrl-C, SIGTERM). With a parameter
// file it re-reads the file whenever it changes.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <utility>

#include <CLI/CLI.hpp>

#include "../portable.h"
#include "params.h"
#include "platform/platform.h"

namespace {

std::atomic<bool> g_stop{false};
extern "C" void on_signal(int) { g_stop = true; }

// The parameter fields; the continuous-acquisition fields at the end of
// the block belong to the library and are left as they are.
constexpr std::size_t kParamBytes = offsetof(kelmo::sim::SimParamBlock, contSampleCount);

void publish(kelmo::platform::SharedMemory& block, const kelmo::sim::SimParamBlock& p) {
    std::memcpy(block.data(), &p, kParamBytes);
}

}  // namespace

int main(int argc, char** argv) {
    kelmo::tools::open_closed_standard_descriptors();
    kelmo::platform::detach_from_starting_host();
    CLI::App app{"genwave: publishes the parameters of the simulated source (card types 123 and 124)", "genwave"};
    std::string file;
    double seconds = 0.0;
    bool quiet = false;
    bool published = false;
    app.add_option("-p,--params", file, "Parameter file (TOML); re-read whenever it changes. "
                                        "Without one the built-in set is published")
        ->check(CLI::ExistingFile);
    app.add_option("--for", seconds, "Stop after this many seconds (default: run until stopped)");
    app.add_flag("-q,--quiet", quiet, "Print nothing but errors");
    app.add_flag("--published", published, "Print the parameters another genwave publishes now, one line per "
                                           "entry in use, and exit (1 when none are published)")
        ->excludes("--params")
        ->excludes("--for");
    CLI11_PARSE(app, argc, argv);

    auto& platform = kelmo::platform::current();
    if (published) {
        auto seen = platform.shm.shm_open_existing(kelmo::sim::kParamBlockName, kelmo::sim::kParamBlockBytes,
                                                kelmo::platform::Access::ReadOnly);
        if (!seen) {
            std::fprintf(stderr, "genwave: no parameters are published (no genwave is running); start genwave\n");
            return 1;
        }
        kelmo::sim::SimParamBlock now{};
        std::memcpy(&now, seen->data(), sizeof now);
        std::fputs(genwave::describe(now).c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    kelmo::sim::SimParamBlock params{};
    try {
        params = file.empty() ? genwave::default_params() : genwave::load_params(file);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "genwave: %s: %s\n", file.c_str(), e.what());
        return 1;
    }

    auto block = platform.shm.shm_create_or_open(kelmo::sim::kParamBlockName, kelmo::sim::kParamBlockBytes, nullptr);
    auto noise = platform.shm.shm_create_or_open("Random_Simu", 32 * 8192, nullptr);
    if (!block || !noise) {
        std::fprintf(stderr, "genwave: cannot create the shared memories (error %u)\n", platform.system.last_error());
        return 1;
    }
    publish(*block, params);
    if (!quiet) {
        std::printf("genwave: publishing %s (pid %ld)\n%s", file.empty() ? "the built-in set" : file.c_str(),
                    static_cast<long>(kelmo::platform::current().system.process_id()), genwave::describe(params).c_str());
        std::fflush(stdout);
    }

    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    // A file is re-read once its time and size have changed and then stood
    // still for a poll: an editor (or a test) that empties the file and then
    // writes it within one tick of the file system's clock is read whole,
    // never in between.
    std::error_code ec;
    const auto stamp_of = [&] {
        const auto time = std::filesystem::last_write_time(file, ec);
        const auto size = ec ? std::uintmax_t{0} : std::filesystem::file_size(file, ec);
        return std::pair{time, size};
    };
    auto stamp = file.empty() ? decltype(stamp_of()){} : stamp_of();
    auto seen = stamp;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!g_stop && (seconds <= 0.0 || std::chrono::steady_clock::now() < until)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (file.empty()) continue;
        const auto now = stamp_of();
        if (ec || now == stamp) continue;
        if (now != seen) {  // still changing, or just changed: once more
            seen = now;
            continue;
        }
        stamp = now;
        try {
            params = genwave::load_params(file);
            publish(*block, params);
            if (!quiet) {
                std::printf("genwave: re-read %s\n%s", file.c_str(), genwave::describe(params).c_str());
                std::fflush(stdout);
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "genwave: %s: %s (keeping the previous parameters)\n", file.c_str(), e.what());
        }
    }
    if (!quiet) std::printf("genwave: stopped\n");
    return 0;  // the shared memories go with their last holder
}
