// A third process that ends a waiting triggered acquisition: it calls
// InterruptTrigSample until the acquisition has taken the interrupt and
// gone (its flag is no longer there). One interrupt that reached the flag
// before the acquisition cleared it at its start would be lost.
#include <chrono>
#include <cstdio>
#include <thread>

#include "kelmo.h"
#include "platform/platform.h"

int main() {
    std::printf("ready %ld\n", static_cast<long>(kelmo::platform::current().system.process_id()));
    std::fflush(stdout);
    bool reached = false;
    for (int i = 0; i < 1500; ++i) {
        if (InterruptTrigSample() == 1) {
            reached = true;
        } else if (reached) {
            std::printf("interrupted\n");
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 1;
}
