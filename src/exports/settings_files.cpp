// LoadACDC, SaveACDC, LoadACDC2, SaveACDC2, LoadChMode, SaveChMode,
// LoadChMode2, SaveChMode2.
#include "core/settings_files.h"
#include "exports/guard.h"
#include "kelmo.h"

extern "C" {

KELMO_API void KELMO_CALL LoadACDC(double* settings) {
    kelmo::guarded_void("LoadACDC", [&] { kelmo::settings::load_coupling(kelmo::settings::kCouplingFile, settings); });
}
KELMO_API void KELMO_CALL SaveACDC(double* settings) {
    kelmo::guarded_void("SaveACDC", [&] { kelmo::settings::save_coupling(kelmo::settings::kCouplingFile, settings); });
}
KELMO_API void KELMO_CALL LoadACDC2(double* settings) {
    kelmo::guarded_void("LoadACDC2", [&] { kelmo::settings::load_coupling(kelmo::settings::kCouplingFile2, settings); });
}
KELMO_API void KELMO_CALL SaveACDC2(double* settings) {
    kelmo::guarded_void("SaveACDC2", [&] { kelmo::settings::save_coupling(kelmo::settings::kCouplingFile2, settings); });
}
KELMO_API void KELMO_CALL LoadChMode(double* settings) {
    kelmo::guarded_void("LoadChMode", [&] { kelmo::settings::load_modes(kelmo::settings::kModeFile, settings); });
}
KELMO_API void KELMO_CALL SaveChMode(double* settings) {
    kelmo::guarded_void("SaveChMode", [&] { kelmo::settings::save_modes(kelmo::settings::kModeFile, settings); });
}
KELMO_API void KELMO_CALL LoadChMode2(double* settings) {
    kelmo::guarded_void("LoadChMode2", [&] { kelmo::settings::load_modes(kelmo::settings::kModeFile2, settings); });
}
KELMO_API void KELMO_CALL SaveChMode2(double* settings) {
    kelmo::guarded_void("SaveChMode2", [&] { kelmo::settings::save_modes(kelmo::settings::kModeFile2, settings); });
}

}  // extern "C"
