#pragma once
// SPDX-License-Identifier: Apache-2.0
// Public keys for checking signatures (info, verify, attach): a legacy key blob
// or an Ed25519 public key, told apart by their contents.
#include "tools/vorna_image_strong.h"

#include "vorna/firmware/vorna_firmware_digests.h"

#include <cjson/cJSON.h>

#include <string>
#include <vector>

namespace vorna_image {

/// A legacy RSA public key: the base64 line of a key blob, as vorna is built with.
struct legacy_public_key {
    std::string path;
    std::string text;
};

struct public_keys {
    std::vector<legacy_public_key> legacy;
    std::vector<strong_public_key> strong;
};

/// Reads the key blob text in `path` into `key`. 0, or 1 after printing.
int load_legacy_public_key(const char* command, const std::string& path, legacy_public_key& key);

/// Sorts each file into `keys`: a PEM file must hold an Ed25519 public key,
/// anything else must be a key blob. 0, or 1 after printing.
int load_public_keys(const char* command, const std::vector<std::string>& paths, public_keys& keys);

/// The digests of `image` from the device's own verification pass: what every
/// signature check of the tool judges, so that it decides as a device does.
[[nodiscard]] firmware_dual_digests image_digests(const std::vector<std::uint8_t>& image);

/// Whether the legacy signature field of `image` (at least 432 bytes) verifies
/// under `key`, by the device's legacy check of the pass's digest.
[[nodiscard]] bool legacy_signature_verifies(const std::vector<std::uint8_t>& image,
                                             const firmware_dual_digests& digests, const legacy_public_key& key);

/// Whether the 128-byte legacy signature field of `image` is all zero (not signed).
[[nodiscard]] bool legacy_signature_absent(const std::vector<std::uint8_t>& image);

/// The account of every signature of `image` for machines: each one's kind, key
/// identifier and, with its key among `keys`, whether it verifies (the
/// "signatures" array of info --json), and each given key that signed nothing.
/// `all_verify` is true when every given key's signature verifies and there was a key.
[[nodiscard]] cJSON* signatures_json(const std::vector<std::uint8_t>& image, const firmware_dual_digests& digests,
                                     const public_keys& keys, bool& all_verify);

/// Adds the account of one signature block to `out` (which holds a "signatures"
/// array): each entry to "signatures", checked over `digest` (null: cannot be
/// had) where `keys` has its key, "signature_block", and "keys_without_signature".
void add_block_account(cJSON* out, std::span<const std::uint8_t> area, const sha256_digest* digest,
                       const std::vector<strong_public_key>& keys, bool& all_verify);

/// The chunk index for machines (the "index" member of info --json and verify
/// --json): present, status, where, its block digests against the contents,
/// stream order, and the account of its signatures over the index digest.
/// `all_verify` turns false for a malformed index, for digests that differ from
/// the contents while strong keys are given, and as for the whole-file block.
[[nodiscard]] cJSON* index_json(const std::vector<std::uint8_t>& image, const public_keys& keys, bool& all_verify);

/// One line of text on what index_json found, e.g. "well-formed, 5 block
/// digests, all match the contents, in stream order".
[[nodiscard]] std::string index_summary(const cJSON* index);

/// Prints `doc` as formatted JSON and a newline on stdout. 0, or 1 after printing.
int print_json(const char* command, const cJSON* doc);

/// Lowercase hexadecimal text of `bytes`.
[[nodiscard]] std::string hex_text(std::span<const std::uint8_t> bytes);

} // namespace vorna_image
