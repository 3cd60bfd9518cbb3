// SPDX-License-Identifier: Apache-2.0
#pragma once
// Strong (Ed25519) signatures in the image tool: the --key options, key files,
// signing into the signature block, keygen --ed25519 and what info shows.
#include "tools/vorna_image_firmware.h"

#include "vorna/firmware/vorna_firmware_strong.h"

#include <string>
#include <vector>

namespace vorna_image {

/// Takes every "--key PATH" (or "--key=PATH") out of argv, in order, into `paths`;
/// argc and argv keep the other words. 0, or 1 after printing when a --key lacks its path.
int take_key_options(const char* command, int& argc, char** argv, std::vector<std::string>& paths);

/// Loads PEM Ed25519 private keys (pack, sign). Empty after printing on a failure;
/// a key of another kind gets a message of its own.
int load_strong_private_keys(const char* command, const std::vector<std::string>& paths, std::vector<pkey_ptr>& keys);

/// Writes the signature block of `image` with one Ed25519 signature per key over
/// the strong digest. Nothing to do without keys. Runs before the legacy
/// signature, which then covers the block. 0, or 1 after printing.
int sign_image_strong(const char* command, std::vector<std::uint8_t>& image, const std::vector<pkey_ptr>& keys);

/// `keygen --ed25519 PRIVATE.pem PUBLIC.pem`. 0 or 1.
int keygen_ed25519(const char* command, const std::string& private_path, const std::string& public_path);

/// An Ed25519 public key given to info.
struct strong_public_key {
    std::string path;
    firmware_ed25519_key raw;
    firmware_key_id id;
};

/// Loads PEM Ed25519 public keys (info). 0, or 1 after printing; a key of
/// another kind gets a message of its own.
int load_strong_public_keys(const char* command, const std::vector<std::string>& paths,
                            std::vector<strong_public_key>& keys);

} // namespace vorna_image
