// Standard output as the commands use it: what they print is flushed
// before the library's own lines, and a loss is reported once at the end.
#pragma once

namespace kelmo::cli {

// Flushes standard output where its lines must come out before what the
// library prints on stderr. A flush that fails drops what it held; its
// cause is kept for standard_output_written.
void flush_standard_output();
// Flushes standard output at the end of a command. False, after one line
// on stderr naming "standard output" and the cause, when anything written
// to it was lost.
bool standard_output_written();

}  // namespace kelmo::cli
