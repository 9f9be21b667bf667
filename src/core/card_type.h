// Card type codes: how a code chosen by the host becomes the effective card
// type that every table of the library is keyed by.
#pragma once

#include <cstdint>

#include "kelmo.h"

namespace kelmo {

// The alias codes (kelmo.h: 831 .. 859) stand for 801 .. 829; every other
// code is kept.
constexpr bool is_alias_code(int32_t code) { return code >= KELMO_FIRST_ALIAS_CODE && code <= KELMO_LAST_ALIAS_CODE; }
constexpr int32_t reduce_code(int32_t code) { return is_alias_code(code) ? code - KELMO_ALIAS_OFFSET : code; }

// The form the acquisition exports use: the sign chooses the unit (second
// unit for negative codes), the magnitude the card type.
struct UnitCode {
    int32_t type;       // effective card type
    bool secondUnit;    // the code was negative
};

// The magnitude of a code (INT32_MIN's does not fit; it is no card type
// anyway).
constexpr int32_t code_magnitude(int32_t code) { return code < 0 ? (code == INT32_MIN ? INT32_MAX : -code) : code; }

constexpr UnitCode unit_code(int32_t code) { return UnitCode{reduce_code(code_magnitude(code)), code < 0}; }

}  // namespace kelmo
