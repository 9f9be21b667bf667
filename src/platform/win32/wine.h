// What a Windows process can learn of, and do in, the Unix system it runs
// on under wine, where wine itself hides it: Unix symbolic links (wine
// follows them as if they were files) and the Unix descriptors 0, 1 and 2
// (wine keeps a started program's standard error its parent's, whatever
// its standard handles say). Outside wine each is a no-op.
#pragma once

namespace kelmo::platform::win32::wine {

// True when the process runs under wine on Linux (x86 or x86-64).
bool on_linux();

// True when `name` (a Windows path) is, under wine, a symbolic link of the
// Unix file system; false outside wine and where that cannot be told.
bool is_unix_symbolic_link(const char* name);

// Makes `name` (a Windows path) a symbolic link of the Unix file system to
// `target` (as the link holds it): how the tests put one where wine shows
// a file. False outside wine or when it cannot.
bool make_unix_symbolic_link(const char* target, const char* name);

// Points the Unix descriptors 0, 1 and 2 of this process at /dev/null
// (under wine on Linux): a program started for a host then holds none of
// the host's pipes. False where nothing was done.
bool detach_unix_std_descriptors();

}  // namespace kelmo::platform::win32::wine
