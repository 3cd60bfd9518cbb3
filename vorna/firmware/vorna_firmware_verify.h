// SPDX-License-Identifier: Apache-2.0
#pragma once
// The verification of an image: one function (firmware_verify) from a source
// and the trusted keys to a verdict value, which the device's operations print
// at their fixed lines (firmware_verdict_report) and the host tool reads. The
// legacy signature is RSASSA-PKCS1-v1_5 with SHA-1 over the MD5 digest, checked
// against the built-in public key; the strong signatures are Ed25519 over the
// strong digest (vorna_firmware_digests.h), carried in the signature block
// (vorna_firmware_format.h) and checked against the Ed25519 public keys this
// build trusts. A build that trusts no key never looks at them.
//
// The printing forms of the decoders (firmware_header_decode,
// firmware_ptn_table_decode) and of the document rule (firmware_document_report)
// live here too: the "vorna_firmware" lines of a judgment stay beside it.
#include "vorna/firmware/vorna_firmware_digests.h"
#include "vorna/firmware/vorna_firmware_format.h"
#include "vorna/firmware/vorna_firmware_source.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

using firmware_ed25519_key = std::array<std::uint8_t, 32>; ///< raw public key (RFC 8032)

/// The keys compiled in from VORNA_TRUSTED_KEYS (a generated source); empty when
/// none was configured.
[[nodiscard]] std::span<const firmware_ed25519_key> firmware_trusted_keys();

/// False only in a strong-only build (VORNA_REQUIRE_LEGACY_SIGNATURE=OFF, which
/// needs trusted keys): there an image without a legacy signature is decided by
/// its strong signature alone. Generated with firmware_trusted_keys().
[[nodiscard]] bool firmware_legacy_signature_required();

/// Whether a check must compute the legacy MD5 of an image whose first bytes are
/// `header` (at least up to the end of the legacy field): not when the build does not
/// require the legacy signature, its strong check runs and the field is all zero,
/// since such a field verifies under no key and is waived whatever the digest is.
/// `header` must be the copy the verdict is later taken from, or one held equal to it.
[[nodiscard]] bool firmware_legacy_digest_needed(std::span<const std::uint8_t> header, bool legacy_required,
                                                 bool strong_active);

/// A key's identifier: the first 8 bytes of SHA-256 of the raw public key.
[[nodiscard]] firmware_key_id firmware_key_id_of(const firmware_ed25519_key& key);

/// The identifier as 16 lowercase hexadecimal digits and a NUL.
[[nodiscard]] std::array<char, 2 * k_key_id_len + 1> firmware_key_id_text(const firmware_key_id& id);

/// Number of trusted keys and the identifier of the i-th (for `vorna -V`).
[[nodiscard]] std::size_t firmware_trusted_key_count();
[[nodiscard]] firmware_key_id firmware_trusted_key_id(std::size_t index);

/// The identifiers of the block's entries, separated by spaces, for messages.
[[nodiscard]] std::string key_ids_text(const signature_block& block);

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

/// The built-in public key: base64 text of a 148-byte key blob.
extern const char firmware_public_key[];
extern const unsigned firmware_public_key_len;

/// 0 when `signature` (the 128 bytes as stored) signs `digest` under `key` (the
/// base64 text of a key blob; the built-in key when empty), else -1.
[[nodiscard]] int firmware_verify_digest(const std::array<std::uint8_t, 16>& digest,
                                         std::span<const std::uint8_t, k_firmware_signature_len> signature,
                                         std::string_view key = {});

/// MD5 over image[20..] with the signature field counted as zeros; never writes
/// to `image`. 0 when the signature verifies under the built-in key, else -1.
[[nodiscard]] int firmware_verify_signature(std::span<const std::uint8_t> image);

/// Copies the first 4096 bytes of `image` (zero-filled past its end) and decodes
/// the four leading words. Null after printing.
[[nodiscard]] std::unique_ptr<firmware_header> firmware_header_decode(std::span<const std::uint8_t> image);

/// Decodes the 1664-byte table at the start of `table_bytes` (which must hold at
/// least 1664 bytes). Null after printing.
[[nodiscard]] std::unique_ptr<firmware_ptn_table> firmware_ptn_table_decode(std::span<const std::uint8_t> table_bytes);

/// The caller's module and lines for what firmware_document_report prints.
struct firmware_document_lines {
    const char* module;
    const char* image_word; ///< what the image is called in the "lies outside the ..." message
    int outside;            ///< the entry's contents reach past the end of the image
    int no_header;          ///< fewer than 16 bytes of contents, or a wrong magic (line 94 first)
    int too_long;           ///< content_len larger than the contents behind the header
    int too_big;            ///< content_len larger than k_firmware_document_max
};

/// Prints why `found` is unreadable at the caller's lines; nothing for a
/// document that was found or is absent, nor for what the source or the check
/// already reported.
void firmware_document_report(const firmware_document& found, const firmware_document_lines& lines);

/// What the verification of an image found, in the order it looked.
struct firmware_verdict {
    enum class stage {
        no_record,  ///< no header record could be had (printed)
        header,     ///< header_status refused the image before the pass
        unreadable, ///< the pass failed or its buffers could not be had (printed)
        changed,    ///< the header the pass read is not the one read before it
        signatures, ///< the pass is done: see legacy and strong
    };
    stage reached = stage::no_record;
    firmware_header_status header_status = firmware_header_status::ok;
    std::uint64_t image_size = 0;
    std::uint32_t total_len = 0; ///< as read before the pass, for the refusal
    bool legacy_ok = false;      ///< the legacy signature verifies
    bool legacy_waived = false;  ///< it does not, and this strong-only build waives an absent one
    bool strong_active = false;  ///< trusted keys exist, so the strong check ran
    int strong_digest_rc = 0;    ///< 0 when the strong digest was computed
    strong_verdict strong{};
    /// The digests the signatures were judged by (each with its own result).
    firmware_dual_digests digests{};
    /// From `signatures` on: the header decoded from the bytes the pass read,
    /// the only copy any field is taken from.
    std::unique_ptr<firmware_header> header;
};

/// What a mode reads of the image after the pass, and so the chunks whose
/// digests the pass records: a read of any other chunk fails as a changed image.
enum class firmware_later_reads {
    every_chunk,         ///< an upgrade or an export
    table_and_documents, ///< a check: every chunk up to the table's end, and those
                         ///< holding the contents of the table's "support-list"
                         ///< and "firmware-info" entries (as the pass read them)
};

/// The verification of an opened image against `trusted` keys: the header read
/// before the pass serves only the refusals that come before it (magic, length,
/// room for the signature field); one pass over every byte feeds the digests
/// (recording the chunk digests `reads` needs into `chunks`); the header the pass
/// read must equal the first copy, and the signatures are judged by it. On a
/// verdict that passes, every later read of `file` is held to `chunks`. Prints
/// only what the source reports (failed reads) and allocation failures.
[[nodiscard]] firmware_verdict firmware_verify(firmware_file& file, firmware_chunk_digests& chunks,
                                               std::span<const firmware_ed25519_key> trusted,
                                               firmware_later_reads reads = firmware_later_reads::every_chunk);

/// Prints the verdict's "vorna_firmware" lines in order ("rsa check pass",
/// the strong signature's line, or the refusal). 0, -1 (unreadable, changed or
/// no strong digest), -2 (header) or -4 (signatures).
[[nodiscard]] int firmware_verdict_report(const firmware_verdict& verdict, const firmware_file& file);

/// Judges the signatures of `v.header` (set, with `v.strong_active`) by the
/// digests of every byte of the image: the legacy signature or its waiver, then
/// the strong signature. Fills legacy_ok, legacy_waived, strong_digest_rc, strong.
void firmware_verdict_judge(const firmware_dual_digests& digests, std::span<const firmware_ed25519_key> trusted,
                            firmware_verdict& v);

/// False when the judgment cannot use the legacy MD5: a strong-only build whose
/// strong check runs, and an image whose legacy signature field is all zero.
[[nodiscard]] bool firmware_legacy_digest_needed(const firmware_header& header, bool strong_active);

/// Prints the verdict's lines from the header's refusals on (magic, length, the
/// legacy signature or its waiver, the strong signature) and gives the
/// operation's result: 0, -1, -2 or -4. firmware_verdict_report's second half,
/// for a verdict whose digests were computed elsewhere than in a pass.
[[nodiscard]] int firmware_signatures_report(const firmware_verdict& verdict);
