#pragma once
// vorna-image: host tool for boards and firmware images. Each subcommand is one
// function that takes the words after its name and returns the exit status.

/// `vorna-image board DESCRIPTION OUTDIR`; argv[0] is "board". 0 or 1.
int image_board_main(int argc, char** argv);

/// Prints the board subcommand's help on stdout.
void image_board_help();

/// `vorna-image keygen PRIVATE_KEY.pem KEY_BLOB.txt`. 0 or 1.
int image_keygen_main(int argc, char** argv);
void image_keygen_help();

/// `vorna-image pack MANIFEST.json PRIVATE_KEY.pem IMAGE`. 0 or 1.
int image_pack_main(int argc, char** argv);
void image_pack_help();

/// `vorna-image sign IMAGE PRIVATE_KEY.pem`. 0 or 1.
int image_sign_main(int argc, char** argv);
void image_sign_help();

/// `vorna-image info IMAGE [KEY_BLOB.txt]`. 0 or 1.
int image_info_main(int argc, char** argv);
void image_info_help();

namespace vorna_image {

/// Prints "vorna-image COMMAND: message" on stderr; returns 1, the exit status.
[[gnu::format(printf, 2, 3)]] int fail(const char* command, const char* fmt, ...);

} // namespace vorna_image
