// SPDX-License-Identifier: Apache-2.0
// The strong check that follows the legacy RSA check on builds with trusted keys.
#include "vorna/firmware/vorna_firmware_strong.h"

#include "vorna/firmware/vorna_firmware_lines.h"
#include "vorna/support/vorna_log.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <string>

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

/// The key identifiers of the block's entries, space-separated.
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

} // namespace

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

int firmware_verify_legacy_digest(const firmware_header& header, const md5_digest& digest)
{
    return firmware_verify_digest(
        digest,
        header_bytes(header, k_firmware_signature_offset, k_firmware_signature_len).first<k_firmware_signature_len>());
}

bool firmware_legacy_signature_waived(const firmware_header& header, const firmware_strong_pending& pending)
{
    if (firmware_legacy_signature_required() || !pending.active)
        return false;
    // Only an absent legacy signature is waived: one that is there and wrong is still refused.
    const auto field = header_bytes(header, k_firmware_signature_offset, k_firmware_signature_len);
    if (!std::all_of(field.begin(), field.end(), [](std::uint8_t b) { return b == 0; }))
        return false;
    log_info(k_module, k_line_legacy_waived, "no legacy signature, not required by this build\n");
    return true;
}

int firmware_strong_report(const firmware_header& header, const firmware_strong_pending& pending)
{
    if (!pending.active)
        return 0;
    if (pending.digest_rc != 0) {
        log_error(k_module, k_line_digest_failed, "firmware strong digest could not be computed\n");
        return -1;
    }
    const strong_verdict v =
        firmware_strong_verify(header_bytes(header, k_signature_block_offset, k_signature_block_area), pending.digest,
                               firmware_trusted_keys());
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
