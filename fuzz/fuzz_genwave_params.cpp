// genwave's parameter files: arbitrary file contents through load_params.
//
// Checks: a file is either refused with a std::runtime_error that says
// where ("line N: ...", N from 1, or one of the whole-file messages) or
// gives a parameter block that keeps the rules of example.toml: known
// waveforms, modulation codes as genwave writes them, finite numbers in
// their ranges, weights only in sum channels of entries 0 .. 7, and the
// library's own fields left 0. describe() takes every accepted block.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "params.h"

namespace {

using kelmo::sim::SimParamBlock;

void fail(const char* what, const std::string& detail = "") {
    std::fprintf(stderr, "fuzz genwave_params: %s %s\n", what, detail.c_str());
    std::abort();
}

std::string g_file;

void remove_scratch() {
    if (g_file.empty()) return;
    ::unlink(g_file.c_str());
    ::rmdir(std::filesystem::path(g_file).parent_path().c_str());
}

bool whole_file_message(const std::string& m) {
    return m == "no such file" || m == "not a regular file" || m == "no [[channel]] tables";
}

bool located(const std::string& m) {
    if (m.rfind("line ", 0) != 0) return false;
    std::size_t i = 5;
    unsigned long line = 0;
    while (i < m.size() && m[i] >= '0' && m[i] <= '9') line = line * 10 + static_cast<unsigned long>(m[i++] - '0');
    return i > 5 && line >= 1 && m.compare(i, 2, ": ") == 0 && m.size() > i + 2;
}

void check_block(const SimParamBlock& p) {
    for (int k = 0; k < kelmo::sim::kEntries; ++k) {
        const int w = p.waveform[k];
        if (w < 0 || w > 6) fail("waveform out of range");
        if (w == 5 && k >= kelmo::sim::kSumRows) fail("a sum channel beyond entry 7");
        const int m = p.modulation[k];
        const bool stepped = (m > 10000 && m < 20000) || (m > 20000 && m < 30000);
        if (!((m >= 0 && m <= 10 && m != 5 && m != 6) || stepped)) fail("modulation code", std::to_string(m));
        if (stepped && p.shapeParam[k] != m % 10000) fail("the step count is not the shape");
        if (!stepped && (p.shapeParam[k] < -1000 || p.shapeParam[k] > 1000)) fail("symmetry out of range");
        const double nums[] = {p.phase[k], p.freq1[k], p.freq2[k], p.amp1[k], p.amp2[k], p.period[k],
                               p.damping[k], p.burstCycles[k]};
        for (double v : nums)
            if (!std::isfinite(v)) fail("a number that is not finite");
        if (w != 6) {
            if (p.freq1[k] < 0.0 || p.freq2[k] < 0.0) fail("a negative frequency");
            if (!(p.period[k] > 0.0)) fail("a period that is not positive");
            if (p.damping[k] < 0.0) fail("a negative damping");
            if (!(p.burstCycles[k] > 0.0)) fail("burst cycles not positive");
        }
    }
    for (int k = 0; k < kelmo::sim::kSumRows; ++k)
        for (int j = 0; j < kelmo::sim::kSumSources; ++j) {
            const double v = p.mixWeight[k][j];
            if (!std::isfinite(v)) fail("a weight that is not finite");
            if (v != 0.0 && p.waveform[k] != 5) fail("weights in a channel that is not a sum");
        }
    if (p.contSampleCount || p.contGain != 0.0 || p.contFreqCode || p.contStartTick || p.contFirstChannel)
        fail("the library's fields are not 0");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base = std::getenv("KELMO_FUZZ_SCRATCH");
    const std::string parent = base && *base ? std::string(base) : std::filesystem::temp_directory_path().string();
    std::string dir = parent + "/kelmo-genwave-XXXXXX";
    if (!::mkdtemp(dir.data())) fail("no scratch folder");
    g_file = dir + "/params.toml";
    std::atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(g_file.c_str(), "wb");
    if (!f) fail("cannot write the scratch file");
    if (size && std::fwrite(data, 1, size, f) != size) fail("short write");
    std::fclose(f);
    try {
        const SimParamBlock p = genwave::load_params(g_file);
        check_block(p);
        const std::string text = genwave::describe(p);
        (void)text;
    } catch (const std::runtime_error& e) {
        const std::string m = e.what();
        if (!whole_file_message(m) && !located(m)) fail("a refusal that does not say where:", m);
    }
    return 0;
}
