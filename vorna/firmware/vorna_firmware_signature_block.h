// SPDX-License-Identifier: Apache-2.0
#pragma once
// The strong-signature block. It lives in the header bytes 432..4095, which old
// devices do not interpret but do cover with the legacy signature, so an image
// that carries it is accepted by them unchanged.
//
//   block offset  size  field
//   0             4     magic "VSIG" (56 53 49 47)
//   4             1     version, 1
//   5             1     count of signatures, 1..4
//   6             2     zero
//   8             ...   `count` entries, one after the other:
//                         0   1   algorithm (1 = Ed25519)
//                         1   1   zero
//                         2   2   signature length, big-endian (64 for Ed25519)
//                         4   8   key identifier: SHA-256 of the raw public key, first 8 bytes
//                         12  len signature
//   after the last entry, up to byte 4095 of the image: zero
//
// The codec is pure: it never reads or writes outside the span it is given,
// whatever the count and lengths in it say.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

constexpr std::size_t k_signature_block_offset = 432;
constexpr std::size_t k_signature_block_area = 4096 - k_signature_block_offset; // 3664
constexpr std::array<std::uint8_t, 4> k_signature_block_magic = {'V', 'S', 'I', 'G'};
constexpr std::uint8_t k_signature_block_version = 1;
constexpr std::size_t k_signature_block_max = 4;
constexpr std::size_t k_signature_block_head_len = 8;
constexpr std::size_t k_signature_entry_head_len = 12;
constexpr std::uint8_t k_signature_alg_ed25519 = 1;
constexpr std::size_t k_ed25519_signature_len = 64;
constexpr std::size_t k_key_id_len = 8;

using firmware_key_id = std::array<std::uint8_t, k_key_id_len>;

struct signature_entry {
    std::uint8_t algorithm;
    firmware_key_id key_id;
    std::array<std::uint8_t, k_ed25519_signature_len> signature;
};

struct signature_block {
    std::uint8_t count; ///< entries in use, 1..4 once decoded
    std::array<signature_entry, k_signature_block_max> entries;
};

/// What the decoder found; every value but `ok` refuses the block.
enum class signature_block_status {
    ok,
    missing,           ///< no magic: the image carries no block
    bad_version,       ///< a version this reader does not know
    bad_count,         ///< count 0 or above 4
    truncated,         ///< an entry runs past the end of the area
    unknown_algorithm, ///< an entry of an algorithm this reader does not know
    bad_length,        ///< a signature length that its algorithm does not have
    not_zero_after,    ///< non-zero bytes after the last entry
    reserved_not_zero, ///< a reserved byte is not zero
};

/// Short text for messages, e.g. "count above 4".
[[nodiscard]] const char* signature_block_status_text(signature_block_status status);

/// Decodes the block at the start of `area` (the image bytes from 432 on, at
/// most 3664 of them; fewer when the image is shorter).
[[nodiscard]] signature_block_status signature_block_decode(std::span<const std::uint8_t> area, signature_block& out);

/// Writes `block` at the start of `area` and zeroes the rest of it. 0, or -1
/// when the count is not 1..4, an entry is not Ed25519 or the area is too short.
[[nodiscard]] int signature_block_encode(const signature_block& block, std::span<std::uint8_t> area);
