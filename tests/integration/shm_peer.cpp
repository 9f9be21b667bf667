// Holds a named shared memory for the integration tests.
//   shm_peer hold NAME VALUE MS   create or open NAME, set word 0 to VALUE,
//                                 print "ready <pid>", hold it MS ms, exit
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>


#include "platform/platform.h"

int main(int argc, char** argv) {
    if (argc != 5 || std::strcmp(argv[1], "hold") != 0) {
        std::fprintf(stderr, "usage: shm_peer hold NAME VALUE MS\n");
        return 2;
    }
    auto shm = kelmo::platform::current().shm.shm_create_or_open(argv[2], 1024, nullptr);
    if (!shm) {
        std::printf("failed %ld\n", static_cast<long>(kelmo::platform::current().system.process_id()));
        return 1;
    }
    shm->set_word(0, std::atoi(argv[3]));
    std::printf("ready %ld\n", static_cast<long>(kelmo::platform::current().system.process_id()));
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[4])));
    return 0;
}
