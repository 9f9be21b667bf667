// What kelmo view's server and its page say to each other.
//
// HTTP (every request carries the run's access token, as the query
// parameter `token=…`; a request without it, or with another, is refused
// with 403 and no content; the token is checked on the request line and
// headers alone, and a request that brings a body is refused with 413
// before it is read):
//   GET /             the page (index.html)
//   GET /<file>       the page's files (app.js, style.css, uPlot.iife.min.js,
//                     uPlot.min.css), from the installed share/kelmo/view
//   GET /ws           the WebSocket (upgrade), the same token
//
// WebSocket, server to page:
//   text: JSON objects, each with "type":
//     {"type":"hello", "readOnly":bool, "version":"0.1.0",
//      "cards":[{"type":123, "channels":32, "rates":[…Hz], "gains":[1,2,…],
//                "fullScale":5000, "unit":"…", "name":"simulated source"}, …]}
//         once, first; the cards the controls offer (GetADParameter's).
//     {"type":"state", "state":"starting"|"running"|"stopped"|"failed",
//      "reason":"…" (the library's, when failed), "config":{"card":123,
//      "rate":10000, "channels":[0,1], "gain":1}, "rate":actual Hz,
//      "unit":"" (the symbol; "" when the catalogue names none), "fullScale":5000, "blocks":N, "gaps":N, "samples":N,
//      "serverFps":x, "dropped":N (frames this page did not get because it
//      was slow), "latencyMs":x (from the page's "drawn" reports),
//      "trigger":"library"|"software"|"off",
//      "kept":s (seconds of every channel the server keeps: the longest
//      screen it can show), "notice":"…" (why this page's last
//      configuration was refused, or why its scope gets no frames; "" when
//      nothing is amiss),
//      "dominant":[{"hz":50.0, "db":-4.4}, …] (per channel, from the FFT)}
//         whenever it changes and at least once a second.
//   binary: frames, little-endian, a 48-byte header then float32 data:
//     u32 magic 0x3157564B ("KVW1" in memory order), u16 kind, u16 channels,
//     u32 seq (one sequence over all frames to this page), u32 columns,
//     f64 rate (Hz), u64 first (index of the first sample the frame shows,
//     counted from the acquisition's start), u32 per (samples per column),
//     u32 flags, f64 trigger (for kind 1: the sample index of the trigger
//     crossing, or -1; for kind 2: the bin width in Hz)
//     kind 1, scope: for each channel, `columns` minima then `columns`
//       maxima of the samples of each column (per = 1: both the sample
//       itself), in engineering units. flags bit 0: triggered.
//     kind 2, spectrum: for each channel, `columns` bins of the FFT in dB
//       then `columns` bins of the maximum-entropy spectrum in dB (0 dB =
//       a sine at full scale), bins from 0 Hz in steps of `trigger` Hz.
//
// WebSocket, page to server (text, JSON):
//   {"type":"view", "columns":N (pixels of the plot), "seconds":x (time
//    the scope shows: 10 divisions), "mode":"run"|"stop"|"single",
//    "trigger":{"slope":"off"|"rising"|"falling", "channel":c, "level":v
//    (engineering units), "pre":0.1 (fraction of the screen before it)},
//    "average":n (spectra averaged, 1 = none), "bins":N (FFT size / 2)}
//       whenever the user changes one; the server sends frames to suit.
//   {"type":"config", "card":123, "rate":10000, "channels":[0,1], "gain":1}
//       restarts the acquisition (refused in --read-only: a "state" says so;
//       refused, with the reason in "notice", when the card lacks the rate,
//       a channel or the gain).
//   {"type":"drawn", "seq":N}
//       after the page drew frame N (for the latency and the page's rate).
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace kelmo::view {

inline constexpr uint32_t kFrameMagic = 0x3157564B;
inline constexpr uint16_t kScopeFrame = 1, kSpectrumFrame = 2;
inline constexpr uint32_t kTriggered = 1;

#pragma pack(push, 1)
struct FrameHeader {
    uint32_t magic = kFrameMagic;
    uint16_t kind = 0;
    uint16_t channels = 0;
    uint32_t seq = 0;
    uint32_t columns = 0;
    double rate = 0;
    uint64_t first = 0;
    uint32_t per = 1;
    uint32_t flags = 0;
    double trigger = -1;
};
#pragma pack(pop)
static_assert(sizeof(FrameHeader) == 48);

// A message as its text. Every text a page gets is UTF-8: a byte that is
// not (a folder's name in the library's reason) becomes U+FFFD.
inline std::string message_text(const nlohmann::json& message) {
    return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace kelmo::view
