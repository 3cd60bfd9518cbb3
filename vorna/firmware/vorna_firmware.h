// SPDX-License-Identifier: Apache-2.0
#pragma once
// The signed firmware image: its layout, its signature, the check and upgrade of
// a device from it, and the export of its "firmware-info" document.
//
//   0     first_word          4   magic AA 55 D9 8F
//   8     ptn_table_offset    12  total_len (the file's size)
//   304   signature, 128 bytes, little-endian RSA value
//   4096  end of header; the table (32 x 52 bytes) stands at ptn_table_offset
#include "crypto/md5.h"
#include "vorna/partition/vorna_ptn_header.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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

/// True when the entry's name is exactly `name` (never reads past the 32 bytes).
[[nodiscard]] bool firmware_ptn_name_is(const firmware_ptn_entry& entry, const char* name);

/// True when the entry's contents (content_offset .. + content_size) lie inside
/// an image of `image_size` bytes.
[[nodiscard]] bool firmware_ptn_contents_inside(const firmware_ptn_entry& entry, std::uint64_t image_size);

/// The rule an upgrade holds every entry it writes to, in vorna before the first
/// device write and in the host tool's board check alike: the contents are no
/// larger than the entry's own size...
[[nodiscard]] bool firmware_entry_contents_fit(const firmware_ptn_entry& entry);

/// ...and base .. base + content_size ends within a device of `device_size` bytes.
[[nodiscard]] bool firmware_entry_inside_device(const firmware_ptn_entry& entry, std::uint64_t device_size);

/// The entry's contents within `image`; nothing when they reach past its end.
[[nodiscard]] std::optional<std::span<const std::uint8_t>> firmware_ptn_contents(const firmware_ptn_entry& entry,
                                                                                 std::span<const std::uint8_t> image);

/// Where an image's bytes come from: the image file read piece by piece, or an
/// image held in memory (firmware_file in vorna_firmware_reader.h serves both).
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

/// The caller's module and lines for what firmware_document_report prints.
struct firmware_document_lines {
    const char* module;
    const char* image_word; ///< what the image is called in the "lies outside the ..." message
    int outside;            ///< the entry's contents reach past the end of the image
    int no_header;          ///< fewer than 16 bytes of contents, or a wrong magic (line 94 first)
    int too_long;           ///< content_len larger than the contents behind the header
    int too_big;            ///< content_len larger than k_firmware_document_max
};

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

/// Prints why `found` is unreadable at the caller's lines; nothing for a
/// document that was found or is absent, nor for what the source or the check
/// already reported.
void firmware_document_report(const firmware_document& found, const firmware_document_lines& lines);

/// Copies the first 4096 bytes of `image` (zero-filled past its end) and decodes
/// the four leading words. Null after printing.
[[nodiscard]] std::unique_ptr<firmware_header> firmware_header_decode(std::span<const std::uint8_t> image);

/// Decodes the 1664-byte table at the start of `table_bytes` (which must hold at
/// least 1664 bytes). Null after printing.
[[nodiscard]] std::unique_ptr<firmware_ptn_table> firmware_ptn_table_decode(std::span<const std::uint8_t> table_bytes);

/// Encoders beside the decoders, for the host image tool.
void firmware_header_encode(const firmware_header& header, std::span<std::uint8_t, k_firmware_header_len> out);
void firmware_ptn_table_encode(const firmware_ptn_table& table, std::span<std::uint8_t, k_firmware_ptn_table_len> out);

struct firmware_strong_pending;

/// The check of an image of `image_size` bytes whose signatures `verify` judges.
/// `header`, read before the pass, serves only the refusals that come before it
/// (magic, length, room for the signature field). `verify` runs the pass, points
/// `verified` at the header decoded from the bytes the pass read, judges the
/// legacy signature by it and leaves what the strong check needs in its first
/// argument: 0 when the legacy signature holds, -4 when it is rejected (with
/// `verified` set either way), -1 when the image could not be read or its header
/// is no longer the one read first (already printed). The waiver and the strong
/// check, which follows "rsa check pass", read `verified` only. 0, -1, -2 or -4.
[[nodiscard]] int firmware_header_check_with(
    const firmware_header* header, std::uint64_t image_size,
    const std::function<int(firmware_strong_pending&, const firmware_header*& verified)>& verify);

/// The built-in public key: base64 text of a 148-byte key blob.
extern const char firmware_public_key[];
extern const unsigned firmware_public_key_len;

/// MD5 over image[20..] with the signature field counted as zeros; never writes
/// to `image`. 0 when the signature verifies under the built-in key, else -1.
[[nodiscard]] int firmware_verify_signature(std::span<const std::uint8_t> image);

/// MD5 digest of what the signature covers (bytes 20.. with the field as zeros).
void firmware_signed_digest(std::span<const std::uint8_t> image, std::array<std::uint8_t, 16>& digest);

/// Feeds `ctx` with the image's bytes at `offset` as the signature covers them:
/// bytes before 20 are left out and the signature field counts as zeros. Called
/// on consecutive pieces, it gives the digest of firmware_signed_digest.
void firmware_signed_digest_update(md5_ctx& ctx, std::uint64_t offset, std::span<const std::uint8_t> bytes);

/// 0 when `signature` (the 128 bytes as stored) signs `digest` under `key` (the
/// base64 text of a key blob; the built-in key when empty), else -1.
[[nodiscard]] int firmware_verify_digest(const std::array<std::uint8_t, 16>& digest,
                                         std::span<const std::uint8_t, k_firmware_signature_len> signature,
                                         std::string_view key = {});

/// `vorna -c`. 0, -1, -2, -4 or -5.
[[nodiscard]] int firmware_check(const char* image_path, const char* device, std::uint32_t base);
/// `vorna -u` (the caller holds the lock). `minimize_writes`: an eMMC entry is
/// compared with the device and only the blocks that differ are written (NOR
/// entries always are). 0, -1, -2, -4 or -5.
[[nodiscard]] int firmware_upgrade(const char* image_path, const char* device, std::uint32_t base,
                                   bool minimize_writes = false);
[[nodiscard]] int firmware_check_and_upgrade(const char* image_path, const char* device, std::uint32_t base,
                                             int upgrade, bool minimize_writes = false);

/// `vorna -v`: writes the "firmware-info" document of the image to `out_path`.
/// 0, -1, -2 or -4.
[[nodiscard]] int firmware_info_export(const char* image_path, const char* out_path);
