// kelmo scan: which sources can be used right now, without starting any.
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "commands.h"
#include "kelmo.h"
#include "output.h"

namespace kelmo::cli {
namespace {

bool is_file(const std::string& p) {
#ifdef _WIN32
    const DWORD a = ::GetFileAttributesA(p.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat st{};
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0;
#endif
}

// Where the library would find genwave: beside this program, then on PATH.
std::string find_genwave() {
#ifdef _WIN32
    const char* name = "genwave.exe";
    const char sep = ';', slash = '\\';
    char self[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string dir = self;
#else
    const char* name = "genwave";
    const char sep = ':', slash = '/';
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, std::size_t(n)) : std::string();
#endif
    dir = dir.substr(0, dir.find_last_of(slash) + 1);
    for (const std::string& d : {dir, dir + ".." + slash, dir + ".." + slash + "bin" + slash})
        if (!d.empty() && is_file(d + name)) return d + name;
    const char* path = std::getenv("PATH");
    for (std::string rest = path ? path : ""; !rest.empty();) {
        const auto cut = rest.find(sep);
        const std::string d = rest.substr(0, cut);
        if (!d.empty() && is_file(d + slash + name)) return d + slash + name;
        rest = cut == std::string::npos ? "" : rest.substr(cut + 1);
    }
    return {};
}

bool parameter_block_published() {
#ifdef _WIN32
    const char* ns = std::getenv("KELMO_SHM_NAMESPACE");
    const std::string name = ns && *ns ? std::string(ns) + "_Vort123SigPara" : "Vort123SigPara";
    HANDLE h = ::OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    if (h) ::CloseHandle(h);
    return h != nullptr;
#else
    const char* ns = std::getenv("KELMO_SHM_NAMESPACE");
    struct stat st{};
    return ::stat(("/dev/shm/kelmo." + std::string(ns && *ns ? ns : "default") + ".Vort123SigPara").c_str(), &st) == 0;
#endif
}

}  // namespace

void add_scan(CLI::App& app) {
    auto* cmd = app.add_subcommand("scan", "Say which sources can be used right now (nothing is started)");
    cmd->callback([] {
        const bool published = parameter_block_published();
        const std::string genwave = find_genwave();
        std::printf("simulated source (123, 124): %s; genwave %s\n",
                    published ? "a signal source publishes its parameters (ready)"
                              : "no parameters published (Checkcard starts genwave)",
                    genwave.empty() ? "not found beside kelmo or on PATH" : ("at " + genwave).c_str());

        uint16_t port = 0;
        flush_standard_output();
        const bool device = GetPrintPortStatus(&port) == 1;
        std::printf("acquisition cards: device ZEB1 %s\n",
                    device ? "answers" : "cannot be reached (the line above says why)");

        int channels = 0;
        double high = 0, low = 0;
        flush_standard_output();
        GetADParameter(800, &channels, nullptr, nullptr, nullptr, nullptr, nullptr, &high, &low, nullptr);
        if (high > 0 && channels > 0)
            std::printf("sound card (800): capture device with up to %d channels at up to %g Hz\n", channels, high);
        else
            std::printf("sound card (800): no capture device\n");
    });
}

}  // namespace kelmo::cli
