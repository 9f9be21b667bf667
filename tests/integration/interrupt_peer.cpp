// A third process that ends a waiting triggered acquisition: it calls
// InterruptTrigSample until a running acquisition takes the interrupt.
#include <chrono>
#include <cstdio>
#include <thread>


#include "kelmo.h"
#include "platform/platform.h"

int main() {
    std::printf("ready %ld\n", static_cast<long>(kelmo::platform::current().system.process_id()));
    std::fflush(stdout);
    for (int i = 0; i < 500; ++i) {
        if (InterruptTrigSample() == 1) {
            std::printf("interrupted\n");
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 1;
}
