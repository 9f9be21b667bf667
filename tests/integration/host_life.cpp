// A host's whole life, in the order the README's first acquisition gives: set-up calls (two of
// them from two threads at once), block and continuous acquisitions, and
// exit with the status block and "123_1ch" still kept by the library. Run
// under AddressSanitizer and valgrind, it shows that nothing is used after
// it was freed, at exit included. Plays the signal-source program itself.
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "kelmo.h"
#include "platform/platform.h"
#include "sources/sim/param_block.h"

namespace {
int failures = 0;
void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "host_life: %s failed\n", what);
        ++failures;
    }
}
}  // namespace

int main(int argc, char** argv) {
    using kelmo::sim::SimParamBlock;
    // --start-source: only let the library start the signal-source program
    // (its block must be missing) and exit while it runs. The program must
    // not hold this host's standard output: `host | cat` ends with the host.
    if (argc > 1 && std::strcmp(argv[1], "--start-source") == 0) {
        char text[131] = "";
        int status = 0;
        const int ok = Checkcard(123, text, &status);
        std::printf("host_life: Checkcard %d \"%s\"\n", ok, text);
        return ok == 1 ? 0 : 1;
    }
    auto params = kelmo::platform::current().shm.shm_create_or_open(kelmo::sim::kParamBlockName,
                                                                kelmo::sim::kParamBlockBytes, nullptr);
    check(params != nullptr, "publishing the parameter block");
    if (!params) return 1;
    auto* p = static_cast<SimParamBlock*>(params->data());
    for (int k = 0; k < 32; ++k) p->waveform[k] = 6;
    p->waveform[0] = 2;
    p->freq1[0] = 50.0;
    p->amp1[0] = 1000.0;
    p->period[0] = 1.0;

    // First calls from two threads at once.
    int okA = 0;
    int channels = 0;
    std::thread a([&] {
        char text[131];
        int status = 0;
        okA = Checkcard(123, text, &status);
    });
    std::thread b([&] { GetADParameter(123, &channels, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); });
    a.join();
    b.join();
    check(okA == 1, "Checkcard");
    check(channels == 32, "GetADParameter");

    uint32_t code = 0;
    double actual = 0.0;
    check(PreSamp(123, 100000.0, &code, &actual) == 1, "PreSamp");
    std::vector<double> out(4 * 1000);
    check(OneChSam(123, code, 1000, 1, 1, out.data()) == 1, "OneChSam");
    check(MulChSam(123, static_cast<int>(code), 1000, 1, 4, out.data()) == 1, "MulChSam");
    uint32_t handle = 0;
    int status = 0;
    check(Set_dbl_MulChSam(&handle, 123, static_cast<int>(code), 1, 4, 1000) == 1, "Set_dbl_MulChSam");
    for (int i = 0; i < 3; ++i)
        check(get_dbl_data(&handle, 123, 1000, 4, out.data(), 1000, 0, &status) == 1, "get_dbl_data");
    recover(&handle, 123);
    std::printf("host_life: %d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
