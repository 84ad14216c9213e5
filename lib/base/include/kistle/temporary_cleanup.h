// Removing the library's named temporary files when a program is stopped by a
// signal.
#ifndef KISTLE_TEMPORARY_CLEANUP_H
#define KISTLE_TEMPORARY_CLEANUP_H

#include <kistle/export.h>

// Where a file system cannot create a file without a name, the library's
// temporary files (a cabinet being written, a file being extracted) carry a
// name of the form .kistle-<random> until they are complete. This removes
// every such file of this process that is still unfinished. Only
// async-signal-safe calls are made, so a handler of SIGINT, SIGTERM or SIGHUP
// may call it before the program ends; the files stay registered, and their
// owners still work, so it is safe to call at any time. Files made without a
// name need nothing: the system removes them with the process.
KISTLE_EXPORT void remove_temporary_files();

#endif
