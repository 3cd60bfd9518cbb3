// SPDX-License-Identifier: Apache-2.0
// The digests of an image and the one consumer that feeds them in a pass.
#include "vorna/firmware/vorna_firmware_digests.h"

#include <openssl/evp.h>

#include <algorithm>

namespace {

void md5_feed(md5_ctx& ctx, std::span<const std::uint8_t> bytes)
{
    // One md5_update call takes at most 2^32 - 1 bytes.
    constexpr std::size_t chunk = std::size_t{1} << 30;
    while (!bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), chunk);
        md5_update(&ctx, bytes.data(), static_cast<std::uint32_t>(n));
        bytes = bytes.subspan(n);
    }
}

} // namespace

void firmware_signed_digest_update(md5_ctx& ctx, std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    firmware_signed_mask(k_legacy_signed_span, offset, bytes,
                         [&ctx](std::span<const std::uint8_t> piece) { md5_feed(ctx, piece); });
}

void firmware_signed_digest(std::span<const std::uint8_t> image, std::array<std::uint8_t, 16>& digest)
{
    md5_ctx ctx;
    md5_init(&ctx);
    firmware_signed_digest_update(ctx, 0, image);
    md5_final(digest.data(), &ctx);
}

legacy_digest::legacy_digest()
{
    md5_init(&ctx_);
}

int legacy_digest::update(std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    if (offset != next_)
        failed_ = true;
    if (failed_)
        return -1;
    next_ += bytes.size();
    firmware_signed_digest_update(ctx_, offset, bytes);
    return 0;
}

int legacy_digest::final(md5_digest& out)
{
    if (failed_)
        return -1;
    md5_final(out.data(), &ctx_);
    return 0;
}

void evp_md_ctx_deleter::operator()(evp_md_ctx_st* ctx) const
{
    EVP_MD_CTX_free(ctx);
}

strong_digest::strong_digest() : ctx_(EVP_MD_CTX_new())
{
    failed_ = !ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1 ||
              EVP_DigestUpdate(ctx_.get(), k_strong_digest_prefix.data(), k_strong_digest_prefix.size()) != 1;
}

int strong_digest::update(std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    if (offset != next_)
        failed_ = true;
    if (failed_)
        return -1;
    next_ += bytes.size();
    firmware_signed_mask(k_strong_signed_span, offset, bytes, [this](std::span<const std::uint8_t> piece) {
        if (!failed_ && EVP_DigestUpdate(ctx_.get(), piece.data(), piece.size()) != 1)
            failed_ = true;
    });
    return failed_ ? -1 : 0;
}

int strong_digest::final(sha256_digest& out)
{
    unsigned len = 0;
    if (failed_ || EVP_DigestFinal_ex(ctx_.get(), out.data(), &len) != 1 || len != out.size()) {
        failed_ = true;
        return -1;
    }
    return 0;
}

int strong_digest_of(std::span<const std::uint8_t> image, sha256_digest& out)
{
    strong_digest d;
    if (d.update(0, image) != 0)
        return -1;
    return d.final(out);
}

index_digest::index_digest(const firmware_index_location& index) : ctx_(EVP_MD_CTX_new()), index_(index)
{
    failed_ = !ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1 ||
              EVP_DigestUpdate(ctx_.get(), k_index_digest_prefix.data(), k_index_digest_prefix.size()) != 1;
}

int index_digest::update(std::uint64_t offset, std::span<const std::uint8_t> bytes)
{
    if (offset != next_)
        failed_ = true;
    if (failed_)
        return -1;
    next_ += bytes.size();
    firmware_index_signed_mask(index_, offset, bytes, [this](std::span<const std::uint8_t> piece) {
        if (!failed_ && EVP_DigestUpdate(ctx_.get(), piece.data(), piece.size()) != 1)
            failed_ = true;
    });
    return failed_ ? -1 : 0;
}

int index_digest::final(sha256_digest& out)
{
    unsigned len = 0;
    // A digest of fewer bytes than the signatures cover would judge another message.
    if (failed_ || next_ < index_.at + index_.len || EVP_DigestFinal_ex(ctx_.get(), out.data(), &len) != 1 ||
        len != out.size()) {
        failed_ = true;
        return -1;
    }
    return 0;
}

int index_digest_of(std::span<const std::uint8_t> prefix, const firmware_index_location& index, sha256_digest& out)
{
    index_digest d(index);
    if (d.update(0, prefix) != 0)
        return -1;
    return d.final(out);
}

int firmware_dual_hasher::feed_strong(std::uint64_t offset, std::span<const std::uint8_t> chunk)
{
    return strong_active_ ? strong_.update(offset, chunk) : 0;
}

void firmware_dual_hasher::feed_legacy(std::uint64_t offset, std::span<const std::uint8_t> chunk)
{
    // The first chunk holds the whole header: chunks are far longer.
    static_assert(k_firmware_chunk_len >= k_firmware_header_len);
    if (offset == 0)
        std::copy_n(chunk.begin(), std::min(chunk.size(), header_.size()), header_.begin());
    if (legacy_active_)
        (void)legacy_.update(offset, chunk);
    else
        (void)feed_strong(offset, chunk);
}

int firmware_dual_hasher::feed(std::uint64_t offset, std::span<const std::uint8_t> chunk)
{
    const int strong_rc = feed_strong(offset, chunk);
    const int legacy_rc = legacy_active_ ? legacy_.update(offset, chunk) : 0;
    return legacy_rc == 0 && strong_rc == 0 ? 0 : -1;
}

firmware_dual_digests firmware_dual_hasher::finish()
{
    firmware_dual_digests d{};
    d.legacy_rc = legacy_active_ ? legacy_.final(d.legacy) : -1;
    d.strong_rc = strong_active_ ? strong_.final(d.strong) : -1;
    return d;
}

int firmware_image_digests(firmware_file& file, firmware_dual_digests& out)
{
    firmware_dual_hasher hashed(true);
    const std::array<firmware_chunk_consumer*, 1> on_worker{&hashed.strong_part()};
    const std::array<firmware_chunk_consumer*, 1> here{&hashed.legacy_part()};
    const int rc = file.pass(on_worker, here);
    out = hashed.finish();
    return rc;
}
