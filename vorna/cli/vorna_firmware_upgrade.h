// SPDX-License-Identifier: Apache-2.0
#pragma once
// vorna's command line and the single-instance lock of the upgrade.

#include "vorna/support/vorna_paths.h"

/// Takes a non-blocking whole-file write lock on `path` and writes this process's
/// id into it. 0 (descriptor kept open for the process's life), 1 when another
/// process holds it, -2 when the file there is not acceptable (a link, not a
/// regular file, another user's), -1 on other failures; failure lines go to stderr.
[[nodiscard]] int lock_pid_file(const char* path);

/// Prints the usage text on stdout.
void usage();

/// vorna's main: parses the command line, runs one mode, returns its result.
[[nodiscard]] int vorna_main(int argc, char** argv);
