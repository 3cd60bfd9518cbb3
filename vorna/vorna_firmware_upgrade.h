// SPDX-License-Identifier: Apache-2.0
#pragma once
// vorna's command line and the single-instance lock of the upgrade.

constexpr const char* k_lock_path = "/tmp/vorna_firmware_upgrade.pid";

/// Takes a non-blocking whole-file write lock on `path` and writes this process's
/// id into it. 0 (descriptor kept open for the process's life), 1 when another
/// process holds it, -1 on failure; failure lines go to stderr.
[[nodiscard]] int lock_pid_file(const char* path);

/// Prints the usage text on stdout.
void usage();

/// vorna's main: parses the command line, runs one mode, returns its result.
[[nodiscard]] int vorna_main(int argc, char** argv);
