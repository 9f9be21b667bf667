// Another process for the fault tests: takes a named shared memory the way
// a host does and waits to be killed, or looks at what a killed one left.
//
//   fault_peer hold NAME           creates or opens NAME (1024 bytes) and waits
//   fault_peer hold-block          Checkcard keeps "USB_samp"; word 0 set to -1 (32-fold mode), waits
//   fault_peer continuous          a continuous acquisition of the single channel 3 ("123_1ch" = -3), fetching
//   fault_peer trigger             a triggered acquisition that never triggers ("ZebTrigShareMem"), waiting
//   fault_peer look NAME           prints "absent" or "present <word 0>", holding nothing afterwards
//   fault_peer fresh NAME          prints word 0 of NAME as this process creates or opens it
//   fault_peer getfre              prints GetFre's result (the mode word of "USB_samp", 1 without one)
//   fault_peer interrupt           prints InterruptTrigSample's result
//   fault_peer fetch               a fetch of the simulated source without a start, then a start and a fetch
//
// The waiting roles print "ready <pid>" once they hold what they hold.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kelmo.h"
#include "platform/platform.h"

namespace {

using namespace kelmo;

void ready() {
    std::printf("ready %ld\n", static_cast<long>(platform::current().system.process_id()));
    std::fflush(stdout);
}

[[noreturn]] void wait_for_ever() {
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

uint32_t rate_code() {
    uint32_t code = 0;
    double actual = 0;
    PreSamp(123, 10000.0, &code, &actual);
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    const std::string name = argc > 2 ? argv[2] : "";
    auto& p = platform::current();
    char text[131];
    int status = 0;
    if (what == "hold") {
        auto m = p.shm.shm_create_or_open(name.c_str(), 1024, nullptr);
        if (!m) return 1;
        ready();
        wait_for_ever();
    }
    if (what == "hold-block") {
        if (!Checkcard(5, text, &status)) return 1;
        auto m = p.shm.shm_open_existing("USB_samp", 1024, platform::Access::ReadWrite);
        if (!m) return 1;
        m->set_word(0, -1);
        m.reset();
        ready();
        wait_for_ever();
    }
    if (what == "continuous") {
        Checkcard(5, text, &status);
        const uint32_t code = rate_code();
        uint32_t handle = 0;
        if (!Set_dbl_MulChSam(&handle, 123, static_cast<int>(code), 1, -3, 256)) return 1;
        std::vector<double> block(256);
        if (!get_dbl_data(&handle, 123, 256, 1, block.data(), 256, 0, &status)) return 1;
        ready();
        for (;;) get_dbl_data(&handle, 123, 256, 1, block.data(), 256, 0, &status);
    }
    if (what == "trigger") {
        Checkcard(5, text, &status);
        const uint32_t code = rate_code();
        std::thread announce([&] {
            while (!p.shm.shm_open_existing("ZebTrigShareMem", 1024, platform::Access::ReadOnly))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ready();
        });
        std::vector<double> out(1024);
        const int r = TriMulChSam(0, 0, 1e300, 123, static_cast<int>(code), 1024, 1, 1, out.data());
        announce.join();
        std::printf("result %d\n", r);
        return 0;
    }
    if (what == "look") {
        auto m = p.shm.shm_open_existing(name.c_str(), 1024, platform::Access::ReadOnly);
        if (m) std::printf("present %d\n", static_cast<int>(m->word(0)));
        else std::printf("absent\n");
        return 0;
    }
    if (what == "fresh") {
        auto m = p.shm.shm_create_or_open(name.c_str(), 1024, nullptr);
        if (!m) return 1;
        std::printf("%d\n", static_cast<int>(m->word(0)));
        return 0;
    }
    if (what == "getfre") {
        double f = 0;
        std::printf("%d\n", GetFre(602, 100, &f, 1));
        return 0;
    }
    if (what == "interrupt") {
        std::printf("%d\n", InterruptTrigSample());
        return 0;
    }
    if (what == "fetch") {
        Checkcard(5, text, &status);
        const uint32_t code = rate_code();
        uint32_t handle = 0;
        std::vector<double> block(2 * 64);
        const int without = get_dbl_data(&handle, 1230, 64, 1, block.data(), 64, 0, &status);
        const int started = Set_dbl_MulChSam(&handle, 123, static_cast<int>(code), 1, 2, 64);
        const int with = get_dbl_data(&handle, 1230, 64, 2, block.data(), 64, 0, &status);
        auto one = p.shm.shm_open_existing("123_1ch", 1024, platform::Access::ReadOnly);
        std::printf("%d %d %d %d\n", without, started, with, one ? static_cast<int>(one->word(0)) : -999);
        recover(&handle, 123);
        return 0;
    }
    std::fprintf(stderr, "fault_peer: unknown role %s\n", what.c_str());
    return 2;
}
