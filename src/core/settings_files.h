// Per-channel coupling flags and mode numbers kept in small files in the
// current directory. The host keeps both in one array of doubles: entries
// 256 .. 511 hold the coupling flags of channels 0 .. 255, entries
// 512 .. 767 their mode numbers.
#pragma once

namespace kelmo::settings {

inline constexpr const char* kCouplingFile = "ACDC.sav";
inline constexpr const char* kCouplingFile2 = "ACDC2.sav";
inline constexpr const char* kModeFile = "ChMode.sav";
inline constexpr const char* kModeFile2 = "ChMode2.sav";

// A missing file clears the range to 0.0; a short one reads its missing
// bytes as 0. A save that cannot create its file is skipped silently.
void load_coupling(const char* fileName, double* settings);
void save_coupling(const char* fileName, const double* settings);
void load_modes(const char* fileName, double* settings);
void save_modes(const char* fileName, const double* settings);

}  // namespace kelmo::settings
