// SPDX-License-Identifier: Apache-2.0
#pragma once
// The chunk index: a document of an image that lets a device check every 64 KiB
// block of the contents it writes before writing it, so that an image can be
// installed while it arrives through a pipe, with nothing stored. It is an entry
// of size 0 named "chunk-index", so the walk never writes it and builds that do
// not know it skip it; the whole-file signatures cover it like every other byte.
//
// Its contents, every integer big-endian:
//
//   0    4     magic "VIDX" (56 49 44 58)
//   4    1     version, 1
//   5    3     zero
//   8    4     block length: 65536
//   12   4     the walked entries it covers: all of them
//   16   4     the block digests that follow: ceil(content_size / 65536) per walked entry
//   20   12    zero
//   32   312   signature block, the header's own codec (vorna_firmware_format.h) over an
//              area of 8 + 4 x 76 bytes: "VSIG", version 1, 1..4 Ed25519 entries, zeros after
//   344  32 x  SHA-256 of every block of each walked entry's contents in table order,
//        count  counted from the entry's first byte (so from its base on the device, the
//              grid --minimize-writes compares on); an entry's last block may be short
//
// What its signatures sign: SHA-256 of the 32 ASCII bytes "vorna firmware index
// signature 1" followed by the image's bytes 0 up to the end of the index, with
// bytes 304..4095 (the legacy field and the header's signature block) and the
// index's own signature area (index + 32 .. index + 344) counted as zeros. That
// span holds everything that decides what is written where: the header's words,
// the table, the documents and the block digests, provided the image is in
// stream order (firmware_stream_order_check): header, table, documents, index,
// then the walked contents in table order.
//
// Size: an image is at most 2^32 - 1 bytes, so its walked contents need at most
// 2^32 / 65536 blocks, plus one short block for each of the 32 entries.
#include "vorna/firmware/vorna_firmware_format.h"

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

constexpr const char* k_firmware_index_name = "chunk-index";
constexpr std::array<std::uint8_t, 4> k_firmware_index_magic = {'V', 'I', 'D', 'X'};
constexpr std::uint8_t k_firmware_index_version = 1;
constexpr std::uint32_t k_firmware_index_block_len = 65536;
constexpr std::size_t k_firmware_index_digest_len = 32;
constexpr std::size_t k_firmware_index_signatures_at = 32;
constexpr std::size_t k_firmware_index_signatures_len =
    k_signature_block_head_len + k_signature_block_max * (k_signature_entry_head_len + k_ed25519_signature_len); // 312
constexpr std::size_t k_firmware_index_digests_at =
    k_firmware_index_signatures_at + k_firmware_index_signatures_len; // 344
constexpr std::uint64_t k_firmware_index_max_blocks =
    (std::uint64_t{1} << 32) / k_firmware_index_block_len + k_firmware_ptn_max; // 65568
constexpr std::uint64_t k_firmware_index_max_len =
    k_firmware_index_digests_at + k_firmware_index_max_blocks * k_firmware_index_digest_len; // 2098520
constexpr std::string_view k_index_digest_prefix = "vorna firmware index signature 1";
static_assert(k_index_digest_prefix.size() == 32);

/// The most bytes a stream holds before its first write (header, table,
/// documents and index): two documents at their limit and the largest index fit.
constexpr std::uint64_t k_firmware_stream_prefix_max = 5u << 20;

using firmware_block_digest = std::array<std::uint8_t, k_firmware_index_digest_len>;

/// Blocks of 64 KiB that contents of `content_size` bytes take (the last may be short).
[[nodiscard]] constexpr std::uint64_t firmware_index_blocks_of(std::uint32_t content_size)
{
    return (std::uint64_t{content_size} + k_firmware_index_block_len - 1) / k_firmware_index_block_len;
}

/// The block digests the walked entries of `table` need, in table order.
[[nodiscard]] std::uint64_t firmware_index_block_count(const firmware_ptn_table& table);

/// The first digest of walked entry `walked_index` in the index.
[[nodiscard]] std::uint64_t firmware_index_first_block(const firmware_ptn_table& table, std::size_t walked_index);

/// What the table and the index's bytes say of an image's index; every value but
/// `ok` means the image has no usable index.
enum class firmware_index_status {
    ok,
    missing,           ///< no entry after the walk is named "chunk-index"
    duplicate,         ///< more than one is
    outside,           ///< its contents reach past the end of the image
    bad_length,        ///< its contents are not 344 + 32 x the blocks of the walked entries long
    bad_magic,         ///< not "VIDX"
    bad_version,       ///< a version this reader does not know
    reserved_not_zero, ///< a reserved byte is not zero
    bad_block_len,     ///< a block length other than 65536
    entries_differ,    ///< it covers another number of walked entries than the table has
    digests_differ,    ///< it holds another number of digests than the walked entries need
};

/// Short text for messages, e.g. "digest count differs from the table".
[[nodiscard]] const char* firmware_index_status_text(firmware_index_status status);

/// Where the index stands in the image: the table entry after the walk named
/// "chunk-index". `ok`, `missing`, `duplicate` or `outside`.
struct firmware_index_location {
    int index = -1; ///< the table entry
    std::uint64_t at = 0;
    std::uint32_t len = 0;
};
[[nodiscard]] firmware_index_status firmware_index_locate(const firmware_ptn_table& table, std::uint64_t image_size,
                                                          firmware_index_location& out);

/// A decoded index: views into the bytes it was decoded from.
struct firmware_index_view {
    std::uint32_t entry_count = 0;
    std::uint32_t digest_count = 0;
    std::span<const std::uint8_t> signature_area; ///< 312 bytes, for firmware_strong_verify
    std::span<const std::uint8_t> digests;        ///< digest_count x 32 bytes
    /// Digest `block` (below digest_count) of the walked contents, in table order.
    [[nodiscard]] std::span<const std::uint8_t, k_firmware_index_digest_len> digest(std::uint64_t block) const
    {
        return digests.subspan(block * k_firmware_index_digest_len).first<k_firmware_index_digest_len>();
    }
};

/// Decodes the index's contents (`contents`, exactly the entry's bytes) against
/// the table it must describe. The signature area is not judged here: its
/// decoder is signature_block_decode. Never reads outside `contents`.
[[nodiscard]] firmware_index_status firmware_index_decode(std::span<const std::uint8_t> contents,
                                                          const firmware_ptn_table& table, firmware_index_view& out);

/// The index's length for `table`: 344 + 32 x firmware_index_block_count.
[[nodiscard]] std::uint64_t firmware_index_len(const firmware_ptn_table& table);

/// Writes an index for `table` with `digests` (firmware_index_block_count of
/// them) and the signature area zeroed (unsigned) into `out`, which must be
/// firmware_index_len long. 0, or -1 when the sizes do not match.
[[nodiscard]] int firmware_index_encode(const firmware_ptn_table& table, std::span<const firmware_block_digest> digests,
                                        std::span<std::uint8_t> out);

/// The mask of the index signatures: hands the bytes at `offset` of the image
/// to `sink` as they count for the index digest (left out after the index's end,
/// 304..4095 and the index's signature area given as zeros). Called on
/// consecutive pieces, it gives what one call over the whole image gives.
void firmware_index_signed_mask(const firmware_index_location& index, std::uint64_t offset,
                                std::span<const std::uint8_t> bytes,
                                const std::function<void(std::span<const std::uint8_t>)>& sink);

/// Why an image cannot be read in one forward pass that holds only its prefix;
/// the first finding in this order.
enum class firmware_stream_order {
    ok,
    table_after_index,     ///< the table does not end before the index starts (or starts in the header)
    document_after_index,  ///< contents of an entry after the walk, or of any entry named "support-list" or
                           ///< "firmware-info", end past the index's end, or lie (in part) where the
                           ///< index digest counts zeros: 304..4095 or the index's signature area
    contents_before_end,   ///< walked contents start before the index's end
    contents_out_of_order, ///< walked contents overlap or do not follow each other in table order
    prefix_too_big,        ///< the index ends past k_firmware_stream_prefix_max
};

/// Short text for messages.
[[nodiscard]] const char* firmware_stream_order_text(firmware_stream_order status);

/// The stream-order rule, for an image whose index was located at `index`.
[[nodiscard]] firmware_stream_order firmware_stream_order_check(const firmware_header& header,
                                                                const firmware_ptn_table& table,
                                                                const firmware_index_location& index);
