// SPDX-License-Identifier: Apache-2.0
// One verification of an image to a verdict, and the lines that report it.
#include "vorna/firmware/vorna_firmware_verify.h"

#include "crypto/rsa_pkcs1.h"
#include "vorna/support/vorna_alloc.h"
#include "vorna/support/vorna_progress.h"

#include "vorna/firmware/vorna_firmware_lines.h"
#include "vorna/support/vorna_log.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

namespace {

constexpr const char* k_module = "vorna_firmware";

struct pkey_deleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

/// The header's copy of bytes from image offset `at` on (the header keeps 16..4095).
std::span<const std::uint8_t> header_bytes(const firmware_header& header, std::size_t at, std::size_t len)
{
    return std::span(header.rest).subspan(at - k_firmware_words_len, len);
}

} // namespace

std::string key_ids_text(const signature_block& block)
{
    std::string text;
    for (std::size_t i = 0; i < block.count; ++i) {
        if (i != 0)
            text += ' ';
        text += firmware_key_id_text(block.entries[i].key_id).data();
    }
    return text;
}

firmware_key_id firmware_key_id_of(const firmware_ed25519_key& key)
{
    std::array<std::uint8_t, 32> hash{};
    unsigned len = 0;
    firmware_key_id id{};
    if (EVP_Digest(key.data(), key.size(), hash.data(), &len, EVP_sha256(), nullptr) == 1 && len == hash.size())
        std::copy_n(hash.begin(), id.size(), id.begin());
    return id;
}

std::array<char, 2 * k_key_id_len + 1> firmware_key_id_text(const firmware_key_id& id)
{
    static constexpr char k_hex[] = "0123456789abcdef";
    std::array<char, 2 * k_key_id_len + 1> text{};
    for (std::size_t i = 0; i < id.size(); ++i) {
        text[2 * i] = k_hex[id[i] >> 4];
        text[2 * i + 1] = k_hex[id[i] & 0x0F];
    }
    return text;
}

std::size_t firmware_trusted_key_count()
{
    return firmware_trusted_keys().size();
}

firmware_key_id firmware_trusted_key_id(std::size_t index)
{
    const auto keys = firmware_trusted_keys();
    return index < keys.size() ? firmware_key_id_of(keys[index]) : firmware_key_id{};
}

int firmware_ed25519_verify(const firmware_ed25519_key& key, const sha256_digest& digest,
                            std::span<const std::uint8_t, k_ed25519_signature_len> signature)
{
    std::unique_ptr<EVP_PKEY, pkey_deleter> pkey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
    evp_md_ctx_ptr ctx(EVP_MD_CTX_new());
    if (!pkey || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1)
        return 0;
    return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1 ? 1 : 0;
}

strong_verdict firmware_strong_verify(std::span<const std::uint8_t> block_area, const sha256_digest& digest,
                                      std::span<const firmware_ed25519_key> trusted)
{
    strong_verdict v{};
    v.block_status = signature_block_decode(block_area, v.block);
    if (v.block_status == signature_block_status::missing) {
        v.kind = strong_verdict_kind::missing_block;
        return v;
    }
    if (v.block_status != signature_block_status::ok) {
        v.kind = strong_verdict_kind::malformed_block;
        return v;
    }
    v.kind = strong_verdict_kind::unknown_keys;
    for (std::size_t i = 0; i < v.block.count; ++i) {
        const signature_entry& e = v.block.entries[i];
        for (const firmware_ed25519_key& key : trusted) {
            if (firmware_key_id_of(key) != e.key_id)
                continue;
            if (firmware_ed25519_verify(key, digest, e.signature) == 1) {
                v.kind = strong_verdict_kind::pass;
                v.key_id = e.key_id;
                return v;
            }
            if (v.kind == strong_verdict_kind::unknown_keys) {
                v.kind = strong_verdict_kind::bad_signature;
                v.key_id = e.key_id;
            }
        }
    }
    return v;
}

int firmware_verify_digest(const std::array<std::uint8_t, 16>& digest,
                           std::span<const std::uint8_t, k_firmware_signature_len> signature, std::string_view key)
{
    if (key.empty())
        key = {firmware_public_key, firmware_public_key_len};
    const int valid = rsa_verify_sha1(key.data(), static_cast<unsigned>(key.size()), digest.data(),
                                      static_cast<std::int32_t>(digest.size()), signature.data(),
                                      static_cast<unsigned>(signature.size()));
    return valid == 1 ? 0 : -1;
}

int firmware_verify_signature(std::span<const std::uint8_t> image)
{
    if (image.size() < k_firmware_min_len)
        return -1;

    std::array<std::uint8_t, 16> digest;
    firmware_signed_digest(image, digest);
    return firmware_verify_digest(digest, image.subspan(k_firmware_signature_offset).first<k_firmware_signature_len>());
}

std::unique_ptr<firmware_header> firmware_header_decode(std::span<const std::uint8_t> image)
{
    auto header = make_record<firmware_header>();
    if (!header) {
        log_error(k_module, k_line_header_alloc, "Failed to alloc %d bytes memory.\n",
                  static_cast<int>(k_firmware_header_len));
        return nullptr;
    }
    firmware_header_parse(image, *header);
    return header;
}

std::unique_ptr<firmware_ptn_table> firmware_ptn_table_decode(std::span<const std::uint8_t> table_bytes)
{
    if (table_bytes.size() < k_firmware_ptn_table_len) {
        log_error(k_module, k_line_table_short, "firmware ptn_table needs %d bytes, only %zu left in the file.\n",
                  static_cast<int>(k_firmware_ptn_table_len), table_bytes.size());
        return nullptr;
    }
    auto table = make_record<firmware_ptn_table>();
    if (!table) {
        log_error(k_module, k_line_table_alloc, "Failed to alloc %d bytes memory.\n",
                  static_cast<int>(k_firmware_ptn_table_len));
        return nullptr;
    }
    (void)firmware_ptn_table_parse(table_bytes, *table);
    return table;
}

void firmware_document_report(const firmware_document& found, const firmware_document_lines& lines)
{
    if (found.entry == nullptr)
        return;
    const firmware_ptn_entry& entry = *found.entry;
    switch (found.status) {
    case firmware_document_status::outside:
        log_error(lines.module, lines.outside,
                  "firmware partition [0x%08x] content {0x%08x:0x%08x} lies outside the %s (%llu bytes).\n",
                  entry.content_offset, entry.content_offset, entry.content_size, lines.image_word,
                  static_cast<unsigned long long>(found.image_size));
        return;
    case firmware_document_status::no_header:
        ptn_frame_report(found.doc.frame);
        log_error(lines.module, lines.no_header, "firmware partition [0x%08x] is not a valid partition.\n",
                  entry.content_offset);
        return;
    case firmware_document_status::too_long:
        log_error(lines.module, lines.too_long,
                  "firmware partition [0x%08x] content_len %u exceeds its %u content bytes.\n", entry.content_offset,
                  found.doc.frame.header.content_len, static_cast<unsigned>(ptn_frame_room(entry.content_size)));
        return;
    case firmware_document_status::too_big:
        log_error(lines.module, lines.too_big, "firmware partition [0x%08x] content_len %u exceeds %u.\n",
                  entry.content_offset, found.doc.frame.header.content_len, k_firmware_document_max);
        return;
    case firmware_document_status::none:
    case firmware_document_status::ok:
    case firmware_document_status::unreadable:
    case firmware_document_status::no_memory:
    case firmware_document_status::refused: return;
    }
}

namespace {

/// Shows the verification pass as "verify" (on standard error only).
class pass_progress final : public firmware_chunk_consumer {
public:
    explicit pass_progress(std::uint64_t image_size) : shown_("verify", image_size) {}
    void consume(std::uint64_t offset, std::span<const std::uint8_t> bytes) override
    {
        shown_.update(offset + bytes.size());
    }

private:
    progress shown_;
};

bool legacy_field_zero(std::span<const std::uint8_t> field)
{
    return std::all_of(field.begin(), field.end(), [](std::uint8_t b) { return b == 0; });
}

/// The legacy RSA check of an MD5 digest against the signature field of `header`. 0, or -1.
int verify_legacy_digest(const firmware_header& header, const md5_digest& digest)
{
    return firmware_verify_digest(
        digest,
        header_bytes(header, k_firmware_signature_offset, k_firmware_signature_len).first<k_firmware_signature_len>());
}

/// True when a failed legacy check may be passed over: a strong-only build whose
/// strong check runs, and an image whose legacy signature field is all zero
/// (one that is there and wrong is still refused).
bool legacy_absent_and_waived(const firmware_header& header, bool strong_active)
{
    if (firmware_legacy_signature_required() || !strong_active)
        return false;
    return legacy_field_zero(header_bytes(header, k_firmware_signature_offset, k_firmware_signature_len));
}

/// Hands on to the chunk digests, on the worker, only the chunks a check reads
/// after the pass (firmware_later_reads::table_and_documents). The table's place
/// comes from the first copy of the header, which the pass's is held equal to;
/// the documents' places from the table's bytes as this pass reads them, the
/// bytes every later read of the table is held to. Chunks come in file order, so
/// the table is whole once its last chunk went by, and every chunk before that
/// is recorded anyway.
class check_reads final : public firmware_chunk_consumer {
public:
    check_reads(firmware_chunk_consumer& chunks, std::uint64_t table_at, std::uint64_t image_size)
        : chunks_(chunks), table_at_(table_at), table_end_(table_at + k_firmware_ptn_table_len), image_size_(image_size)
    {
    }

    void consume(std::uint64_t offset, std::span<const std::uint8_t> bytes) override
    {
        const std::uint64_t end = offset + bytes.size();
        if (table_at_ < end && offset < table_end_) {
            const std::uint64_t from = std::max(offset, table_at_);
            const std::uint64_t to = std::min(end, table_end_);
            std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(from - offset),
                      bytes.begin() + static_cast<std::ptrdiff_t>(to - offset),
                      table_.begin() + static_cast<std::ptrdiff_t>(from - table_at_));
        }
        // A table that does not fit in the image is never read: nothing past it is.
        if (!decoded_ && end >= table_end_ && table_end_ <= image_size_)
            decode_table();
        if (offset < table_end_ || holds_document(offset, end))
            chunks_.consume(offset, bytes);
    }

private:
    void decode_table()
    {
        decoded_ = true;
        firmware_ptn_table table{};
        (void)firmware_ptn_table_parse(table_, table);
        for (const firmware_ptn_entry& entry : table.entries) {
            // The documents a check reads: the support list it matches and the
            // firmware-info its security floor takes the version from.
            if (firmware_ptn_name_is(entry, "support-list") || firmware_ptn_name_is(entry, "firmware-info"))
                documents_[document_count_++] = {entry.content_offset,
                                                 std::uint64_t{entry.content_offset} + entry.content_size};
        }
    }

    [[nodiscard]] bool holds_document(std::uint64_t offset, std::uint64_t end) const
    {
        return std::any_of(documents_.begin(), documents_.begin() + static_cast<std::ptrdiff_t>(document_count_),
                           [&](const auto& doc) { return doc.first < end && offset < doc.second; });
    }

    firmware_chunk_consumer& chunks_;
    std::uint64_t table_at_;
    std::uint64_t table_end_;
    std::uint64_t image_size_;
    std::array<std::uint8_t, k_firmware_ptn_table_len> table_{};
    bool decoded_ = false;
    std::array<std::pair<std::uint64_t, std::uint64_t>, k_firmware_ptn_max> documents_{};
    std::size_t document_count_ = 0;
};

/// The pass and the judgment of the signatures by the header it read.
void verify_pass(firmware_file& file, firmware_chunk_digests& chunks, std::span<const firmware_ed25519_key> trusted,
                 std::span<const std::uint8_t> first, std::uint64_t table_at, firmware_later_reads reads,
                 firmware_verdict& v)
{
    v.reached = firmware_verdict::stage::unreadable;
    if (chunks.reserve(v.image_size) < 0)
        return;
    // The MD5 is the longest share: it runs here, everything else on the worker
    // (without it, the SHA-256 runs here and the worker only reads and records
    // the chunk digests: firmware_dual_hasher).
    v.strong_active = !trusted.empty();
    // Decided from the first copy, which the pass's header is held equal to below:
    // a strong-only build checks an image without a legacy signature at the pace
    // of the SHA-256.
    const bool legacy = firmware_legacy_digest_needed(first, firmware_legacy_signature_required(), v.strong_active);
    check_reads checked(chunks, table_at, v.image_size);
    firmware_chunk_consumer* recorder = &chunks;
    if (reads == firmware_later_reads::table_and_documents)
        recorder = &checked;
    firmware_dual_hasher hashed(v.strong_active, recorder, legacy);
    pass_progress shown(v.image_size);
    const std::array<firmware_chunk_consumer*, 1> on_worker{&hashed.strong_part()};
    const std::array<firmware_chunk_consumer*, 2> here{&hashed.legacy_part(), &shown};
    if (file.pass(on_worker, here) < 0)
        return;
    // The checks before the pass read the header as it was then; the signatures
    // cover what the pass read. A header that is not the same in both is
    // refused, and only the pass's is used from here on.
    if (!std::equal(first.begin(), first.end(), hashed.header_bytes().begin())) {
        v.reached = firmware_verdict::stage::changed;
        return;
    }
    v.header = firmware_header_decode(hashed.header_bytes());
    if (!v.header)
        return;
    v.reached = firmware_verdict::stage::signatures;
    firmware_verdict_judge(hashed.finish(), trusted, v);
}

} // namespace

void firmware_verdict_judge(const firmware_dual_digests& d, std::span<const firmware_ed25519_key> trusted,
                            firmware_verdict& v)
{
    v.digests = d;
    v.legacy_ok = d.legacy_rc == 0 && verify_legacy_digest(*v.header, d.legacy) == 0;
    v.legacy_waived = !v.legacy_ok && legacy_absent_and_waived(*v.header, v.strong_active);
    v.strong_digest_rc = v.strong_active ? d.strong_rc : 0;
    if (v.strong_active && v.strong_digest_rc == 0 && (v.legacy_ok || v.legacy_waived))
        v.strong = firmware_strong_verify(header_bytes(*v.header, k_signature_block_offset, k_signature_block_area),
                                          d.strong, trusted);
}

bool firmware_legacy_digest_needed(const firmware_header& header, bool strong_active)
{
    return !legacy_absent_and_waived(header, strong_active);
}

namespace {

/// The strong check's line, after "rsa check pass" or the waiver. 0, -1 or -4.
int strong_report(const firmware_verdict& verdict)
{
    if (!verdict.strong_active)
        return 0;
    if (verdict.strong_digest_rc != 0) {
        log_error(k_module, k_line_digest_failed, "firmware strong digest could not be computed\n");
        return -1;
    }
    const strong_verdict& v = verdict.strong;
    switch (v.kind) {
    case strong_verdict_kind::pass:
        log_info(k_module, k_line_strong_pass, "strong signature check pass, key %s\n",
                 firmware_key_id_text(v.key_id).data());
        return 0;
    case strong_verdict_kind::missing_block:
        log_error(k_module, k_line_block_missing, "firmware strong signature missing: no signature block\n");
        return -4;
    case strong_verdict_kind::malformed_block:
        log_error(k_module, k_line_block_malformed, "firmware strong signature block malformed (%s)\n",
                  signature_block_status_text(v.block_status));
        return -4;
    case strong_verdict_kind::unknown_keys:
        log_error(k_module, k_line_unknown_keys, "firmware strong signature by unknown keys only (%s)\n",
                  key_ids_text(v.block).c_str());
        return -4;
    case strong_verdict_kind::bad_signature:
        log_error(k_module, k_line_bad_signature, "firmware strong signature verify failed, key %s\n",
                  firmware_key_id_text(v.key_id).data());
        return -4;
    }
    return -4;
}

} // namespace

bool firmware_legacy_digest_needed(std::span<const std::uint8_t> header, bool legacy_required, bool strong_active)
{
    if (legacy_required || !strong_active || header.size() < k_firmware_signature_offset + k_firmware_signature_len)
        return true;
    return !legacy_field_zero(header.subspan(k_firmware_signature_offset, k_firmware_signature_len));
}

firmware_verdict firmware_verify(firmware_file& file, firmware_chunk_digests& chunks,
                                 std::span<const firmware_ed25519_key> trusted, firmware_later_reads reads)
{
    firmware_verdict v;
    v.image_size = file.size();
    // A short image leaves the rest of the first copy zero, as the pass's capture does.
    std::array<std::uint8_t, k_firmware_header_len> first{};
    const auto head = std::span(first).first(std::min<std::uint64_t>(v.image_size, first.size()));
    if (file.read_at(0, head) < 0) {
        v.reached = firmware_verdict::stage::unreadable;
        return v;
    }
    const auto header = firmware_header_decode(head);
    if (!header)
        return v;
    v.reached = firmware_verdict::stage::header;
    v.total_len = header->total_len;
    v.header_status = firmware_header_check(*header, v.image_size);
    if (v.header_status != firmware_header_status::ok)
        return v;
    verify_pass(file, chunks, trusted, first, header->ptn_table_offset, reads, v);
    if (v.reached == firmware_verdict::stage::signatures && (v.legacy_ok || v.legacy_waived) &&
        (!v.strong_active || v.strong.kind == strong_verdict_kind::pass))
        file.hold_to(chunks);
    return v;
}

int firmware_verdict_report(const firmware_verdict& v, const firmware_file& file)
{
    using stage = firmware_verdict::stage;
    switch (v.reached) {
    case stage::no_record: return -2;
    case stage::unreadable: return -1;
    case stage::changed:
        file.report_changed(0, std::min<std::uint64_t>(v.image_size, k_firmware_header_len));
        return -1;
    case stage::header: break;
    case stage::signatures: break;
    }
    return firmware_signatures_report(v);
}

int firmware_signatures_report(const firmware_verdict& v)
{
    switch (v.header_status) {
    case firmware_header_status::bad_magic: log_error(k_module, k_line_bad_magic, "Invalid magic number.\n"); return -2;
    case firmware_header_status::size_mismatch:
        log_error(k_module, k_line_size_mismatch,
                  "firmware size un-match, firmware_size is %lld header[total_len] is %d.\n",
                  static_cast<long long>(v.image_size), static_cast<std::int32_t>(v.total_len));
        return -2;
    case firmware_header_status::too_short:
        log_error(k_module, k_line_too_short, "firmware too short, firmware_size is %d, at least %d bytes needed.\n",
                  static_cast<int>(v.image_size), static_cast<int>(k_firmware_min_len));
        return -2;
    case firmware_header_status::ok: break;
    }
    if (v.legacy_waived) {
        log_info(k_module, k_line_legacy_waived, "no legacy signature, not required by this build\n");
    } else if (!v.legacy_ok) {
        log_error(k_module, k_line_rsa_failed, "firmware RSA verify failed\n\n");
        return -4;
    } else {
        log_info(k_module, k_line_rsa_pass, "rsa check pass\n");
    }
    return strong_report(v);
}
