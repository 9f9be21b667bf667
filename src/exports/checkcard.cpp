// Checkcard: prepares a source and says in words what is wrong with it.
#include <cstdio>
#include <string>

#include "core/card_type.h"
#include "core/share_block.h"
#include "exports/guard.h"
#include "kelmo.h"
#include "sources/source.h"

using namespace kelmo;

namespace {

int check(int cardType, char* text, int* status) {
    if (!require(text, "the text buffer is a null pointer; pass a buffer of %d bytes",
                 static_cast<int>(kCheckTextBytes)) ||
        !require(status, "the status pointer is null; pass room for an int"))
        return 0;
    const UnitCode u = unit_code(cardType);
    text[0] = '\0';
    *status = 0;
    // The unit's block lives from now on; without it nothing can acquire.
    if (!keep_share_block(u.secondUnit)) {
        const std::string s = std::string("The status block ") + share_block_name(u.secondUnit) +
                              " cannot be created (system error " + std::to_string(platform::current().system.last_error()) +
                              ")";
        std::snprintf(text, kCheckTextBytes, "%s", s.c_str());
        return 0;
    }
    return source_for(u.type).check(text, status);
}

}  // namespace

extern "C" KELMO_API int KELMO_CALL Checkcard(int cardType, char* text, int* status) {
    return guarded("Checkcard", 0, [&] { return check(cardType, text, status); });
}
