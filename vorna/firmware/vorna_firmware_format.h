// SPDX-License-Identifier: Apache-2.0
#pragma once
// The signed firmware image as bytes: pure codecs of its header, its table, its
// strong-signature block and its documents, and every rule about an image as a
// function that returns a status or a bounded view. Nothing here prints or reads
// a file: the device (firmware_check, firmware_upgrade, firmware_info_export)
// and the host tool call the same functions and say what they found at lines of
// their own.
//
//   0     first_word          4   magic AA 55 D9 8F
//   8     ptn_table_offset    12  total_len (the file's size)
//   304   signature, 128 bytes, little-endian RSA value
//   432   strong-signature block (below), up to byte 4095
//   4096  end of header; the table (32 x 52 bytes) stands at ptn_table_offset
#include "vorna/partition/vorna_ptn.h"
#include "vorna/partition/vorna_ptn_header.h"

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

constexpr std::uint32_t k_firmware_magic = 0xAA55D98F;
constexpr std::size_t k_firmware_header_len = 4096;
// Byte offsets of the header's four big-endian words.
constexpr std::size_t k_firmware_first_word_at = 0;
constexpr std::size_t k_firmware_magic_at = 4;
constexpr std::size_t k_firmware_ptn_table_offset_at = 8;
constexpr std::size_t k_firmware_total_len_at = 12;
constexpr std::size_t k_firmware_words_len = 16;
constexpr std::size_t k_firmware_signature_offset = 304;
constexpr std::size_t k_firmware_signature_len = 128;
constexpr std::size_t k_firmware_signed_from = 20;
constexpr std::size_t k_firmware_min_len = k_firmware_signature_offset + k_firmware_signature_len; // 432
constexpr int k_firmware_ptn_max = 32;
constexpr std::size_t k_firmware_ptn_entry_len = 52;
constexpr std::size_t k_firmware_ptn_table_len = k_firmware_ptn_max * k_firmware_ptn_entry_len; // 1664

enum firmware_ptn_type : std::uint32_t {
    k_firmware_type_nor = 0,
    k_firmware_type_emmc = 1,
};

struct firmware_header {
    std::uint32_t first_word;
    std::uint32_t magic;
    std::uint32_t ptn_table_offset;
    std::uint32_t total_len;
    std::array<std::uint8_t, k_firmware_header_len - 16> rest; ///< bytes 16..4095 as stored
};
static_assert(sizeof(firmware_header) == k_firmware_header_len);

struct firmware_ptn_entry {
    std::array<char, 32> name; ///< as stored; may fill all 32 bytes without a NUL
    std::uint32_t base;
    std::uint32_t size;
    std::uint32_t content_offset;
    std::uint32_t content_size;
    std::uint32_t type;
};
static_assert(sizeof(firmware_ptn_entry) == k_firmware_ptn_entry_len);

struct firmware_ptn_table {
    std::array<firmware_ptn_entry, k_firmware_ptn_max> entries;
};
static_assert(sizeof(firmware_ptn_table) == k_firmware_ptn_table_len);

// ---- header and table -----------------------------------------------------

/// Decodes the header from the first 4096 bytes of `image` (zeros past its end,
/// as a mapping in whole pages would show a short image).
void firmware_header_parse(std::span<const std::uint8_t> image, firmware_header& out);

/// Decodes the table from `table_bytes`. False (and `out` untouched) when they
/// hold fewer than 1664 bytes.
[[nodiscard]] bool firmware_ptn_table_parse(std::span<const std::uint8_t> table_bytes, firmware_ptn_table& out);

/// Encoders beside the decoders, for the host image tool.
void firmware_header_encode(const firmware_header& header, std::span<std::uint8_t, k_firmware_header_len> out);
void firmware_ptn_table_encode(const firmware_ptn_table& table, std::span<std::uint8_t, k_firmware_ptn_table_len> out);

/// What the header says about an image of `image_size` bytes, before its
/// signatures are looked at; the first finding in this order.
enum class firmware_header_status {
    ok,
    bad_magic,     ///< not 0xAA55D98F
    size_mismatch, ///< total_len is not the image's size
    too_short,     ///< no room for the signature field
};
[[nodiscard]] firmware_header_status firmware_header_check(const firmware_header& header, std::uint64_t image_size);

/// The table's bytes of an image of `image_size` bytes: where they stand and how
/// many of the 1664 lie inside it (fewer means the table cannot be decoded).
struct firmware_table_span {
    std::uint64_t at;
    std::size_t len;
};
[[nodiscard]] firmware_table_span firmware_table_within(const firmware_header& header, std::uint64_t image_size);

// ---- entries --------------------------------------------------------------

/// True when the entry's name is exactly `name` (never reads past the 32 bytes).
[[nodiscard]] bool firmware_ptn_name_is(const firmware_ptn_entry& entry, const char* name);

/// The entries an upgrade writes: those before the first of size 0, at most 32.
[[nodiscard]] std::span<const firmware_ptn_entry> firmware_walked_entries(const firmware_ptn_table& table);

/// True for an entry of the table with no field set (info leaves it out).
[[nodiscard]] bool firmware_ptn_entry_blank(const firmware_ptn_entry& entry);

/// True when the entry's contents (content_offset .. + content_size) lie inside
/// an image of `image_size` bytes.
[[nodiscard]] bool firmware_ptn_contents_inside(const firmware_ptn_entry& entry, std::uint64_t image_size);

/// The contents are no larger than the entry's own size...
[[nodiscard]] bool firmware_entry_contents_fit(const firmware_ptn_entry& entry);

/// ...and base .. base + content_size ends within a device of `device_size` bytes.
[[nodiscard]] bool firmware_entry_inside_device(const firmware_ptn_entry& entry, std::uint64_t device_size);

/// Why an entry cannot be written where its image says, by the rule the upgrade
/// holds each walked entry to before the first device write; the first finding
/// in this order.
enum class firmware_entry_fault {
    none,
    invalid_type,   ///< neither NOR nor eMMC
    no_contents,    ///< content_size 0: no device write takes 0 bytes
    exceeds_size,   ///< contents larger than the entry's own size
    outside_image,  ///< contents reach past the end of the image
    no_device_size, ///< the size of the device its type writes to cannot be had
    past_device,    ///< base + content_size passes the end of that device
    no_partition,   ///< the device has no partition of the entry's name
    table_overlap,  ///< the image's table lies inside the contents
};

/// What an entry is judged against: the image it stands in and the device its
/// type writes to.
struct firmware_entry_target {
    std::uint64_t image_size;
    std::uint64_t table_at; ///< the image's ptn_table_offset
    bool has_partition;     ///< the device has a partition of the entry's name
    /// The size of the device the entry's type writes to, negative when it
    /// cannot be had; asked only once the checks before it have passed.
    std::function<long long()> device_size;
};

/// The upgrade's rule for one walked entry. The host tool's board check holds
/// entries to the same device end (firmware_entry_inside_device).
[[nodiscard]] firmware_entry_fault firmware_entry_check(const firmware_ptn_entry& entry,
                                                        const firmware_entry_target& target);

/// The layout of a device table an entry's type writes to: 0 (NOR), 1 (eMMC),
/// or -1 for a type that writes to no device.
[[nodiscard]] int firmware_entry_layout(const firmware_ptn_entry& entry);

/// Why an entry does not belong where a board's partition table (as vorna reads
/// it) puts the partition of its name; the first finding in this order.
enum class firmware_board_fault {
    none,
    invalid_type,      ///< writes to no device of the board
    no_partition,      ///< the layout its type writes to has no partition of its name
    exceeds_partition, ///< the contents do not fit that partition
    base_differs,      ///< the base is not the partition's, and the entry does not move
    past_device,       ///< at its base the contents pass the end of the layout's device
};

/// What firmware_entry_against_board found, for the caller's message.
struct firmware_board_verdict {
    firmware_board_fault fault = firmware_board_fault::none;
    int layout = -1;                ///< the layout the entry's type writes to
    const ptn_entry* ptn = nullptr; ///< the board's partition of the entry's name there
    bool in_other_layout = false;   ///< no_partition: the other layout has one of that name
};

/// The board's rule for one entry an upgrade will write (content_size filled
/// in): `moves` says its base differs from the board's on purpose.
[[nodiscard]] firmware_board_verdict firmware_entry_against_board(const firmware_ptn_entry& entry, bool moves,
                                                                  const ptn_table& board);

// ---- signed spans ---------------------------------------------------------

/// Which bytes of an image a digest covers: those from `from` on, with
/// [zero_from, zero_to) counted as zeros (a signature cannot cover itself).
struct firmware_signed_span {
    std::uint64_t from;
    std::uint64_t zero_from;
    std::uint64_t zero_to;
};
/// The legacy MD5: bytes 20.., the RSA field (304..431) as zeros.
constexpr firmware_signed_span k_legacy_signed_span{k_firmware_signed_from, k_firmware_signature_offset,
                                                    k_firmware_min_len};
/// The strong SHA-256: every byte, 304..4095 (RSA field and signature block area) as zeros.
constexpr firmware_signed_span k_strong_signed_span{0, k_firmware_signature_offset, k_firmware_header_len};

/// The one mask of both digests: hands the bytes that stand at `offset` of the
/// image to `sink` as `span` counts them, in order (left-out bytes skipped,
/// masked ones given as zeros). Called on consecutive pieces, it gives what one
/// call over the whole image gives.
void firmware_signed_mask(const firmware_signed_span& span, std::uint64_t offset, std::span<const std::uint8_t> bytes,
                          const std::function<void(std::span<const std::uint8_t>)>& sink);

// ---- the strong-signature block -------------------------------------------
// It lives in the header bytes 432..4095, which old devices do not interpret but
// do cover with the legacy signature, so an image that carries it is accepted by
// them unchanged.
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
// The codec never reads or writes outside the span it is given, whatever the
// count and lengths in it say.
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

// ---- documents ------------------------------------------------------------

/// Where an image's bytes come from (firmware_file in vorna_firmware_source.h).
class firmware_source {
public:
    virtual ~firmware_source() = default;
    [[nodiscard]] virtual std::uint64_t size() const = 0;
    /// Exactly out.size() bytes at `offset`. 0, or -1 (after printing, where the
    /// source has something to say) when they cannot all be had.
    [[nodiscard]] virtual int read_at(std::uint64_t offset, std::span<std::uint8_t> out) = 0;
};

/// The largest document ("support-list", "firmware-info") read from an image:
/// documents are held whole, and memory must not follow what an image announces.
constexpr std::uint32_t k_firmware_document_max = 1u << 20;

/// How an image's document fares by the rule of firmware_document_find.
enum class firmware_document_status {
    none,       ///< no entry has the name
    ok,         ///< readable: the last entry of the name is the document
    outside,    ///< an entry's contents reach past the end of the image
    no_header,  ///< fewer than 16 bytes of contents, or a wrong magic
    too_long,   ///< content_len larger than the contents behind the header
    too_big,    ///< content_len larger than k_firmware_document_max
    unreadable, ///< the source could not give the bytes (and said why)
    no_memory,  ///< no buffer for the document
    refused,    ///< the caller's check refused a document (and said why)
};

/// The image's document of one name as every reader takes it, device and host tool alike.
struct firmware_document {
    firmware_document_status status = firmware_document_status::none;
    int index = -1;                            ///< the table entry that counts (ok), or that failed
    const firmware_ptn_entry* entry = nullptr; ///< that entry
    std::uint64_t image_size = 0;
    ptn_document doc; ///< ok: the document; else the failed entry's header as far as it was decoded
};

/// Sees each document of the name in table order before the next is read; 0 to
/// go on, anything else refuses the image's document.
using firmware_document_check = std::function<int(const ptn_document&)>;

/// The rule for an image's documents ("support-list", "firmware-info"): every
/// entry of that name in the table, whatever its size, is read in table order as
/// a framed document within the image's contents and k_firmware_document_max,
/// and handed to `check`; the first that fails makes the document unreadable,
/// else the last one is the document. Prints nothing (a read the source could
/// not make is reported by the source, a refusal by `check`). `out.status`.
[[nodiscard]] firmware_document_status firmware_document_find(const firmware_ptn_table& table, const char* name,
                                                              firmware_source& source, firmware_document& out,
                                                              const firmware_document_check& check = {});
