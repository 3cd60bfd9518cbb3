// SPDX-License-Identifier: Apache-2.0
#pragma once
// What a build of vorna is: its version and the keys it trusts (`vorna -V`).

/// The program's version, "MAJOR.MINOR" (generated at configure time).
extern const char vorna_version[];

/// Fingerprint of the built-in legacy signing key: the first 8 bytes of the
/// SHA-256 of its key blob text (the base64 line), as 16 lowercase hex digits.
extern const char firmware_public_key_fingerprint[];

/// Prints the version lines of `program` on stdout:
///   "<program> <version>"
///   "legacy key: <fingerprint>"
/// one line per trusted strong key after them, and "security floor: <n>" when the
/// build has a floor above 0 (VORNA_SECURITY_FLOOR). Returns 0.
int print_program_version(const char* program);
