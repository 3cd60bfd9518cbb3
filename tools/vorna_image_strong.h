// SPDX-License-Identifier: Apache-2.0
#pragma once
// Strong (Ed25519) signatures in the image tool: the --key options, key files,
// signing into the signature block, keygen --ed25519 and what info shows.
#include "tools/vorna_image_firmware.h"

#include "vorna/firmware/vorna_firmware_verify.h"

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

/// What happens to the signatures already in an image's block when it is signed again.
struct earlier_signatures {
    std::vector<strong_public_key> check; ///< public keys that check earlier signatures
    std::vector<firmware_key_id> drop;    ///< earlier signatures to leave out
};

/// What became of one earlier signature when its block was signed again.
struct signature_note {
    enum class fate { kept, signed_again, dropped, other };
    firmware_key_id id{};
    fate what = fate::other;
    std::string text;
};

/// The two signature blocks an image may carry: the header's, over the strong
/// digest, and the chunk index's, over the index digest.
enum class signature_place { image, index };

/// resign_image_strong's work on one block: `area` (the header's 3664 bytes or
/// the index's 312) signed over `digest`, notes worded for `place`. A --drop is
/// refused when neither this block nor `held_elsewhere` has its key. 0, or 1
/// after printing, with `area` unchanged.
int resign_area(const char* command, std::span<std::uint8_t> area, const sha256_digest& digest,
                const std::vector<pkey_ptr>& keys, const earlier_signatures& earlier, signature_place place,
                std::span<const firmware_key_id> held_elsewhere, std::vector<signature_note>& notes);

/// The key identifiers of the signatures in a block area (none when it holds no
/// well-formed block).
[[nodiscard]] std::vector<firmware_key_id> block_key_ids(std::span<const std::uint8_t> area);

/// The identifiers of `keys`, in order; refused when one is given twice. 0, or 1 after printing.
int key_ids_of(const char* command, const std::vector<pkey_ptr>& keys, std::vector<firmware_key_id>& ids);

/// sign_image_strong for an image that may carry a block already: its
/// signatures stay in their order, each one checked where `earlier.check` has
/// its key (kept when it verifies over the image as signed, dropped when not),
/// except those `earlier.drop` names and those by a key of `keys`, which signs
/// again in its place; the new keys' signatures follow. One line per earlier
/// signature saying what became of it goes to `notes`. Refused, with nothing
/// changed, when the block would hold more than 4 signatures or a --drop names
/// none of them. With no keys, checks or drops the block is left as it is. 0,
/// or 1 after printing.
int resign_image_strong(const char* command, std::vector<std::uint8_t>& image, const std::vector<pkey_ptr>& keys,
                        const earlier_signatures& earlier, std::vector<std::string>& notes);

} // namespace vorna_image
