// SPDX-License-Identifier: Apache-2.0
#pragma once
// The chunk index in the image tool: where it stands in an image held in memory,
// its block digests, what its signatures sign and where they go. The codec and
// the digest are vorna's own, so that what the tool writes is what vorna reads.
#include "tools/vorna_image_strong.h"

#include "vorna/firmware/vorna_firmware_digests.h"
#include "vorna/firmware/vorna_firmware_index.h"

#include <cstdint>
#include <span>
#include <vector>

namespace vorna_image {

/// An image's index as the tool finds it.
struct image_index {
    firmware_header header{};
    firmware_ptn_table table{};
    firmware_index_location where{};
    /// firmware_index_locate, then firmware_index_decode once located; `missing`
    /// also when the image is too short for its table.
    firmware_index_status status = firmware_index_status::missing;
    [[nodiscard]] bool present() const { return status != firmware_index_status::missing; }
};

[[nodiscard]] image_index find_index(std::span<const std::uint8_t> image);

/// The SHA-256 of every 64 KiB block of each walked entry's contents, in table
/// order. 0, or 1 after printing when contents lie outside the image.
int block_digests_of(const char* command, std::span<const std::uint8_t> image, const firmware_ptn_table& table,
                     std::vector<firmware_block_digest>& out);

/// Blocks whose digest in the index differs from the contents (the index
/// decoded as `ok`); contents outside the image count as differing.
[[nodiscard]] std::uint64_t stale_blocks(std::span<const std::uint8_t> image, const image_index& index);

/// Why write_index cannot write the index of `image` anew (its length is not
/// what the table needs, or walked contents lie outside the image), or null.
[[nodiscard]] const char* index_rewrite_refusal(std::span<const std::uint8_t> image, const image_index& index);

/// Writes the index anew over its place in `image` from the table and the
/// contents, keeping its signature area: what pack lays down and what sign
/// refreshes after contents were edited. Refused as index_rewrite_refusal
/// says. 0, or 1 after printing.
int write_index(const char* command, std::vector<std::uint8_t>& image, const image_index& index);

/// The index's signature area (312 bytes) inside `image`.
[[nodiscard]] std::span<std::uint8_t> index_signature_area(std::vector<std::uint8_t>& image,
                                                           const firmware_index_location& where);
[[nodiscard]] std::span<const std::uint8_t> index_signature_area(std::span<const std::uint8_t> image,
                                                                 const firmware_index_location& where);

/// The digest the index's signatures sign. 0, or 1 after printing.
int index_signing_digest(const char* command, std::span<const std::uint8_t> image, const firmware_index_location& where,
                         sha256_digest& out);

/// Signs the index of a freshly laid image with `keys` (its signature area
/// empty), before the whole-file signatures that cover it. 0, or 1 after printing.
int sign_index_strong(const char* command, std::vector<std::uint8_t>& image, const image_index& index,
                      const std::vector<pkey_ptr>& keys);

/// Refuses an image whose index cannot be signed: located but malformed, or
/// placed where it does not belong. 0 (also without an index), or 1 after printing.
int refuse_unusable_index(const char* command, const image_index& index);

} // namespace vorna_image
