// SPDX-License-Identifier: Apache-2.0
#pragma once
// vorna-image: host tool for boards and firmware images. Each subcommand is one
// function that takes the words after its name and returns the exit status.
#include <string>
#include <vector>

/// `vorna-image board DESCRIPTION OUTDIR`; argv[0] is "board". 0 or 1.
int image_board_main(int argc, char** argv);

/// Prints the board subcommand's help on stdout.
void image_board_help();

/// `vorna-image keygen [--force] PRIVATE_KEY.pem KEY_BLOB.txt`. 0 or 1.
int image_keygen_main(int argc, char** argv);
void image_keygen_help();

/// `vorna-image pack [--board TABLE.json] MANIFEST.json PRIVATE_KEY.pem IMAGE`. 0 or 1.
int image_pack_main(int argc, char** argv);
void image_pack_help();

/// `vorna-image sign IMAGE PRIVATE_KEY.pem`. 0 or 1.
int image_sign_main(int argc, char** argv);
void image_sign_help();

/// `vorna-image info [--json] IMAGE [KEY_BLOB.txt]`. 0 or 1.
int image_info_main(int argc, char** argv);
void image_info_help();

/// `vorna-image digest IMAGE [--out DIR]`. 0 or 1.
int image_digest_main(int argc, char** argv);
void image_digest_help();

/// `vorna-image attach IMAGE [--strong KEYID:SIG]... [--legacy SIG] --key PUBLIC_KEY...`. 0 or 1.
int image_attach_main(int argc, char** argv);
void image_attach_help();

/// `vorna-image verify IMAGE --key PUBLIC_KEY...`. 0 or 1.
int image_verify_main(int argc, char** argv);
void image_verify_help();

namespace vorna_image {

/// Prints "vorna-image COMMAND: message" on stderr; returns 1, the exit status.
[[gnu::format(printf, 2, 3)]] int fail(const char* command, const char* fmt, ...);

/// Takes "--NAME VALUE" or "--NAME=VALUE" out of argv[1..argc) (argc shrinks) and
/// points `value` at it; `value` is left alone when the option is absent. The
/// last one given counts. 0, or 1 after printing when the value is missing.
int take_option(const char* command, int& argc, char** argv, const char* name, const char*& value);

/// Takes every "--NAME VALUE" or "--NAME=VALUE" out of argv[1..argc) (argc shrinks)
/// into `values`, in order. 0, or 1 after printing `missing` (else "NAME needs a
/// value") when a value is missing.
int take_repeated_option(const char* command, int& argc, char** argv, const char* name,
                         std::vector<std::string>& values, const char* missing = nullptr);

/// Takes every "--NAME" word out of argv[1..argc) (argc shrinks); true when there was one.
bool take_flag(int& argc, char** argv, const char* name);

} // namespace vorna_image
