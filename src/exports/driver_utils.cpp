// InitNTDriver, GetPrintPortStatus, ZebAlloc, ZebFree.
#include <cstdint>

#include "core/card_types.h"
#include "exports/guard.h"
#include "kelmo.h"
#include "platform/platform.h"
#include "sources/driver/device.h"

using namespace kelmo;

extern "C" {

KELMO_API int KELMO_CALL InitNTDriver(void) {
    return answered("InitNTDriver", 2, [] { return (platform::current().system.version_word() & 0x80000000u) ? 2 : 1; });
}

KELMO_API int KELMO_CALL GetPrintPortStatus(uint16_t* status) {
    return guarded("GetPrintPortStatus", 0, [&] {
        if (!require(status, "the status pointer is null; pass room for the 2-byte port status")) return 0;
        auto dev = driver::DeviceSession::open();
        if (!dev) return 0;
        platform::RequestRecord rec{};
        if (!dev.request(platform::kPortStatus, rec, status, 2)) return 0;  // the session closes itself
        return dev.close() ? 1 : 0;
    });
}

KELMO_API void* KELMO_CALL ZebAlloc(int cardType, uint32_t n) {
    return guarded<void*>("ZebAlloc", nullptr, [&]() -> void* {
        // The code as passed: bytes of one raw word of the card type.
        const uint64_t bytes = static_cast<uint64_t>(n) * cards::card_type(cardType).wordBytes;
        if (n == 0) {
            because("no words were asked for; give a count above 0");
            return nullptr;
        }
        if (bytes > SIZE_MAX) {
            because("%u words do not fit in this process's memory", static_cast<unsigned>(n));
            return nullptr;
        }
        return platform::take_pages(static_cast<std::size_t>(bytes));
    });
}

KELMO_API int KELMO_CALL ZebFree(void* address) {
    return guarded("ZebFree", 0, [&] {
        if (!require(address, "the address is a null pointer; pass a block that ZebAlloc returned")) return 0;
        if (platform::current().system.release_pages(address)) return 1;
        because("the block at %p is not one that ZebAlloc returned, or it was freed already; free each block once",
                address);
        return 0;
    });
}

}  // extern "C"
