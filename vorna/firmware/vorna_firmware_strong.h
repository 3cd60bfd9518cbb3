// SPDX-License-Identifier: Apache-2.0
#pragma once
// Strong image signatures: Ed25519 over the strong digest of the whole image
// (vorna_firmware_digest.h), carried in the signature block
// (vorna_firmware_signature_block.h), checked against the Ed25519 public keys
// this build trusts. A build that trusts no key never looks at them.
#include "vorna/firmware/vorna_firmware.h"
#include "vorna/firmware/vorna_firmware_digest.h"
#include "vorna/firmware/vorna_firmware_signature_block.h"

#include <array>
#include <cstdint>
#include <span>

using firmware_ed25519_key = std::array<std::uint8_t, 32>; ///< raw public key (RFC 8032)

/// The keys compiled in from VORNA_TRUSTED_KEYS (a generated source); empty when
/// none was configured.
[[nodiscard]] std::span<const firmware_ed25519_key> firmware_trusted_keys();

/// False only in a strong-only build (VORNA_REQUIRE_LEGACY_SIGNATURE=OFF, which
/// needs trusted keys): there an image without a legacy signature is decided by
/// its strong signature alone. Generated with firmware_trusted_keys().
[[nodiscard]] bool firmware_legacy_signature_required();

/// A key's identifier: the first 8 bytes of SHA-256 of the raw public key.
[[nodiscard]] firmware_key_id firmware_key_id_of(const firmware_ed25519_key& key);

/// The identifier as 16 lowercase hexadecimal digits and a NUL.
[[nodiscard]] std::array<char, 2 * k_key_id_len + 1> firmware_key_id_text(const firmware_key_id& id);

/// Number of trusted keys and the identifier of the i-th (for `vorna -V`).
[[nodiscard]] std::size_t firmware_trusted_key_count();
[[nodiscard]] firmware_key_id firmware_trusted_key_id(std::size_t index);

/// 1 when `signature` is a valid Ed25519 signature of `digest` under `key`, else 0.
[[nodiscard]] int firmware_ed25519_verify(const firmware_ed25519_key& key, const sha256_digest& digest,
                                          std::span<const std::uint8_t, k_ed25519_signature_len> signature);

enum class strong_verdict_kind {
    pass,
    missing_block,
    malformed_block,
    unknown_keys,  ///< no signature by a trusted key
    bad_signature, ///< signatures by trusted keys, none of them valid
};

struct strong_verdict {
    strong_verdict_kind kind;
    signature_block_status block_status;
    signature_block block;  ///< as decoded (count 0 unless the block is well-formed)
    firmware_key_id key_id; ///< pass: the key that verified; bad_signature: the first trusted key tried
};

/// Decides an image by its block area (bytes 432.. of the image), its strong
/// digest and the trusted keys: the first entry by a trusted key that verifies
/// passes the image.
[[nodiscard]] strong_verdict firmware_strong_verify(std::span<const std::uint8_t> block_area,
                                                    const sha256_digest& digest,
                                                    std::span<const firmware_ed25519_key> trusted);

/// What the reading pass hands to the strong check that follows the legacy one.
struct firmware_strong_pending {
    bool active = false; ///< trusted keys exist, so the strong check runs
    int digest_rc = 0;   ///< 0 when `digest` was computed
    sha256_digest digest{};
};

/// The legacy RSA check of an MD5 digest against the signature field as decoded
/// into `header`. 0 when it verifies, else -1.
[[nodiscard]] int firmware_verify_legacy_digest(const firmware_header& header, const md5_digest& digest);

/// True when a failed legacy check may be passed over: a strong-only build whose
/// strong check runs, and an image whose legacy signature field is all zero.
/// Prints a line saying so when true.
[[nodiscard]] bool firmware_legacy_signature_waived(const firmware_header& header,
                                                    const firmware_strong_pending& pending);

/// The strong check, after "rsa check pass": 0 (printing the key that passed,
/// or nothing when inactive), -4 after naming the failure, -1 when the digest
/// could not be computed.
[[nodiscard]] int firmware_strong_report(const firmware_header& header, const firmware_strong_pending& pending);
