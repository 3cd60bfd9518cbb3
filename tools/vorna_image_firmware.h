#pragma once
// What the image subcommands (keygen, pack, sign, info) share: reading and
// replacing files, the signing key, and the signature of an image in memory.
#include "tools/vorna_image.h"

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vorna_image {

struct pkey_deleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using pkey_ptr = std::unique_ptr<EVP_PKEY, pkey_deleter>;

/// Reads a whole regular file. 0, or 1 after printing.
int read_whole(const char* command, const std::string& path, std::vector<std::uint8_t>& out);

/// Replaces `path` with `bytes`: written to a temporary file in the same folder,
/// synced, then renamed over it, so that a failure leaves the old file whole.
/// The new file gets `mode`. 0, or 1 after printing.
int replace_file(const char* command, const std::string& path, const std::vector<std::uint8_t>& bytes,
                 unsigned mode);

/// Loads a PEM RSA private key of 1024 bits. Null after printing.
pkey_ptr load_private_key(const char* command, const std::string& path);

/// Fills the signature field of a whole image in memory: RSASSA-PKCS1-v1_5 with
/// SHA-1 over the MD5 digest of bytes 20.. (the field counted as zeros), stored
/// little-endian at offset 304. 0, or 1 after printing.
int sign_image(const char* command, std::vector<std::uint8_t>& image, EVP_PKEY* key);

} // namespace vorna_image
